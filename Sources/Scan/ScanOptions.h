#pragma once
// What a person asks of a scan. Defaults: every category, the home, each category's own age and
// size rules, the oldest copy of identical files kept, no link followed below the places named,
// no other file system entered.

#include "Scan/Finding.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace vornelo::scan {

// Which copy of identical files stays when no copy is protected or in a folder to keep.
enum class KeepRule { oldest, newest, shortestPath, firstNamed };

[[nodiscard]] std::string_view rawValue(KeepRule rule);  // "oldest", "newest", "shortest-path", "first-named"
[[nodiscard]] std::optional<KeepRule> keepRuleFromRawValue(std::string_view text);

struct ScanOptions {
    std::vector<Category> categories;           // empty: all of them
    std::vector<std::filesystem::path> roots;   // absolute; empty: the home (and the system's places)
    std::optional<int> olderThanDays;           // replaces each category's own age rule
    std::optional<std::int64_t> minimumSize;    // findings smaller are left out; large files and copies start there
    KeepRule keep = KeepRule::oldest;
    std::vector<std::filesystem::path> keepIn;  // copies inside these folders always stay
    bool crossMounts = false;                   // enter other file systems mounted below the roots

    [[nodiscard]] bool wants(Category category) const {
        if (categories.empty()) return true;
        for (const auto wanted : categories) {
            if (wanted == category) return true;
        }
        return false;
    }
};

// The age and size each category holds its findings to unless the options say otherwise.
struct CategoryRules {
    static constexpr std::int64_t largeFileSize = 500'000'000;  // 500 MB
    // Where identical files start when a scan looks at every category: below it the copies would
    // drown the review in small files that give little back. Asked for by name, from one byte.
    static constexpr std::int64_t duplicateSizeInWholeScan = 1024 * 1024;
    [[nodiscard]] static int defaultAgeDays(Category category);
    // The smallest file compared for identical contents under these options.
    [[nodiscard]] static std::int64_t duplicateMinimumSize(const ScanOptions& options);
};

}  // namespace vornelo::scan

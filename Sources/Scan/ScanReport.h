#pragma once
// What one scan found: the findings (by category in the engine's order, largest first), the
// groups of identical files, and how complete the look was.

#include "Core/ScanCoverage.h"
#include "Scan/Finding.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vornelo::scan {

struct ScanReport {
    struct CategoryTotal {
        Category category = Category::cache;
        std::int64_t sizeBytes = 0;
        std::int64_t count = 0;
        friend bool operator==(const CategoryTotal&, const CategoryTotal&) = default;
    };

    std::vector<std::string> roots;
    platform::TimePoint startedAt{};
    std::vector<Finding> findings;
    std::vector<DuplicateGroup> duplicateGroups;  // largest give-back first
    ScanCoverage coverage;
    std::int64_t itemsLookedAt = 0;
    bool cancelled = false;  // stopped early: what was found until then

    // The sum of the findings' sizes: every file counted once.
    [[nodiscard]] std::int64_t totalBytes() const;
    // One entry per category that has findings, largest first.
    [[nodiscard]] std::vector<CategoryTotal> totals() const;
};

}  // namespace vornelo::scan

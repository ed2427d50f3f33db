#include "Scan/ScanOptions.h"

#include <algorithm>
#include <array>
#include <utility>

namespace vornelo::scan {

namespace {

constexpr std::array<std::pair<KeepRule, std::string_view>, 4> keepRuleNames{{
    {KeepRule::oldest, "oldest"},
    {KeepRule::newest, "newest"},
    {KeepRule::shortestPath, "shortest-path"},
    {KeepRule::firstNamed, "first-named"},
}};

}  // namespace

std::string_view rawValue(KeepRule rule) {
    for (const auto& [value, name] : keepRuleNames) {
        if (value == rule) return name;
    }
    return "oldest";
}

std::optional<KeepRule> keepRuleFromRawValue(std::string_view text) {
    for (const auto& [value, name] : keepRuleNames) {
        if (name == text) return value;
    }
    return std::nullopt;
}

std::int64_t CategoryRules::duplicateMinimumSize(const ScanOptions& options) {
    if (options.minimumSize) return std::max<std::int64_t>(*options.minimumSize, 1);
    return options.categories.empty() ? duplicateSizeInWholeScan : 1;
}

int CategoryRules::defaultAgeDays(Category category) {
    switch (category) {
        case Category::cache:
        case Category::log:
        case Category::trash:
        case Category::duplicate: return 0;  // safe at any age, or (copies) the same at any age
        case Category::artifact:
        case Category::installer: return 30;
        case Category::leftover:
        case Category::app:
        case Category::largeFile: return 90;
    }
    return 90;
}

}  // namespace vornelo::scan

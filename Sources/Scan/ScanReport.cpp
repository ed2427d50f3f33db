#include "Scan/ScanReport.h"

#include "Platform/Encoding/Checked.h"

#include <algorithm>
#include <map>

namespace vornelo::scan {

std::int64_t ScanReport::totalBytes() const {
    std::int64_t total = 0;
    for (const auto& finding : findings) total = checkedAdd(total, finding.sizeBytes);
    return total;
}

std::vector<ScanReport::CategoryTotal> ScanReport::totals() const {
    std::map<Category, CategoryTotal> byCategory;
    for (const auto& finding : findings) {
        auto& total = byCategory[finding.category];
        total.category = finding.category;
        total.sizeBytes = checkedAdd(total.sizeBytes, finding.sizeBytes);
        ++total.count;
    }
    std::vector<CategoryTotal> result;
    for (const auto& [category, total] : byCategory) result.push_back(total);
    std::stable_sort(result.begin(), result.end(), [](const CategoryTotal& a, const CategoryTotal& b) { return a.sizeBytes > b.sizeBytes; });
    return result;
}

}  // namespace vornelo::scan

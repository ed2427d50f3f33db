#include "Scan/LargeFileScanner.h"

namespace vornelo::scan {

std::optional<Candidate> LargeFileScanner::file(const platform::TreeWalkItem& item, std::uint32_t, const ScanContext& context) {
    const auto threshold = context.options().minimumSize.value_or(CategoryRules::largeFileSize);
    if (item.allocatedSize < threshold) return std::nullopt;
    Candidate candidate;
    candidate.item = ScanItem::from(item);
    candidate.category = Category::largeFile;
    candidate.reason = "A large file that has not changed for a long time.";
    candidate.confidence = Confidence::review;
    candidate.minimumAgeDays = context.ageDays(Category::largeFile);
    return candidate;
}

}  // namespace vornelo::scan

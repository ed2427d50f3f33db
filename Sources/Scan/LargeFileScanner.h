#pragma once
// Regular files that take at least the given space on disk (500 MB unless the options say
// otherwise) and did not change for the category's age (90 days). Offered for review.

#include "Scan/TreeObserver.h"

namespace vornelo::scan {

class LargeFileScanner final : public TreeObserver {
public:
    [[nodiscard]] Category category() const override { return Category::largeFile; }
    [[nodiscard]] bool wantsFiles() const override { return true; }
    [[nodiscard]] std::optional<Candidate> file(const platform::TreeWalkItem& item, std::uint32_t root,
                                                const ScanContext& context) override;
};

}  // namespace vornelo::scan

#pragma once
// AppImages in ~/Applications and ~/.local/bin that were not run for the category's age (90
// days): their last run is the later of their access time and that of a desktop entry that
// starts them.

#include "Scan/PlaceScanner.h"

namespace vornelo::scan {

class AppScanner final : public PlaceScanner {
public:
    [[nodiscard]] Category category() const override { return Category::app; }
    [[nodiscard]] std::vector<Candidate> scan(const ScanContext& context) const override;
};

}  // namespace vornelo::scan

#pragma once
// What every Trash of the user holds (the home Trash, and the Trash at the top of each other
// mounted file system), each item with the place it came from, aged by the day it was trashed.
// Cleaning them removes them for good: they already lie inside a Trash.

#include "Scan/PlaceScanner.h"

namespace vornelo::scan {

class TrashScanner final : public PlaceScanner {
public:
    [[nodiscard]] Category category() const override { return Category::trash; }
    [[nodiscard]] std::vector<Candidate> scan(const ScanContext& context) const override;
};

}  // namespace vornelo::scan

#pragma once
// Caches: every entry of the XDG cache folder (by the XDG Base Directory rules, programs must be
// able to do without anything there), the download caches package managers keep elsewhere in the
// home, each Flatpak application's cache, and, for an administrator, the packages apt downloaded.

#include "Scan/PlaceScanner.h"

namespace vornelo::scan {

class CacheScanner final : public PlaceScanner {
public:
    [[nodiscard]] Category category() const override { return Category::cache; }
    [[nodiscard]] std::vector<Candidate> scan(const ScanContext& context) const override;

    // The reason given for the entry `name` of the cache folder.
    [[nodiscard]] static std::string reasonForCacheEntry(std::string_view name);
};

}  // namespace vornelo::scan

#pragma once
// Settings and data folders (~/.config/<name>, ~/.local/share/<name>) of applications that are no
// longer installed: no desktop entry, program, Flatpak, Snap or package of that name, and nothing
// of that name in the system's own folders (InstalledApplications). Folders that the desktop
// itself shares between programs are never leftovers. Offered for review only, and only when
// nothing in them changed for the category's age (90 days).

#include "Scan/InstalledApplications.h"
#include "Scan/PlaceScanner.h"

#include <optional>
#include <string_view>

namespace vornelo::scan {

class LeftoverScanner final : public PlaceScanner {
public:
    [[nodiscard]] Category category() const override { return Category::leftover; }
    [[nodiscard]] std::vector<Candidate> scan(const ScanContext& context) const override;

    // Why the folder `name` of the settings (`inConfig`) or data folder is never a leftover, or
    // nothing when it may be one.
    [[nodiscard]] static std::optional<std::string_view> sharedFolderReason(std::string_view name, bool inConfig);
};

}  // namespace vornelo::scan

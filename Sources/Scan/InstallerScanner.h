#pragma once
// Packages, installers and disk images in the Downloads folder (XDG_DOWNLOAD_DIR), and archives
// named like program downloads, once they are older than the category's age (30 days).

#include "Scan/PlaceScanner.h"

#include <optional>
#include <string_view>

namespace vornelo::scan {

class InstallerScanner final : public PlaceScanner {
public:
    [[nodiscard]] Category category() const override { return Category::installer; }
    [[nodiscard]] std::vector<Candidate> scan(const ScanContext& context) const override;

    struct Kind {
        std::string_view reason;
        Confidence confidence;
    };
    // What a file of that name is, or nothing when it is no installer.
    [[nodiscard]] static std::optional<Kind> kindOf(std::string_view name);
};

}  // namespace vornelo::scan

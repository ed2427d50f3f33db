#pragma once
// A whole scan: the place scanners look at their places at once, the tree scanners share one
// walk of the folders covered, every candidate is judged as a cleanup plan would judge it (a
// protected or excluded one never becomes a finding), measured, and held to its category's age
// and to the minimum size; then every file is counted once across the findings. Only reads:
// nothing on disk changes, access times included where the kernel allows.
//
// A stop (Ctrl-C) ends the scan early with the findings made so far; candidates that were not
// measured in full and copies not compared in full are left out.
//
// Thread safety: run() may be called from any thread; it uses the platform's pool.

#include "Core/PathProtection.h"
#include "Platform/Encoding/ContentHash.h"
#include "Platform/Files/FileManager.h"
#include "Scan/ScanOptions.h"
#include "Scan/ScanPlaces.h"
#include "Scan/ScanProgress.h"
#include "Scan/ScanReport.h"

#include <stop_token>
#include <string>
#include <vector>

namespace vornelo::scan {

class CleanupScan {
public:
    CleanupScan(const ScanPlaces& places, const PathProtection& protection, const platform::FileManager& fileManager)
        : places_(places), protection_(protection), fileManager_(fileManager) {}

    // `hash` keys the comparison of identical files; a fresh random one when absent.
    [[nodiscard]] ScanReport run(const ScanOptions& options, ScanProgress& progress, std::stop_token stop = {},
                                 const platform::ContentHash* hash = nullptr) const;

    // The folders a scan covers: the options' roots standardised, each once, those inside another
    // left out; the home when there are none.
    [[nodiscard]] static std::vector<std::string> rootsFor(const ScanOptions& options, const ScanPlaces& places);

private:
    const ScanPlaces& places_;
    const PathProtection& protection_;
    const platform::FileManager& fileManager_;
};

}  // namespace vornelo::scan

#pragma once
// What every scanner is handed: the places, the options, the file system, the coverage recorder,
// the progress counters and the stop request, with the small reads they all make.
//
// Thread safety: shared by the scanners running at once; every member may be used from any
// thread (the recorder and the progress are thread-safe, the rest is read only).

#include "Core/ScanCoverage.h"
#include "Platform/Files/FileManager.h"
#include "Scan/ScanItem.h"
#include "Scan/ScanOptions.h"
#include "Scan/ScanPlaces.h"
#include "Scan/ScanProgress.h"

#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::scan {

class ScanContext {
public:
    // `roots` are the folders the scan covers, absolute and standardised (the home by default).
    ScanContext(const ScanPlaces& places, const ScanOptions& options, std::vector<std::string> roots,
                const platform::FileManager& fileManager, ScanCoverageRecorder& coverage, ScanProgress& progress,
                std::stop_token stop);

    const ScanPlaces& places() const { return places_; }
    const ScanOptions& options() const { return options_; }
    const std::vector<std::string>& roots() const { return roots_; }
    const platform::FileManager& files() const { return fileManager_; }
    ScanCoverageRecorder& coverage() const { return coverage_; }
    ScanProgress& progress() const { return progress_; }
    bool stopped() const { return stop_.stop_requested(); }
    std::stop_token stopToken() const { return stop_; }

    // The age a finding of `category` must reach: the options' when given, else the category's.
    [[nodiscard]] int ageDays(Category category) const;
    // Whether the scan covers `path`: it lies within one of the roots.
    [[nodiscard]] bool covers(std::string_view path) const;
    // Whether the roots are the defaults, so the system's own places are looked at too.
    [[nodiscard]] bool coversTheSystem() const { return options_.roots.empty(); }

    // The entries of a folder, each described without following a link. A folder that is not
    // there (or is not a folder) gives nothing; one that cannot be read, or is a symbolic link,
    // is reported to the coverage and gives nothing.
    [[nodiscard]] std::vector<ScanItem> list(const std::string& folder) const;

private:
    const ScanPlaces& places_;
    const ScanOptions& options_;
    std::vector<std::string> roots_;
    const platform::FileManager& fileManager_;
    ScanCoverageRecorder& coverage_;
    ScanProgress& progress_;
    std::stop_token stop_;
};

// P lies within R: P is R or below it.
[[nodiscard]] bool liesWithin(std::string_view path, std::string_view root);

}  // namespace vornelo::scan

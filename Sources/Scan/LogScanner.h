#pragma once
// Logs nothing reads again: the previous desktop session's error log, logs that programs rotated
// out below the XDG state folder, npm's debug logs and, for an administrator, the system's crash
// reports and core dumps.

#include "Scan/PlaceScanner.h"

#include <string_view>

namespace vornelo::scan {

class LogScanner final : public PlaceScanner {
public:
    [[nodiscard]] Category category() const override { return Category::log; }
    [[nodiscard]] std::vector<Candidate> scan(const ScanContext& context) const override;

    // "app.log.1", "app.log.2.gz", "app.log.old": a log rotated out of use.
    [[nodiscard]] static bool isRotatedLog(std::string_view name);
};

}  // namespace vornelo::scan

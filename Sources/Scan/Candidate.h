#pragma once
// A place a scanner proposes, before it is judged, measured and held to its age rule.

#include "Scan/Finding.h"
#include "Scan/ScanItem.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vornelo::scan {

// Which date the age rule looks at.
enum class AgeBasis {
    modified,  // the newest change of the item or anything inside it (or of `knownDate`)
    used,      // the last time it was opened: its access time, or `knownDate` when later
    deleted,   // when it went to the Trash: `knownDate`, else its own change
};

struct Candidate {
    ScanItem item;
    Category category = Category::cache;
    std::string reason;
    Confidence confidence = Confidence::safe;
    int minimumAgeDays = 0;  // 0: any age
    AgeBasis basis = AgeBasis::modified;
    std::optional<platform::TimePoint> knownDate;
    std::optional<std::string> originalPath;
    // Reached by a walk through no symbolic link, so protection may judge its spelling alone.
    bool reachedWithoutLinks = false;
};

}  // namespace vornelo::scan

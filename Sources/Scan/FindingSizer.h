#pragma once
// The space a candidate takes and the newest change inside it: the allocated bytes of its regular
// files (a folder walked in parallel, links never followed, other file systems entered only when
// asked), each hard-linked file once, and the hard-linked files themselves, so that a scan can
// count every file once across all its findings.
//
// Thread safety: measure() may run on several threads at once.

#include "Scan/Candidate.h"
#include "Scan/ScanContext.h"

#include <cstdint>
#include <vector>

namespace vornelo::scan {

struct LinkedFile {
    std::uint64_t device = 0;
    std::uint64_t fileNumber = 0;
    std::int64_t allocatedSize = 0;
};

struct Measure {
    std::int64_t singleLinkBytes = 0;  // files with one link
    std::int64_t measuredBytes = 0;    // those and each hard-linked file once
    std::vector<LinkedFile> linked;    // the hard-linked files, each once
    platform::TimePoint newestModification{};
    bool complete = true;  // false when a stop cut the walk short
};

class FindingSizer {
public:
    explicit FindingSizer(const ScanContext& context) : context_(context) {}

    [[nodiscard]] Measure measure(const Candidate& candidate) const;

    // Adds to the sizeBytes of findings the hard-linked files they hold that no finding before them
    // in path order holds; `linked` names each finding (by its place) with the files it holds.
    static void countLinksOnce(std::vector<Finding>& findings,
                               std::vector<std::pair<std::size_t, std::vector<LinkedFile>>> linked);

private:
    const ScanContext& context_;
};

}  // namespace vornelo::scan

#pragma once
// A scanner that looks at the user's own folders as the one walk they share passes through them
// (TreeScan): build outputs, large files, identical files. It only reads.
//
// Thread safety: folder() and file() are called from the walk's threads, several at once.

#include "Scan/Candidate.h"
#include "Scan/ScanContext.h"

#include <cstdint>
#include <optional>

namespace vornelo::scan {

class TreeObserver {
public:
    virtual ~TreeObserver() = default;
    [[nodiscard]] virtual Category category() const = 0;
    // A folder the walk meets, before it enters it: a candidate takes it whole, and the walk then
    // stays out of it.
    [[nodiscard]] virtual std::optional<Candidate> folder(const platform::TreeWalkItem&, const ScanContext&) const {
        return std::nullopt;
    }
    // Whether file() wants to see the regular files.
    [[nodiscard]] virtual bool wantsFiles() const { return false; }
    // A regular file met below the root with index `root`.
    [[nodiscard]] virtual std::optional<Candidate> file(const platform::TreeWalkItem&, std::uint32_t /*root*/,
                                                        const ScanContext&) {
        return std::nullopt;
    }
};

}  // namespace vornelo::scan

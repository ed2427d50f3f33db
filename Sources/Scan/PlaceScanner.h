#pragma once
// A scanner that looks at places it knows by name (the cache folder, the Trash, Downloads, ...),
// its Linux knowledge written as a table of rows, each with the reason shown to the user. It only
// reads, and proposes candidates that the scan then judges, measures and holds to their age.
//
// Thread safety: scan() may run on any thread, beside the other scanners.

#include "Scan/Candidate.h"
#include "Scan/ScanContext.h"

#include <vector>

namespace vornelo::scan {

class PlaceScanner {
public:
    virtual ~PlaceScanner() = default;
    [[nodiscard]] virtual Category category() const = 0;
    [[nodiscard]] virtual std::vector<Candidate> scan(const ScanContext& context) const = 0;

protected:
    // A candidate of this scanner's category for `item`, aged by the category's rule.
    [[nodiscard]] Candidate propose(const ScanContext& context, ScanItem item, std::string reason,
                                    Confidence confidence) const {
        Candidate candidate;
        candidate.item = std::move(item);
        candidate.category = category();
        candidate.reason = std::move(reason);
        candidate.confidence = confidence;
        candidate.minimumAgeDays = context.ageDays(category());
        return candidate;
    }
};

}  // namespace vornelo::scan

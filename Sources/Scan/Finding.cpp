#include "Scan/Finding.h"

namespace vornelo::scan {

std::string_view rawValue(Confidence confidence) { return confidence == Confidence::safe ? "safe" : "review"; }

std::optional<Confidence> confidenceFromRawValue(std::string_view text) {
    if (text == "safe") return Confidence::safe;
    if (text == "review") return Confidence::review;
    return std::nullopt;
}

}  // namespace vornelo::scan

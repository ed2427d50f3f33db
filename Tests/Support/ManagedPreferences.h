#pragma once
// The administrator's settings file lives at a fixed place under /etc. Tests write it inside a
// private mount namespace, on an overlay over /etc, so the real /etc never changes. Needs root.

#include "Platform/Encoding/PropertyList.h"

#include <sys/types.h>

#include <functional>
#include <string>

namespace vornelo::test {

// Runs the body with the profile holding `keys` at file mode `mode`. Returns "" on success, the
// body's complaint, or a sentence starting "SKIP" when the overlay cannot be made here.
std::string withManagedPreferences(const platform::PlistValue::Dictionary& keys, mode_t mode,
                                   const std::function<std::string()>& body);

}  // namespace vornelo::test

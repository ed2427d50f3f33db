#include "Platform/System/BuildVersion.h"

// Defined for this file alone, so that a new version recompiles one file.
#ifndef VORNELO_VERSION
#error "The build defines VORNELO_VERSION from the project's version."
#endif

namespace vornelo::platform {

std::string_view buildVersion() { return VORNELO_VERSION; }

}  // namespace vornelo::platform

#pragma once
// The version of this build, as every program of the project reports it ("0.1.0"). It is the
// project's one version, set where the build is described; nothing else spells it.

#include <string_view>

namespace vornelo::platform {

[[nodiscard]] std::string_view buildVersion();

}  // namespace vornelo::platform

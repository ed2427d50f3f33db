#pragma once
// Facts about the running process. Linux programs are not bundles, so there is no bundle
// identifier to report; callers that ask for one go by the program name instead.
//
// Thread safety: callable from any thread.

#include <cstdint>
#include <string>

namespace vornelo::platform {

struct ProcessInfo {
    // The first command-line argument as the process was started (argv[0]); empty if there is none.
    [[nodiscard]] static std::string firstArgument();
    [[nodiscard]] static std::int64_t processIdentifier();
};

}  // namespace vornelo::platform

#include "Platform/Processes/ProcessInfo.h"

#include <errno.h>
#include <unistd.h>

namespace vornelo::platform {

std::string ProcessInfo::firstArgument() {
    // glibc keeps argv[0] here from before main; it is never null, only empty.
    return program_invocation_name ? std::string(program_invocation_name) : std::string();
}

std::int64_t ProcessInfo::processIdentifier() { return static_cast<std::int64_t>(::getpid()); }

}  // namespace vornelo::platform

#include "Platform/Identity/ProcessHardening.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vornelo::platform {

bool ProcessHardening::forbidAttaching() { return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0; }

bool ProcessHardening::giveUpCapability(int capability) {
    if (capability < 0 || capability > CAP_LAST_CAP) return false;
    // Without CAP_SETPCAP (the helper's unit does not grant it) the bounding set stays as it is.
    (void)::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, sets) != 0) return false;
    const auto word = static_cast<unsigned>(capability) / 32;
    const auto bit = 1U << (static_cast<unsigned>(capability) % 32);
    sets[word].effective &= ~bit;
    sets[word].permitted &= ~bit;
    sets[word].inheritable &= ~bit;
    return ::syscall(SYS_capset, &header, sets) == 0;
}

}  // namespace vornelo::platform

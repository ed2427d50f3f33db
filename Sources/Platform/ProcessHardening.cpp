#include "Platform/ProcessHardening.h"

#include <sys/prctl.h>

namespace vornelo::platform {

bool ProcessHardening::forbidAttaching() { return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0; }

}  // namespace vornelo::platform

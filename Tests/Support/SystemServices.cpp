#include "Support/SystemServices.h"

#include "Support/ChildProcess.h"
#include "Support/Subprocess.h"

#include <filesystem>

namespace vornelo::test {

std::string pkexecSkipReason() {
    static const std::string reason = []() -> std::string {
        if (auto root = rootSkipReason(); !root.empty()) return "pkexec authorizes without a prompt only for root; " + root;
        if (!std::filesystem::exists("/usr/bin/pkexec")) return "pkexec is not installed (scripts/install-deps installs it)";
        const auto probe = runProgram("/usr/bin/pkexec", {"/bin/true"});
        if (probe.exitCode == 0) return {};
        return "pkexec cannot authorize here (is the system D-Bus and polkitd running? scripts/start-system-services "
               "starts them): " + probe.err;
    }();
    return reason;
}

}  // namespace vornelo::test

#include "Helper/HelperDaemon.h"

#include "Core/PrivilegedHelperConstants.h"
#include "Helper/ListenerDelegate.h"
#include "Platform/Logger.h"

#include <unistd.h>

#include <thread>

namespace vornelo::helper {

int runHelperDaemon(DaemonSettings settings) {
    // Created once and never released: connection threads use them until the process ends.
    const auto& log = *new HelperLog(settings.logFile);
    auto& idle = *new IdleMonitor(settings.idleTiming);
    auto& steps = *new DaemonRemovalSteps(std::move(settings.collaborators), log);
    const auto& delegate = *new ListenerDelegate(steps, idle, log);

    static const platform::Logger diagnostics{std::string(HelperLog::subsystem), std::string(HelperLog::category)};
    auto& listener = *new platform::VarlinkService(
        std::string(HelperInterface::text),
        {"Tessaldon", "Vornelo helper", std::to_string(PrivilegedHelperConstants::protocolVersion), ""},
        [&delegate](const platform::PeerProcess& peer) { return delegate.accept(peer); }, settings.limits,
        [](const std::string& sentence) { diagnostics.notice("%{public}s", sentence); });
    if (const auto listening = listener.listen(settings.socketPath); !listening) {
        log.note("could not listen: " + listening.error());
        return 1;
    }
    std::thread([&listener] { listener.run(); }).detach();

    idle.start();
    if (settings.defineAuthorizationRight) settings.defineAuthorizationRight(log);
    log.note("helper started (protocol " + std::to_string(PrivilegedHelperConstants::protocolVersion) + ")");
    for (;;) ::pause();
}

}  // namespace vornelo::helper

#include "Helper/HelperDaemon.h"

#include "Core/PrivilegedHelperConstants.h"
#include "Helper/AdministratorApproval.h"
#include "Helper/ListenerDelegate.h"
#include "Platform/System/BuildVersion.h"
#include "Platform/System/Logger.h"

#include <unistd.h>

#include <thread>

namespace vornelo::helper {

int runHelperDaemon(DaemonSettings settings) {
    // Created once and never released: connection threads use them until the process ends.
    const auto& log = *new HelperLog(settings.logFile);
    auto& idle = *new IdleMonitor(settings.idleTiming);
    const AdministratorApproval* approval =
        settings.authorization ? new AdministratorApproval(*settings.authorization, log) : nullptr;
    if (approval && !settings.collaborators.authorize) {
        settings.collaborators.verdict = [approval](std::span<const std::uint8_t> form, const platform::SocketPeer& peer) {
            return approval->authorizationStatus(form, peer);
        };
    }
    auto& steps = *new DaemonRemovalSteps(std::move(settings.collaborators), log);
    const auto& vetting = settings.vetting ? *settings.vetting : *new ClientVetting(platform::CodeSigning::shared());
    const auto& delegate = *new ListenerDelegate(steps, idle, log, vetting);

    static const platform::Logger diagnostics{std::string(HelperLog::subsystem), std::string(HelperLog::category)};
    auto& listener = *new platform::VarlinkService(
        std::string(HelperInterface::text),
        {"Tessaldon", "Vornelo helper", std::string(platform::buildVersion()), ""},
        [&delegate](const platform::SocketPeer& peer) { return delegate.accept(peer); }, settings.limits,
        [](const std::string& sentence) { diagnostics.notice("%{public}s", sentence); });
    if (const auto listening = listener.listen(settings.socketPath); !listening) {
        log.note("could not listen: " + listening.error());
        return 1;
    }
    std::thread([&listener] { listener.run(); }).detach();

    idle.start();
    if (approval) approval->defineAuthorizationRight();
    log.note("helper started (protocol " + std::to_string(PrivilegedHelperConstants::protocolVersion) + ")");
    for (;;) ::pause();
}

}  // namespace vornelo::helper

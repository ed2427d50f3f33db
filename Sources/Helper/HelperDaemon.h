#pragma once
// The daemon's start-up, in its order: the log, the listener's delegate, the listener (from here
// connections are served, on threads of their own), the idle monitor started, the authorization
// right defined, the start line; then the calling thread parks for good. The process ends through
// the idle monitor's exit (or a signal); only a listener that cannot listen ends it earlier.
//
// Everything the daemon uses is made here or passed in: nothing reaches an instance made for a
// desktop user, so no request can touch root's home, log or Trash.

#include "Helper/ClientVetting.h"
#include "Helper/ConnectionHandler.h"
#include "Helper/DaemonRemovalSteps.h"
#include "Core/HelperInterface.h"
#include "Helper/IdleMonitor.h"
#include "Platform/Authorization/Authorization.h"
#include "Platform/Ipc/VarlinkService.h"

#include <filesystem>
#include <functional>

namespace vornelo::helper {

struct DaemonSettings {
    // The listener's bounds: Varlink's, keeping one path more than a request may name, so that a
    // longer request is told apart without being held.
    static platform::VarlinkLimits helperLimits() {
        platform::VarlinkLimits limits;
        limits.maxArrayElements = ConnectionHandler::maxPaths + 1;
        return limits;
    }

    std::filesystem::path socketPath{std::string(HelperInterface::socketPath)};
    std::filesystem::path logFile{std::string(HelperLog::defaultFile)};
    IdleMonitor::Timing idleTiming;
    platform::VarlinkService::Limits limits = helperLimits();
    DaemonRemovalSteps::Collaborators collaborators;
    // The administrator's verdict (and the right defined at start-up) unless collaborators bring
    // their own authorize; with neither, every request is refused.
    const platform::Authorization* authorization = nullptr;
    // Who may talk to the helper; without one, the client requirement judged against the fixed
    // anchor store (what the installed daemon always uses).
    const ClientVetting* vetting = nullptr;
};

// Never returns when the listener is up; returns 1 (after logging why) when it cannot listen.
int runHelperDaemon(DaemonSettings settings);

}  // namespace vornelo::helper

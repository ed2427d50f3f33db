// VorneloHelper: the root daemon that moves software installed for all users into the Trash of
// the user who asks. systemd starts it on the first connection to its socket; it leaves by itself
// once idle.

#include "Helper/HelperDaemon.h"

int main() {
    using namespace vornelo;
    helper::DaemonSettings settings;
    // Made here, for root's decisions alone: home "/var/empty", no user's settings, the real roots.
    static const PathProtection protection("/var/empty", PathProtection::noStrings(), PathProtection::noStrings());
    settings.collaborators.policy = helper::DaemonRemovalSteps::policyFor("/Applications", "/Library", protection);
    // polkit decides, for the connection's own peer.
    static const platform::Authorization authorization;
    settings.authorization = &authorization;
    return helper::runHelperDaemon(std::move(settings));
}

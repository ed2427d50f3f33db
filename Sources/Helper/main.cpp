// VorneloHelper: the root daemon that moves software installed for all users into the Trash of
// the user who asks. systemd starts it on the first connection to its socket; it leaves by itself
// once idle.

#include "Core/HelperPolicy.h"
#include "Core/PathProtection.h"
#include "Helper/HelperDaemon.h"

int main() {
    using namespace vornelo;
    helper::DaemonSettings settings;
    // Made here, for root's decisions alone: home "/var/empty", no user's settings, real roots.
    static const PathProtection protection("/var/empty", PathProtection::noStrings(), PathProtection::noStrings());
    settings.collaborators.policy = [](const std::string& path) -> std::expected<helper::RemovalKind, std::string> {
        const auto kind = HelperPolicy::validateRemoval(path, "/Applications", "/Library", protection);
        if (!kind) return std::unexpected(kind.error().description());
        return static_cast<helper::RemovalKind>(static_cast<int>(*kind));
    };
    // polkit decides, for the connection's own peer.
    static const platform::Authorization authorization;
    settings.authorization = &authorization;
    return helper::runHelperDaemon(std::move(settings));
}

// VorneloHelper: the root daemon that moves software installed for all users into the Trash of
// the user who asks. systemd starts it on the first connection to its socket; it leaves by itself
// once idle.
//
// Usage: VorneloHelper [--idle-after SECONDS | --version]. Only the unit's command line sets it, never the
// environment, which a client could reach more easily than root's unit files.

#include "Helper/HelperDaemon.h"
#include "Platform/Identity/ExecWatch.h"
#include "Platform/Identity/ProcessHardening.h"
#include "Platform/System/BuildVersion.h"

#include <linux/capability.h>

#include <cstdio>
#include <string_view>

int main(int argc, char** argv) {
    using namespace vornelo;
    helper::DaemonSettings settings;
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::printf("VorneloHelper %.*s\n", static_cast<int>(platform::buildVersion().size()), platform::buildVersion().data());
        return 0;
    }
    if (argc == 3 && std::string_view(argv[1]) == "--idle-after") {
        const auto timing = helper::IdleTiming::after(argv[2]);
        if (!timing) {
            std::fprintf(stderr, "VorneloHelper: --idle-after takes seconds above 0 and at most 86400, not \"%s\".\n", argv[2]);
            return 2;
        }
        settings.idleTiming = *timing;
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: VorneloHelper [--idle-after SECONDS] (default 60) | --version\n");
        return 2;
    }
    // CAP_NET_ADMIN is needed only to start listening to the kernel's process events; nothing a
    // client can make the helper do afterwards should have it.
    platform::ExecWatch::shared();
    platform::ProcessHardening::giveUpCapability(CAP_NET_ADMIN);
    // Made here, for root's decisions alone: home "/var/empty", no user's settings, the real roots:
    // the desktop application's, and beside them the Linux places software is installed into.
    static const PathProtection protection("/var/empty", PathProtection::noStrings(), PathProtection::noStrings());
    const HelperPolicy::Roots roots{"/Applications", "/Library", HelperPolicy::LinuxRoots{}};
    settings.collaborators.policy = helper::DaemonRemovalSteps::policyFor(roots, protection);
    static const PackageOwnership packages(PackageOwnership::forThisSystem());
    settings.collaborators.packages = helper::DaemonRemovalSteps::packagesFor(*roots.linuxRoots, packages);
    // polkit decides, for the connection's own peer.
    static const platform::Authorization authorization;
    settings.authorization = &authorization;
    return helper::runHelperDaemon(std::move(settings));
}

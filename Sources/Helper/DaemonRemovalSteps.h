#pragma once
// The removal steps as the daemon takes them: the requester's home Trash from the password
// database, opened once without following links and checked by its descriptors (Trash::openUserTrash); each path held by its folder
// (opened without following links) while the policy judges it, and refused if the item changed
// meanwhile; launchctl through the process runner; the move from the held folder into the held
// Trash (Trash::moveIntoTrash). The administrator's verdict and the policy are passed in; a missing
// one refuses rather than guesses.
//
// Thread safety: stateless beyond the functions given, which must themselves be thread-safe.

#include "Core/HelperPolicy.h"
#include "Core/PackageOwnership.h"
#include "Core/PathProtection.h"
#include "Helper/HelperLog.h"
#include "Helper/RemovalSteps.h"

#include <functional>

namespace vornelo::helper {

class DaemonRemovalSteps : public RemovalSteps {
public:
    struct Collaborators {
        // Logs its own refusals, as RemovalSteps::isAuthorized does.
        std::function<bool(std::span<const std::uint8_t>, const platform::SocketPeer&)> authorize;
        // The policy's verdict on a path: the kind, or the reason for the user.
        std::function<std::expected<RemovalKind, std::string>(const std::string&)> policy;
        // Overrides the move through the held Trash (tests).
        std::function<std::expected<std::filesystem::path, std::string>(const JudgedItem&, const HeldTrash&)> move;
        std::string launchctlPath = "/bin/launchctl";
        std::string systemctlPath = "/usr/bin/systemctl";
        // The package manager's refusals for a request's paths (see RemovalSteps::packageRefusals).
        std::function<std::map<std::string, std::string>(const std::vector<std::string>&)> packages;
        // The administrator's verdict as a status; when given, it decides instead of authorize.
        std::function<platform::OSStatus(std::span<const std::uint8_t>, const platform::SocketPeer&)> verdict;
    };

    // The status logged when no authorization service is wired: the internal-error code.
    static constexpr int unavailableStatus = -60008;

    DaemonRemovalSteps(Collaborators collaborators, const HelperLog& log);

    // HelperPolicy's verdict for these roots and rules, which must outlive the function.
    [[nodiscard]] static decltype(Collaborators::policy) policyFor(std::string applicationsRoot, std::string libraryRoot,
                                                                   const PathProtection& protection);
    [[nodiscard]] static decltype(Collaborators::policy) policyFor(HelperPolicy::Roots roots, const PathProtection& protection);
    // The package manager asked about the request's paths that lie in the Linux roots.
    [[nodiscard]] static decltype(Collaborators::packages) packagesFor(HelperPolicy::LinuxRoots roots,
                                                                       const PackageOwnership& ownership);

    bool isAuthorized(std::span<const std::uint8_t> externalForm, const platform::SocketPeer& peer) override;
    platform::OSStatus authorizationStatus(std::span<const std::uint8_t> externalForm, const platform::SocketPeer& peer) override;
    std::optional<HeldTrash> openTrash(uid_t user) override;
    std::expected<JudgedItem, std::string> judge(const std::string& path) override;
    std::map<std::string, std::string> packageRefusals(const std::vector<std::string>& paths) override;
    // launchctlPath is missing, or names a regular executable file owned by root and writable by no one else.
    bool launchctlUsable() override;
    void launchctl(const std::vector<std::string>& arguments) override;
    // Runs only a systemctlPath that launchctlUsable would accept (a missing one fails and is ignored).
    void systemctl(const std::vector<std::string>& arguments) override;
    std::expected<std::filesystem::path, std::string> moveToTrash(const JudgedItem& item, const HeldTrash& trash) override;

    // The folder holding `path`, opened from "/" without following any link, and the item's name.
    [[nodiscard]] static std::expected<std::pair<platform::FileDescriptor, std::string>, std::string> holdParent(
        const std::string& path);

private:
    [[nodiscard]] static bool sameFolderAt(int heldFolder, const std::string& path);
    [[nodiscard]] bool mayRun(const std::string& program, std::string_view tool, std::string_view consequence) const;

    Collaborators collaborators_;
    const HelperLog& log_;
};

}  // namespace vornelo::helper

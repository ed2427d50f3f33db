#pragma once
// The removal steps as the daemon takes them: the requester's Trash from the password database,
// opened once without following links and checked by its descriptor; each path held by its folder
// (opened without following links) while the policy judges it, and refused if the item changed
// meanwhile; launchctl through the process runner. The administrator's verdict, the policy and the
// move are passed in; a missing one refuses rather than guesses.
//
// Thread safety: stateless beyond the functions given, which must themselves be thread-safe.

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
        std::function<std::expected<std::filesystem::path, std::string>(const JudgedItem&, const HeldTrash&)> move;
        std::string launchctlPath = "/bin/launchctl";
    };

    // The status logged when no authorization service is wired: the internal-error code.
    static constexpr int unavailableStatus = -60008;

    DaemonRemovalSteps(Collaborators collaborators, const HelperLog& log);

    bool isAuthorized(std::span<const std::uint8_t> externalForm, const platform::SocketPeer& peer) override;
    std::optional<HeldTrash> openTrash(uid_t user) override;
    std::expected<JudgedItem, std::string> judge(const std::string& path) override;
    void launchctl(const std::vector<std::string>& arguments) override;
    std::expected<std::filesystem::path, std::string> moveToTrash(const JudgedItem& item, const HeldTrash& trash) override;

    // The Trash in `home` of `user`: a folder reached from home without any link, owned by user.
    [[nodiscard]] static std::optional<HeldTrash> openTrashIn(const std::filesystem::path& home, uid_t user);
    // The folder holding `path`, opened from "/" without following any link, and the item's name.
    [[nodiscard]] static std::expected<std::pair<platform::FileDescriptor, std::string>, std::string> holdParent(
        const std::string& path);

private:
    Collaborators collaborators_;
    const HelperLog& log_;
};

}  // namespace vornelo::helper

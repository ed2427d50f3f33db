#pragma once
// The pieces of a removal request that ConnectionHandler puts in order: the administrator's
// verdict, the requester's Trash, the package manager's claims on the request's paths, the
// policy's judgement of one path, unloading a launch job (launchctl) or stopping a unit
// (systemctl) and the move. The daemon's own implementation is DaemonRemovalSteps; tests pass their own.
//
// Thread safety: one object serves every connection, so each member may be called from several
// threads at once.

#include "Platform/Authorization/Authorization.h"
#include "Platform/Files/FileDescriptor.h"
#include "Platform/Identity/SocketPeer.h"
#include "Platform/Trash/Trash.h"

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vornelo::helper {

enum class RemovalKind { application, launchItem, helperTool };

// An item the policy accepted, held by the folder it sits in, so that the move acts on what was
// judged even if a link is swapped in on the way afterwards.
struct JudgedItem {
    RemovalKind kind = RemovalKind::application;
    std::string path;                                  // as the request spelled it
    std::shared_ptr<platform::FileDescriptor> parent;  // the folder holding it, opened once
    std::string name;                                  // its name inside that folder
    dev_t device = 0;                                  // the item judged, checked again before the move
    ino_t inode = 0;
};

// The requester's Trash, opened once and checked: a folder (not a link) owned by the requester.
struct HeldTrash {
    platform::FileDescriptor fd;
    std::filesystem::path path;
    std::filesystem::path home;
    uid_t owner = 0;
    // Its files/ and info/ folders held open for the move; none in tests that move nothing.
    std::shared_ptr<const platform::Trash::Held> held = nullptr;
};

class RemovalSteps {
public:
    virtual ~RemovalSteps() = default;

    // Whether the peer's authorization (external form) holds the removal right. Writes its own
    // log line for every refusal. May block while an administrator is asked.
    virtual bool isAuthorized(std::span<const std::uint8_t> externalForm, const platform::SocketPeer& peer) = 0;
    // The same verdict as a status, so that a refusal can say why (no agent could ask anyone).
    virtual platform::OSStatus authorizationStatus(std::span<const std::uint8_t> externalForm, const platform::SocketPeer& peer) {
        return isAuthorized(externalForm, peer) ? platform::errAuthorizationSuccess : platform::errAuthorizationDenied;
    }
    // The Trash of `user` from the password database; nothing when it is missing or unsafe.
    virtual std::optional<HeldTrash> openTrash(uid_t user) = 0;
    // The policy's verdict on one path: the item held open, or the reason it is refused.
    virtual std::expected<JudgedItem, std::string> judge(const std::string& path) = 0;
    // The sentence refusing each path that a package manager owns (or whose owner could not be
    // learnt), asked once for the whole request; paths it has no claim on are absent.
    virtual std::map<std::string, std::string> packageRefusals(const std::vector<std::string>& /*paths*/) { return {}; }
    // Whether launchctl may be run: asked once per request, at its first launch item. A missing
    // program may (its run fails and is ignored); one that others could have written may not.
    // Logs its own "no".
    virtual bool launchctlUsable() { return true; }
    // Runs launchctl with these arguments and waits; whatever happens is ignored.
    virtual void launchctl(const std::vector<std::string>& arguments) = 0;
    // Runs systemctl with these arguments and waits; whatever happens is ignored.
    virtual void systemctl(const std::vector<std::string>& arguments) = 0;
    // Moves the item into the Trash under a free name, never replacing anything; the new path, or
    // the description of the error.
    virtual std::expected<std::filesystem::path, std::string> moveToTrash(const JudgedItem& item,
                                                                          const HeldTrash& trash) = 0;
};

}  // namespace vornelo::helper

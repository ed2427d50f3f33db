#include "Helper/DaemonRemovalSteps.h"

#include "Core/HelperPolicy.h"
#include "Core/ProcessRunner.h"
#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileError.h"
#include "Platform/Trash/Trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vornelo::helper {

namespace {

struct Identity {
    dev_t device;
    ino_t inode;
    bool operator==(const Identity&) const = default;
};

std::optional<Identity> identityAt(int parent, const std::string& name) {
    struct stat info {};
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return Identity{info.st_dev, info.st_ino};
}

// The policy's verdict as the removal steps take it.
std::expected<RemovalKind, std::string> removalKind(const std::expected<HelperPolicy::Kind, HelperPolicy::Rejection>& kind) {
    if (!kind) return std::unexpected(kind.error().description());
    switch (*kind) {
        case HelperPolicy::Kind::application: return RemovalKind::application;
        case HelperPolicy::Kind::launchItem: return RemovalKind::launchItem;
        case HelperPolicy::Kind::helperTool: return RemovalKind::helperTool;
    }
    return std::unexpected(std::string(HelperPolicy::outsideLocations));
}

}  // namespace

// Whether `path`'s folder, reached again without links, is still the folder held: a folder renamed
// away with another put in its place would otherwise let the policy judge one item and the move
// take another.
bool DaemonRemovalSteps::sameFolderAt(int heldFolder, const std::string& path) {
    const auto again = holdParent(path);
    struct stat held {};
    struct stat now {};
    return again && ::fstat(heldFolder, &held) == 0 && ::fstat(again->first.get(), &now) == 0 &&
           held.st_dev == now.st_dev && held.st_ino == now.st_ino;
}

DaemonRemovalSteps::DaemonRemovalSteps(Collaborators collaborators, const HelperLog& log)
    : collaborators_(std::move(collaborators)), log_(log) {}

decltype(DaemonRemovalSteps::Collaborators::policy) DaemonRemovalSteps::policyFor(std::string applicationsRoot,
                                                                                  std::string libraryRoot,
                                                                                  const PathProtection& protection) {
    return [applications = std::move(applicationsRoot), library = std::move(libraryRoot),
            &protection](const std::string& path) -> std::expected<RemovalKind, std::string> {
        return removalKind(HelperPolicy::validateRemoval(path, applications, library, protection));
    };
}

decltype(DaemonRemovalSteps::Collaborators::policy) DaemonRemovalSteps::policyFor(HelperPolicy::Roots roots,
                                                                                  const PathProtection& protection) {
    return [roots = std::move(roots), &protection](const std::string& path) -> std::expected<RemovalKind, std::string> {
        return removalKind(HelperPolicy::validateRemoval(path, roots, protection));
    };
}

decltype(DaemonRemovalSteps::Collaborators::packages) DaemonRemovalSteps::packagesFor(HelperPolicy::LinuxRoots roots,
                                                                                      const PackageOwnership& ownership) {
    return [roots = std::move(roots), &ownership](const std::vector<std::string>& paths) {
        // Only what could be accepted in a Linux root is asked about; the policy refuses the rest anyway.
        std::vector<std::string> asked;
        for (const auto& path : paths) {
            if (roots.holds(PathProtection::normalise(path))) asked.push_back(path);
        }
        if (asked.empty()) return std::map<std::string, std::string>{};
        return ownership.refusals(asked, [&](const std::string& path) { return roots.inApplications(PathProtection::normalise(path)); });
    };
}

std::map<std::string, std::string> DaemonRemovalSteps::packageRefusals(const std::vector<std::string>& paths) {
    if (!collaborators_.packages) return {};
    return collaborators_.packages(paths);
}

platform::OSStatus DaemonRemovalSteps::authorizationStatus(std::span<const std::uint8_t> externalForm,
                                                           const platform::SocketPeer& peer) {
    if (collaborators_.verdict) return collaborators_.verdict(externalForm, peer);
    return RemovalSteps::authorizationStatus(externalForm, peer);
}

bool DaemonRemovalSteps::isAuthorized(std::span<const std::uint8_t> externalForm, const platform::SocketPeer& peer) {
    if (collaborators_.verdict) return collaborators_.verdict(externalForm, peer) == platform::errAuthorizationSuccess;
    if (collaborators_.authorize) return collaborators_.authorize(externalForm, peer);
    log_.note("authorization not granted: " + std::to_string(unavailableStatus));
    return false;
}

std::optional<HeldTrash> DaemonRemovalSteps::openTrash(uid_t user) {
    // The home Trash from the password database, whatever the user's data folder setting says.
    const auto account = platform::Trash::account(user);
    if (!account) return std::nullopt;
    auto held = platform::Trash::openUserTrash(*account);
    if (!held) {
        log_.note("no usable Trash for uid " + std::to_string(user) + ": " + HelperLog::clientValue(held.error().description));
        return std::nullopt;
    }
    platform::FileDescriptor files(::fcntl(held->files.get(), F_DUPFD_CLOEXEC, 0));
    if (!files) return std::nullopt;
    const std::filesystem::path path = held->path;
    return HeldTrash{std::move(files), path, account->home, user,
                     std::make_shared<const platform::Trash::Held>(std::move(*held))};
}

std::expected<std::pair<platform::FileDescriptor, std::string>, std::string> DaemonRemovalSteps::holdParent(
    const std::string& path) {
    const std::filesystem::path item = std::filesystem::path(path).lexically_normal();
    auto name = item.filename().native();
    auto parent = item.parent_path();
    if (name.empty()) {  // a trailing slash names the folder before it
        name = parent.filename().native();
        parent = parent.parent_path();
    }
    if (!item.is_absolute() || name.empty() || name == "." || name == "..") {
        return std::unexpected("The path " + path + " does not name an item.");
    }
    // An absolute path starts at the root whatever the directory given, so none is opened for it.
    platform::FileDescriptor fd(platform::openWithoutLinks(AT_FDCWD, parent.c_str(), O_RDONLY | O_DIRECTORY));
    if (!fd) return std::unexpected(platform::FileError::fromErrno(errno, platform::FileOperation::read, path).description);
    return std::pair{std::move(fd), name};
}

std::expected<JudgedItem, std::string> DaemonRemovalSteps::judge(const std::string& path) {
    // Held before the verdict and compared after it: what was judged is what moves.
    auto held = holdParent(path);
    std::optional<Identity> before;
    if (held) before = identityAt(held->first.get(), held->second);
    if (!collaborators_.policy) return std::unexpected(std::string("The removal policy is not available."));
    const auto kind = collaborators_.policy(path);
    if (!kind) return std::unexpected(kind.error());
    if (!held) return std::unexpected(held.error());
    if (!before || identityAt(held->first.get(), held->second) != before || !sameFolderAt(held->first.get(), path)) {
        return std::unexpected("The item at " + path + " changed while it was being checked.");
    }
    return JudgedItem{*kind, path, std::make_shared<platform::FileDescriptor>(std::move(held->first)), held->second,
                      before->device, before->inode};
}

// A program root runs must be root's alone. A missing one is run all the same: the run fails and,
// like any other failure of this step, is ignored.
bool DaemonRemovalSteps::mayRun(const std::string& program, std::string_view tool, std::string_view consequence) const {
    struct stat info {};
    if (::stat(program.c_str(), &info) != 0 && errno == ENOENT) return true;
    if (S_ISREG(info.st_mode) && info.st_uid == 0 && (info.st_mode & S_IXUSR) != 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        return true;
    }
    log_.note(std::string(tool) + " at " + program + " is not a root-owned executable file: " + std::string(consequence));
    return false;
}

bool DaemonRemovalSteps::launchctlUsable() {
    return mayRun(collaborators_.launchctlPath, "launchctl", "launch jobs stay loaded, items move anyway");
}

void DaemonRemovalSteps::launchctl(const std::vector<std::string>& arguments) {
    // Output, status, a missing launchctl and a time-out are all ignored: the move follows anyway.
    [[maybe_unused]] const auto output = ProcessRunner::runBlocking(collaborators_.launchctlPath, arguments, 20);
}

void DaemonRemovalSteps::systemctl(const std::vector<std::string>& arguments) {
    if (!mayRun(collaborators_.systemctlPath, "systemctl", "the unit stays enabled, it moves anyway")) return;
    // As with launchctl: whatever systemctl says or does, the move follows.
    [[maybe_unused]] const auto output = ProcessRunner::runBlocking(collaborators_.systemctlPath, arguments, 20);
}

std::expected<std::filesystem::path, std::string> DaemonRemovalSteps::moveToTrash(const JudgedItem& item,
                                                                                  const HeldTrash& trash) {
    if (collaborators_.move) return collaborators_.move(item, trash);
    if (!trash.held || !item.parent) return std::unexpected(std::string("Moving to the Trash is not available."));
    // A rename goes by name, so whatever now has the name would move: the item must still be the one
    // judged. (What a writer of the folder swaps in after this check is an entry of that folder, which
    // moves as it is, a link as a link, never what it points to.)
    if (identityAt(item.parent->get(), item.name) != Identity{item.device, item.inode}) {
        return std::unexpected("The item at " + item.path + " changed while it was being checked.");
    }
    // From the folder held since the verdict into the Trash held since the request began.
    auto moved = platform::Trash::moveIntoTrash(*trash.held, item.parent->get(), item.path);
    if (!moved) return std::unexpected(moved.error().description);
    return *moved;
}

}  // namespace vornelo::helper

#include "Helper/DaemonRemovalSteps.h"

#include "Core/ProcessRunner.h"
#include "Platform/FileError.h"
#include "Platform/Trash.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace vornelo::helper {

namespace {

int openBeneath(int directory, const char* path, std::uint64_t flags) {
    open_how how{};
    how.flags = flags | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(platform::retryOnInterrupt([&] { return ::syscall(SYS_openat2, directory, path, &how, sizeof how); }));
}

std::optional<std::filesystem::path> homeOf(uid_t user) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1U << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr || entry.pw_dir == nullptr || entry.pw_dir[0] != '/') return std::nullopt;
    return std::filesystem::path(entry.pw_dir);
}

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

}  // namespace

DaemonRemovalSteps::DaemonRemovalSteps(Collaborators collaborators, const HelperLog& log)
    : collaborators_(std::move(collaborators)), log_(log) {}

bool DaemonRemovalSteps::isAuthorized(std::span<const std::uint8_t> externalForm, const platform::SocketPeer& peer) {
    if (collaborators_.authorize) return collaborators_.authorize(externalForm, peer);
    log_.note("authorization not granted: " + std::to_string(unavailableStatus));
    return false;
}

std::optional<HeldTrash> DaemonRemovalSteps::openTrashIn(const std::filesystem::path& home, uid_t user) {
    const auto trashPath = platform::Trash::homeTrash(home);
    const auto relative = trashPath.lexically_relative(home);
    if (relative.empty() || relative.native().starts_with("..")) return std::nullopt;
    // The home itself may be reached through links the administrator made; below it nothing may be one.
    platform::FileDescriptor homeFd(platform::retryOnInterrupt([&] { return ::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!homeFd) return std::nullopt;
    platform::FileDescriptor fd(openBeneath(homeFd.get(), relative.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    if (!fd) return std::nullopt;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != user) return std::nullopt;
    return HeldTrash{std::move(fd), trashPath, home, user};
}

std::optional<HeldTrash> DaemonRemovalSteps::openTrash(uid_t user) {
    const auto home = homeOf(user);
    if (!home) return std::nullopt;
    return openTrashIn(*home, user);
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
    const auto relative = parent.lexically_relative("/");
    platform::FileDescriptor root(platform::retryOnInterrupt([] { return ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    platform::FileDescriptor fd(openBeneath(root.get(), relative.empty() ? "." : relative.c_str(), O_RDONLY | O_DIRECTORY));
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
    if (!before || identityAt(held->first.get(), held->second) != before) {
        return std::unexpected("The item at " + path + " changed while it was being checked.");
    }
    return JudgedItem{*kind, path, std::make_shared<platform::FileDescriptor>(std::move(held->first)), held->second};
}

void DaemonRemovalSteps::launchctl(const std::vector<std::string>& arguments) {
    // Output, status, a missing launchctl and a time-out are all ignored: the move follows anyway.
    [[maybe_unused]] const auto output = ProcessRunner::runBlocking(collaborators_.launchctlPath, arguments, 20);
}

std::expected<std::filesystem::path, std::string> DaemonRemovalSteps::moveToTrash(const JudgedItem& item,
                                                                                  const HeldTrash& trash) {
    if (!collaborators_.move) return std::unexpected(std::string("Moving to the Trash is not available."));
    return collaborators_.move(item, trash);
}

}  // namespace vornelo::helper

#include "Platform/Files/HeldItem.h"

#include "Platform/Files/FileManager.h"
#include "Platform/Files/FileTree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <vector>

namespace vornelo::platform {

namespace {

using Failure = std::unexpected<FileError>;

constexpr int pathFlags = O_PATH | O_CLOEXEC;
// The kernel's own limit on links followed in one lookup.
constexpr int maxLinkHops = 40;

Failure failure(int error, const std::string& path) { return Failure(FileError::fromErrno(error, FileOperation::write, path)); }

// Pushes the components of `path` so that the first is popped first.
void pushComponents(std::vector<std::string>& pending, std::string_view path) {
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= path.size()) {
        auto slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        if (slash > start) components.emplace_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    pending.insert(pending.end(), components.rbegin(), components.rend());
}

Failure refusedLink(const std::string& link) {
    return Failure(FileError::make(FileError::cocoaDomain, FileError::writeUnknown,
                                   "The link \u201C" + link + "\u201D on the way belongs to another user, so it was "
                                   "not followed.",
                                   EPERM));
}

bool mayFollow(const struct stat& link, LinkRule rule) {
    switch (rule) {
        case LinkRule::any: return true;
        case LinkRule::ownedByRootOrUser: return link.st_uid == 0 || link.st_uid == ::geteuid();
    }
    return false;
}

struct Walked {
    FileDescriptor fd;
    std::string path;
};

// One component at a time from "/", every link read and followed by hand, so the path that comes
// out is exactly the way the descriptor was reached.
std::expected<Walked, FileError> walk(const std::string& path, LinkRule rule, bool createMissing) {
    std::vector<std::string> pending;
    pushComponents(pending, path);
    Walked current{FileDescriptor(retryOnInterrupt([] { return ::open("/", pathFlags | O_DIRECTORY); })), "/"};
    if (!current.fd) return failure(errno, "/");
    int hops = 0;
    while (!pending.empty()) {
        const std::string name = std::move(pending.back());
        pending.pop_back();
        if (name == ".") continue;
        if (name == "..") {
            FileDescriptor up(retryOnInterrupt([&] { return ::openat(current.fd.get(), "..", pathFlags | O_DIRECTORY); }));
            if (!up) return failure(errno, current.path);
            current = Walked{std::move(up), FileManager::parentPath(current.path)};
            continue;
        }
        const std::string next = FileManager::joinedPath(current.path, name);
        const auto openNext = [&] { return ::openat(current.fd.get(), name.c_str(), pathFlags | O_NOFOLLOW); };
        FileDescriptor fd(retryOnInterrupt(openNext));
        if (!fd && errno == ENOENT && createMissing) {
            // 0777 so that the umask decides, as for any folder the user makes.
            if (::mkdirat(current.fd.get(), name.c_str(), 0777) != 0 && errno != EEXIST) return failure(errno, next);
            fd.reset(retryOnInterrupt(openNext));
        }
        if (!fd) return failure(errno, next);
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0) return failure(errno, next);
        if (S_ISLNK(info.st_mode)) {
            if (!mayFollow(info, rule)) return refusedLink(next);
            if (++hops > maxLinkHops) return failure(ELOOP, path);
            char target[PATH_MAX];
            const ssize_t length = ::readlinkat(fd.get(), "", target, sizeof target);
            if (length <= 0 || length >= static_cast<ssize_t>(sizeof target)) return failure(length < 0 ? errno : ENOENT, next);
            const std::string_view way(target, static_cast<std::size_t>(length));
            if (way.front() == '/') {
                current.fd.reset(retryOnInterrupt([] { return ::open("/", pathFlags | O_DIRECTORY); }));
                current.path = "/";
                if (!current.fd) return failure(errno, "/");
            }
            pushComponents(pending, way);
            continue;
        }
        if (!S_ISDIR(info.st_mode)) return failure(ENOTDIR, next);
        current = Walked{std::move(fd), next};
    }
    return current;
}

}  // namespace

// MARK: HeldFolder

HeldFolder::HeldFolder(FileDescriptor fd, std::string path, std::string requested, LinkRule links, dev_t device,
                       ino_t inode)
    : fd_(std::make_shared<const FileDescriptor>(std::move(fd))),
      path_(std::move(path)),
      requested_(std::move(requested)),
      links_(links),
      device_(device),
      inode_(inode) {}

std::expected<HeldFolder, FileError> HeldFolder::open(std::string_view folder, LinkRule links, bool createMissing) {
    const std::string path = FileManager::absoluteStandardizedPath(folder);
    Walked walked{FileDescriptor(openWithoutLinks(AT_FDCWD, path.c_str(), O_PATH | O_DIRECTORY)), path};
    if (!walked.fd) {
        const int error = errno;
        // Links on the way, folders still to make, or a kernel without openat2: walk it.
        if (error != ELOOP && error != ENOSYS && error != EXDEV && error != EAGAIN && !(error == ENOENT && createMissing)) {
            return failure(error, path);
        }
        auto slow = walk(path, links, createMissing);
        if (!slow) return std::unexpected(slow.error());
        walked = std::move(*slow);
    }
    struct stat info {};
    if (::fstat(walked.fd.get(), &info) != 0) return failure(errno, walked.path);
    return HeldFolder(std::move(walked.fd), std::move(walked.path), path, links, info.st_dev, info.st_ino);
}

bool HeldFolder::stillInPlace() const {
    // The kernel's own name for the open folder: when that is path_, every component of path_ is
    // the real folder entry on the way to it, so no link lies there now. One call instead of three.
    char name[PATH_MAX];
    const std::string self = "/proc/self/fd/" + std::to_string(fd());
    const ssize_t length = ::readlink(self.c_str(), name, sizeof name);
    if (length > 0 && std::string_view(name, static_cast<std::size_t>(length)) == path_ && !path_.ends_with(" (deleted)")) {
        return true;
    }
    const FileDescriptor again(openWithoutLinks(AT_FDCWD, path_.c_str(), O_PATH | O_DIRECTORY));
    struct stat info {};
    return again && ::fstat(again.get(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_;
}

// MARK: HeldItem

HeldItem::HeldItem(HeldFolder folder, std::string name, dev_t device, ino_t inode, mode_t mode, bool isMountPoint)
    : folder_(std::move(folder)),
      name_(std::move(name)),
      place_(FileManager::joinedPath(folder_.path(), name_)),
      device_(device),
      inode_(inode),
      isFolder_(S_ISDIR(mode)),
      isLink_(S_ISLNK(mode)),
      isMountPoint_(isMountPoint) {}

std::expected<HeldItem, FileError> HeldItem::hold(std::string_view path, LinkRule links) {
    std::optional<HeldFolder> folder;
    return hold(path, links, folder);
}

std::expected<HeldItem, FileError> HeldItem::hold(std::string_view path, LinkRule links, std::optional<HeldFolder>& folder) {
    const std::string item = FileManager::absoluteStandardizedPath(path);
    const auto slash = item.rfind('/');
    if (item == "/" || slash == std::string::npos) return failure(EBUSY, item);
    std::string name = item.substr(slash + 1);
    if (name == "." || name == "..") return failure(EINVAL, item);
    const std::string_view parent = slash == 0 ? std::string_view("/") : std::string_view(item).substr(0, slash);
    if (!folder || folder->requested() != parent || folder->links_ != links) {
        folder.reset();
        auto opened = HeldFolder::open(parent, links);
        if (!opened) return std::unexpected(opened.error());
        folder = std::move(*opened);
    }
    // One statx tells the identity, the type and whether a file system is mounted here.
    struct statx info {};
    if (::statx(folder->fd(), name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_INO, &info) != 0) {
        return failure(errno, item);
    }
    const dev_t device = makedev(info.stx_dev_major, info.stx_dev_minor);
    const bool mountRoot = (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                           (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    return HeldItem(*folder, std::move(name), device, info.stx_ino, info.stx_mode,
                    mountRoot || device != folder->device());
}

FileError HeldItem::changedError(std::string_view path) {
    return FileError::make(FileError::cocoaDomain, FileError::writeUnknown,
                           "\u201C" + std::string(path) + "\u201D changed after it was checked (it or a folder on "
                           "its way was moved or replaced), so it was left alone.",
                           EAGAIN);
}

std::expected<void, FileError> HeldItem::checkUnchanged() const {
    struct stat info {};
    if (::fstatat(folder_.fd(), name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return failure(ENOENT, place_);
        return failure(errno, place_);
    }
    if (info.st_dev != device_ || info.st_ino != inode_ || !folder_.stillInPlace()) {
        return std::unexpected(changedError(place_));
    }
    return {};
}

std::expected<void, FileError> HeldItem::remove(std::int64_t* removedEntries, std::stop_token stop) const {
    if (auto unchanged = checkUnchanged(); !unchanged) return unchanged;
    return removeEntryAt(folder_.fd(), name_.c_str(), place_, removedEntries, std::move(stop));
}

std::expected<std::string, FileError> HeldItem::moveInto(const HeldFolder& destination, const NameChooser& names,
                                                         std::stop_token stop) const {
    if (auto unchanged = checkUnchanged(); !unchanged) return std::unexpected(unchanged.error());
    if (!destination.stillInPlace()) return std::unexpected(changedError(destination.path()));
    std::string lastTried = destination.path();
    unsigned attempt = 1;
    for (;; ++attempt) {
        const std::string name = names(attempt);
        if (name.empty()) return failure(EEXIST, lastTried);
        lastTried = FileManager::joinedPath(destination.path(), name);
        if (::renameat2(folder_.fd(), name_.c_str(), destination.fd(), name.c_str(), RENAME_NOREPLACE) == 0) return name;
        if (errno == EXDEV) break;
        if (errno != EEXIST && errno != ENOTEMPTY) return failure(errno, place_);
    }
    return copyInto(destination, names, attempt, std::move(stop));
}

// Another file system: a whole copy made aside first (StagedCopy), so that no half-made item ever
// carries a real name and a failure removes only what the copy made, then a rename into place
// that never replaces, then removal here.
std::expected<std::string, FileError> HeldItem::copyInto(const HeldFolder& destination, const NameChooser& names,
                                                         unsigned attempt, std::stop_token stop) const {
    struct stat taken {};
    std::string name = names(attempt);
    std::string lastTried = FileManager::joinedPath(destination.path(), name);
    // Taken names are passed over before a long copy rather than after it.
    while (!name.empty() && ::fstatat(destination.fd(), name.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0) {
        lastTried = FileManager::joinedPath(destination.path(), name);
        name = names(++attempt);
    }
    if (name.empty()) return failure(EEXIST, lastTried);
    auto copy = StagedCopy::make(folder_.fd(), name_.c_str(), place_, destination.fd(), destination.path(), std::move(stop));
    if (!copy) return std::unexpected(copy.error());
    int error = EEXIST;
    for (; !name.empty(); name = names(++attempt)) {
        lastTried = FileManager::joinedPath(destination.path(), name);
        error = copy->publish(destination.fd(), name);
        if (error == 0) {
            // The item is whole at its destination; a source that cannot be removed is still reported.
            if (auto removed = removeEntryAt(folder_.fd(), name_.c_str(), place_); !removed) return std::unexpected(removed.error());
            return name;
        }
        if (error != EEXIST && error != ENOTEMPTY) break;
    }
    return failure(name.empty() ? EEXIST : error, name.empty() ? lastTried : FileManager::joinedPath(destination.path(), name));
}

std::expected<void, FileError> HeldItem::moveTo(const HeldFolder& destination, const std::string& name,
                                                std::stop_token stop) const {
    const auto moved = moveInto(destination, [&](unsigned attempt) { return attempt == 1 ? name : std::string(); },
                                std::move(stop));
    if (!moved) return std::unexpected(moved.error());
    return {};
}

}  // namespace vornelo::platform

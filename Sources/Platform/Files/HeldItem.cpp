#include "Platform/Files/HeldItem.h"

#include "Platform/Files/FileManager.h"
#include "Platform/Files/FileTree.h"

#include <fcntl.h>
#include <sys/stat.h>
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

HeldFolder::HeldFolder(FileDescriptor fd, std::string path, dev_t device, ino_t inode)
    : fd_(std::move(fd)), path_(std::move(path)), device_(device), inode_(inode) {}

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
    return HeldFolder(std::move(walked.fd), std::move(walked.path), info.st_dev, info.st_ino);
}

bool HeldFolder::stillInPlace() const {
    const FileDescriptor again(openWithoutLinks(AT_FDCWD, path_.c_str(), O_PATH | O_DIRECTORY));
    struct stat info {};
    return again && ::fstat(again.get(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_;
}

// MARK: HeldItem

HeldItem::HeldItem(HeldFolder folder, std::string name, dev_t device, ino_t inode, bool isFolder)
    : folder_(std::move(folder)),
      name_(std::move(name)),
      place_(FileManager::joinedPath(folder_.path(), name_)),
      device_(device),
      inode_(inode),
      isFolder_(isFolder) {}

std::expected<HeldItem, FileError> HeldItem::hold(std::string_view path, LinkRule links) {
    const std::string item = FileManager::absoluteStandardizedPath(path);
    const auto slash = item.rfind('/');
    if (item == "/" || slash == std::string::npos) return failure(EBUSY, item);
    std::string name = item.substr(slash + 1);
    if (name == "." || name == "..") return failure(EINVAL, item);
    auto folder = HeldFolder::open(slash == 0 ? std::string_view("/") : std::string_view(item).substr(0, slash), links);
    if (!folder) return std::unexpected(folder.error());
    struct stat info {};
    if (::fstatat(folder->fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return failure(errno, item);
    return HeldItem(std::move(*folder), std::move(name), info.st_dev, info.st_ino, S_ISDIR(info.st_mode));
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

std::expected<void, FileError> HeldItem::remove(std::int64_t* removedEntries) const {
    if (auto unchanged = checkUnchanged(); !unchanged) return unchanged;
    return removeEntryAt(folder_.fd(), name_.c_str(), place_, removedEntries);
}

std::expected<std::string, FileError> HeldItem::moveInto(const HeldFolder& destination, const NameChooser& names) const {
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
    return copyInto(destination, names, attempt);
}

// Another file system: a whole copy made aside first (StagedCopy), so that no half-made item ever
// carries a real name and a failure removes only what the copy made, then a rename into place
// that never replaces, then removal here.
std::expected<std::string, FileError> HeldItem::copyInto(const HeldFolder& destination, const NameChooser& names,
                                                         unsigned attempt) const {
    struct stat taken {};
    std::string name = names(attempt);
    std::string lastTried = FileManager::joinedPath(destination.path(), name);
    // Taken names are passed over before a long copy rather than after it.
    while (!name.empty() && ::fstatat(destination.fd(), name.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0) {
        lastTried = FileManager::joinedPath(destination.path(), name);
        name = names(++attempt);
    }
    if (name.empty()) return failure(EEXIST, lastTried);
    auto copy = StagedCopy::make(folder_.fd(), name_.c_str(), place_, destination.fd(), destination.path());
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

std::expected<void, FileError> HeldItem::moveTo(const HeldFolder& destination, const std::string& name) const {
    const auto moved = moveInto(destination, [&](unsigned attempt) { return attempt == 1 ? name : std::string(); });
    if (!moved) return std::unexpected(moved.error());
    return {};
}

}  // namespace vornelo::platform

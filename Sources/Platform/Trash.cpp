#include "Platform/Trash.h"

#include "Platform/FileDescriptor.h"
#include "Platform/FileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <optional>

namespace vornelo::platform {

namespace {

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t maxNameBytes = NAME_MAX;
// Past this many taken names something is wrong with the Trash; stop rather than spin.
constexpr unsigned maxNumber = 100000;

using Failure = std::unexpected<FileError>;

Failure failure(int error, const std::string& path) { return Failure(FileError::fromErrno(error, FileOperation::write, path)); }

Failure unsafe(const std::string& folder) {
    return Failure(FileError::make(FileError::cocoaDomain, FileError::writeUnknown,
                                   "The Trash folder \u201C" + folder + "\u201D is not safe to use: it is not a folder "
                                   "that belongs to you alone."));
}

struct ItemLocation {
    std::string path;    // absolute, standardised
    std::string parent;  // the folder holding it, as given
    std::string name;
};

std::optional<ItemLocation> locate(const std::filesystem::path& item) {
    const std::string path = FileManager::absoluteStandardizedPath(item.native());
    const auto slash = path.rfind('/');
    if (path == "/" || slash == std::string::npos) return std::nullopt;
    return ItemLocation{path, slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

dev_t deviceOf(const struct statx& info) { return makedev(info.stx_dev_major, info.stx_dev_minor); }

bool isMountRoot(const struct statx& info) {
    return (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 && (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

std::string parentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

std::string join(const std::string& folder, std::string_view name) {
    std::string joined = folder;
    if (joined.back() != '/') joined.push_back('/');
    joined.append(name);
    return joined;
}

// Opens a folder that must be a real folder (not a link) owned by `user`, creating it with mode
// 0700 when it is missing.
std::expected<FileDescriptor, FileError> openPrivateFolder(int parentFd, const char* name, const std::string& path,
                                                           uid_t user) {
    FileDescriptor fd(retryOnInterrupt([&] { return ::openat(parentFd, name, folderFlags); }));
    if (!fd && errno == ENOENT) {
        if (::mkdirat(parentFd, name, 0700) != 0 && errno != EEXIST) return failure(errno, path);
        fd.reset(retryOnInterrupt([&] { return ::openat(parentFd, name, folderFlags); }));
    }
    if (!fd) {
        if (errno == ELOOP || errno == ENOTDIR) return unsafe(path);
        return failure(errno, path);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return failure(errno, path);
    if (info.st_uid != user) return unsafe(path);
    return fd;
}

// ".Trashes" at the root of a volume: shared by every user of the volume, so it must keep them
// apart (sticky) or belong to root or the user and be writable by nobody else.
std::expected<FileDescriptor, FileError> openVolumeTrashes(int mountFd, const std::string& path, uid_t user) {
    FileDescriptor fd(retryOnInterrupt([&] { return ::openat(mountFd, ".Trashes", folderFlags); }));
    if (!fd && errno == ENOENT) {
        if (::mkdirat(mountFd, ".Trashes", 0700) == 0) {
            fd.reset(retryOnInterrupt([&] { return ::openat(mountFd, ".Trashes", folderFlags); }));
            // Set after creation: the umask must not narrow it, and it is never wider than 0700
            // before it is sticky.
            if (fd && ::fchmod(fd.get(), 01333) != 0) return failure(errno, path);
        } else if (errno == EEXIST) {
            fd.reset(retryOnInterrupt([&] { return ::openat(mountFd, ".Trashes", folderFlags); }));
        } else {
            return failure(errno, path);
        }
    }
    if (!fd) {
        if (errno == ELOOP || errno == ENOTDIR) return unsafe(path);
        return failure(errno, path);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return failure(errno, path);
    const bool sticky = (info.st_mode & S_ISVTX) != 0;
    const bool privateToOwner = (info.st_uid == 0 || info.st_uid == user) && (info.st_mode & 022) == 0;
    if (!sticky && !privateToOwner) return unsafe(path);
    return fd;
}

// The mount point of the file system on `device` that holds `folder` (a resolved path).
std::string mountPointOf(std::string folder, dev_t device) {
    for (;;) {
        if (folder == "/") return folder;
        struct statx info {};
        if (::statx(AT_FDCWD, folder.c_str(), AT_NO_AUTOMOUNT, STATX_TYPE, &info) == 0 && isMountRoot(info)) {
            return folder;
        }
        const std::string parent = parentOf(folder);
        struct statx above {};
        if (::statx(AT_FDCWD, parent.c_str(), AT_NO_AUTOMOUNT, STATX_TYPE, &above) != 0 || deviceOf(above) != device) {
            return folder;
        }
        folder = parent;
    }
}

// Renames parent/name into the trash folder under the first free name.
std::expected<std::filesystem::path, FileError> renameFree(int parentFd, const ItemLocation& item, int trashFd,
                                                           const std::string& trashPath) {
    for (unsigned number = 1; number <= maxNumber; ++number) {
        const std::string candidate = number == 1 ? item.name : Trash::numberedName(item.name, number);
        const int renamed = ::renameat2(parentFd, item.name.c_str(), trashFd, candidate.c_str(), RENAME_NOREPLACE);
        if (renamed == 0) return std::filesystem::path(join(trashPath, candidate));
        if (errno != EEXIST && errno != ENOTEMPTY) return failure(errno, item.path);
    }
    return failure(EEXIST, item.path);
}

std::expected<std::filesystem::path, FileError> moveToVolumeTrash(int parentFd, const ItemLocation& item,
                                                                  dev_t device, uid_t user) {
    const std::string resolvedParent = FileManager::defaultManager().resolvingSymlinksInPath(item.parent);
    const std::string mountPoint = mountPointOf(resolvedParent, device);
    FileDescriptor mountFd(retryOnInterrupt([&] { return ::open(mountPoint.c_str(), folderFlags); }));
    if (!mountFd) return failure(errno, mountPoint);
    struct stat mountInfo {};
    if (::fstat(mountFd.get(), &mountInfo) != 0) return failure(errno, mountPoint);
    if (mountInfo.st_dev != device) return failure(EXDEV, item.path);

    const std::string trashesPath = join(mountPoint, ".Trashes");
    auto trashes = openVolumeTrashes(mountFd.get(), trashesPath, user);
    if (!trashes) return std::unexpected(trashes.error());
    const std::string userFolder = std::to_string(user);
    const std::string userPath = join(trashesPath, userFolder);
    auto trash = openPrivateFolder(trashes->get(), userFolder.c_str(), userPath, user);
    if (!trash) return std::unexpected(trash.error());
    return renameFree(parentFd, item, trash->get(), userPath);
}

}  // namespace

std::string Trash::numberedName(std::string_view name, unsigned number) {
    const auto period = name.rfind('.');
    const bool hasExtension = period != std::string_view::npos && period != 0;
    std::string_view base = hasExtension ? name.substr(0, period) : name;
    const std::string_view extension = hasExtension ? name.substr(period + 1) : std::string_view{};
    std::string suffix = " " + std::to_string(number);
    if (!extension.empty()) suffix.append(".").append(extension);
    if (base.size() + suffix.size() > maxNameBytes) {
        std::size_t keep = suffix.size() < maxNameBytes ? maxNameBytes - suffix.size() : 0;
        // Back up to the start of a UTF-8 sequence so the cut never splits a character.
        while (keep > 0 && keep < base.size() && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80) --keep;
        base = base.substr(0, keep);
    }
    std::string result(base);
    result.append(suffix);
    if (result.size() > maxNameBytes) result.resize(maxNameBytes);
    return result;
}

std::filesystem::path Trash::homeTrash(const std::filesystem::path& home) { return home / ".Trash"; }

std::expected<std::filesystem::path, FileError> Trash::moveToTrash(const std::filesystem::path& item,
                                                                   const std::filesystem::path& home, uid_t user) {
    const auto location = locate(item);
    if (!location) return failure(EBUSY, item.native());
    FileDescriptor parentFd(retryOnInterrupt([&] { return ::open(location->parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!parentFd) return failure(errno, location->path);
    return moveToTrash(parentFd.get(), item, home, user);
}

std::expected<std::filesystem::path, FileError> Trash::moveToTrash(int parentFd, const std::filesystem::path& item,
                                                                   const std::filesystem::path& home, uid_t user) {
    const auto location = locate(item);
    if (!location) return failure(EBUSY, item.native());
    struct statx parentInfo {};
    struct statx itemInfo {};
    if (::statx(parentFd, "", AT_EMPTY_PATH, STATX_TYPE, &parentInfo) != 0) return failure(errno, location->path);
    if (::statx(parentFd, location->name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE, &itemInfo) != 0) {
        return failure(errno, location->path);
    }
    const dev_t device = deviceOf(itemInfo);
    // A volume mounted here is not an item that can be moved.
    if (device != deviceOf(parentInfo) || isMountRoot(itemInfo)) return failure(EBUSY, location->path);

    // The home folder is judged by the descriptor the Trash is then opened from.
    FileDescriptor homeFd(retryOnInterrupt([&] { return ::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    struct stat homeInfo {};
    const bool sameVolumeAsHome = homeFd && ::fstat(homeFd.get(), &homeInfo) == 0 && homeInfo.st_dev == device;
    if (sameVolumeAsHome) {
        const std::string trashPath = homeTrash(home).native();
        auto trash = openPrivateFolder(homeFd.get(), ".Trash", trashPath, user);
        if (!trash) return std::unexpected(trash.error());
        auto moved = renameFree(parentFd, *location, trash->get(), trashPath);
        // The same device can still be another mount (a bind mount), which a rename cannot leave.
        if (moved || moved.error().underlyingPosixCode != EXDEV) return moved;
    }
    return moveToVolumeTrash(parentFd, *location, device, user);
}

}  // namespace vornelo::platform

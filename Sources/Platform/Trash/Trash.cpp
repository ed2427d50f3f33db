#include "Platform/Trash/Trash.h"

#include "Platform/Files/FileManager.h"
#include "Platform/Files/FileTree.h"
#include "Platform/Trash/TrashInfo.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <memory>
#include <mutex>
#include <cstdlib>
#include <vector>

namespace vornelo::platform {

namespace {

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// An item's name leaves room for the info file's suffix.
constexpr std::size_t maxItemNameBytes = NAME_MAX - TrashInfo::suffix.size();
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

struct Owner {
    uid_t user;
    gid_t group;
};

// Opens a folder that must be a real folder (not a link) owned by `owner`; a missing one is
// created with mode 0700 and given to the owner when `create` is set.
std::expected<FileDescriptor, FileError> openOwnedFolder(int parentFd, const std::string& name,
                                                         const std::string& path, Owner owner, bool create) {
    FileDescriptor fd(retryOnInterrupt([&] { return ::openat(parentFd, name.c_str(), folderFlags); }));
    bool created = false;
    if (!fd && errno == ENOENT && create) {
        created = ::mkdirat(parentFd, name.c_str(), 0700) == 0;
        if (!created && errno != EEXIST) return failure(errno, path);
        fd.reset(retryOnInterrupt([&] { return ::openat(parentFd, name.c_str(), folderFlags); }));
    }
    if (!fd) {
        if (errno == ELOOP || errno == ENOTDIR) return unsafe(path);
        return failure(errno, path);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return failure(errno, path);
    // Made by a privileged caller on the user's behalf: hand it over.
    if (created && info.st_uid != owner.user) {
        if (::fchown(fd.get(), owner.user, owner.group) != 0) return failure(errno, path);
        info.st_uid = owner.user;
    }
    if (info.st_uid != owner.user) return unsafe(path);
    return fd;
}

// Opens (or creates) `name` in `parentFd` as a Trash folder with its files/ and info/.
std::expected<Trash::Held, FileError> openTrashFolder(int parentFd, const std::string& name, const std::string& path,
                                                      Owner owner, bool create) {
    auto trash = openOwnedFolder(parentFd, name, path, owner, create);
    if (!trash) return std::unexpected(trash.error());
    auto files = openOwnedFolder(trash->get(), "files", FileManager::joinedPath(path, "files"), owner, create);
    if (!files) return std::unexpected(files.error());
    auto info = openOwnedFolder(trash->get(), "info", FileManager::joinedPath(path, "info"), owner, create);
    if (!info) return std::unexpected(info.error());
    return Trash::Held{std::move(*files), std::move(*info), path, {}, owner.user, owner.group};
}

// Writes the whole info file to a freshly created descriptor.
bool writeAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const auto count = retryOnInterrupt([&] { return ::write(fd, text.data() + written, text.size() - written); });
        if (count <= 0) return false;
        written += static_cast<std::size_t>(count);
    }
    return true;
}

enum class Claim { claimed, taken, failed };

// Claims `candidate` by creating its info file exclusively.
Claim claimName(const Trash::Held& trash, const std::string& infoName, const std::string& contents) {
    FileDescriptor fd(retryOnInterrupt([&] {
        return ::openat(trash.info.get(), infoName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }));
    if (!fd) return errno == EEXIST ? Claim::taken : Claim::failed;
    const bool ownAlready = ::geteuid() != 0 || (trash.user == 0 && trash.group == ::getegid());
    const bool handedOver = ownAlready || ::fchown(fd.get(), trash.user, trash.group) == 0;
    if (handedOver && writeAll(fd.get(), contents)) return Claim::claimed;
    const int error = errno;
    ::unlinkat(trash.info.get(), infoName.c_str(), 0);
    errno = error;
    return Claim::failed;
}

// Moves parent/name into the Trash under the first name free in both files/ and info/.
// `sourceName`, when given, is the entry in `parentFd` to rename in place of item.name.
std::expected<std::filesystem::path, FileError> place(const Trash::Held& trash, int parentFd, const ItemLocation& item,
                                                      const std::string& recordedPath,
                                                      const std::string* sourceName = nullptr, std::string_view session = {}) {
    const std::string& source = sourceName ? *sourceName : item.name;
    const std::string contents = TrashInfo::contents(recordedPath, std::chrono::system_clock::now(), session);
    const std::string filesPath = FileManager::joinedPath(trash.path, "files");
    for (unsigned number = 1; number <= maxNumber; ++number) {
        if (number == 1 && item.name.size() > maxItemNameBytes) continue;
        const std::string candidate =
            number == 1 ? item.name : Trash::numberedName(item.name, number, maxItemNameBytes);
        const std::string infoName = TrashInfo::fileName(candidate);
        const Claim claim = claimName(trash, infoName, contents);
        if (claim == Claim::taken) continue;
        if (claim == Claim::failed) return failure(errno, FileManager::joinedPath(FileManager::joinedPath(trash.path, "info"), infoName));
        if (::renameat2(parentFd, source.c_str(), trash.files.get(), candidate.c_str(), RENAME_NOREPLACE) == 0) {
            return std::filesystem::path(FileManager::joinedPath(filesPath, candidate));
        }
        const int error = errno;
        ::unlinkat(trash.info.get(), infoName.c_str(), 0);
        if (error != EEXIST && error != ENOTEMPTY) return failure(error, item.path);
    }
    return failure(EEXIST, item.path);
}

// Across file systems: a full copy made aside inside the held "files" folder (StagedCopy: only
// what the copy made is ever removed, never a name), so that nothing lands outside the Trash
// whatever its owner does meanwhile, renamed to the claimed name; the source is removed through
// its folder last, and only while it is still the item copied.
std::expected<std::filesystem::path, FileError> placeByCopy(const Trash::Held& trash, int parentFd,
                                                            const ItemLocation& item) {
    struct stat before {};
    if (::fstatat(parentFd, item.name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0) return failure(errno, item.path);
    auto copy = StagedCopy::make(parentFd, item.name.c_str(), item.path, trash.files.get(),
                                 FileManager::joinedPath(trash.path, "files"));
    if (!copy) return std::unexpected(copy.error());
    auto placed = place(trash, copy->folder(), item, item.path, &copy->name());
    if (!placed) return placed;
    copy->published();
    struct stat after {};
    // Changed meanwhile: the copy stays in the Trash and the source where it is, so nothing is lost.
    if (::fstatat(parentFd, item.name.c_str(), &after, AT_SYMLINK_NOFOLLOW) != 0 || after.st_dev != before.st_dev ||
        after.st_ino != before.st_ino) {
        return failure(EAGAIN, item.path);
    }
    if (auto removed = removeEntryAt(parentFd, item.name.c_str(), item.path); !removed) {
        return std::unexpected(removed.error());
    }
    return placed;
}

// The mount point of the file system on `device` that holds `folder` (a resolved path).
std::string mountPointOf(std::string folder, dev_t device) {
    for (;;) {
        if (folder == "/") return folder;
        struct statx info {};
        if (::statx(AT_FDCWD, folder.c_str(), AT_NO_AUTOMOUNT, STATX_TYPE, &info) == 0 && isMountRoot(info)) {
            return folder;
        }
        const std::string parent = FileManager::parentPath(folder);
        struct statx above {};
        if (::statx(AT_FDCWD, parent.c_str(), AT_NO_AUTOMOUNT, STATX_TYPE, &above) != 0 || deviceOf(above) != device) {
            return folder;
        }
        folder = parent;
    }
}

// "<top>/.Trash/<uid>" when an administrator made "<top>/.Trash" a real, sticky folder; anything
// less is passed over, as the user's own folder there would be unsafe.
std::optional<Trash::Held> openAdministratorsTrash(int topFd, const std::string& top, Owner owner) {
    FileDescriptor shared(retryOnInterrupt([&] { return ::openat(topFd, ".Trash", folderFlags); }));
    struct stat info {};
    if (!shared || ::fstat(shared.get(), &info) != 0 || (info.st_mode & S_ISVTX) == 0) return std::nullopt;
    const std::string uid = std::to_string(owner.user);
    auto trash = openTrashFolder(shared.get(), uid, FileManager::joinedPath(FileManager::joinedPath(top, ".Trash"), uid), owner, true);
    if (!trash) return std::nullopt;
    return std::move(*trash);
}

std::expected<std::filesystem::path, FileError> moveToTopDirectoryTrash(int parentFd, const ItemLocation& item,
                                                                        dev_t device, Owner owner, std::string_view session) {
    const std::string resolvedParent = FileManager::defaultManager().resolvingSymlinksInPath(item.parent);
    const std::string top = mountPointOf(resolvedParent, device);
    FileDescriptor topFd(retryOnInterrupt([&] { return ::open(top.c_str(), folderFlags); }));
    if (!topFd) return failure(errno, top);
    struct stat topInfo {};
    if (::fstat(topFd.get(), &topInfo) != 0) return failure(errno, top);
    if (topInfo.st_dev != device) return failure(EXDEV, item.path);

    auto trash = openAdministratorsTrash(topFd.get(), top, owner);
    if (!trash) {
        const std::string name = ".Trash-" + std::to_string(owner.user);
        auto own = openTrashFolder(topFd.get(), name, FileManager::joinedPath(top, name), owner, true);
        if (!own) return std::unexpected(own.error());
        trash = std::move(*own);
    }
    trash->topDirectory = top;
    const std::string original = FileManager::joinedPath(resolvedParent, item.name);
    const std::string relative = top == "/" ? original.substr(1) : original.substr(top.size() + 1);
    return place(*trash, parentFd, item, relative, nullptr, session);
}

// The data folder of the current user, created (mode 0700) when missing.
std::expected<FileDescriptor, FileError> openDataHome(const std::string& path) {
    FileDescriptor fd(retryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (fd || errno != ENOENT) {
        if (!fd) return failure(errno, path);
        return fd;
    }
    for (std::size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        const std::string prefix = slash == std::string::npos ? path : path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return failure(errno, prefix);
        if (slash == std::string::npos) break;
    }
    fd.reset(retryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!fd) return failure(errno, path);
    return fd;
}

// The device the home Trash lives on: its data folder's, or the home folder's when that data
// folder is still to be made.
std::optional<dev_t> homeTrashDevice(const std::string& dataHome, const std::filesystem::path& home) {
    struct stat info {};
    if (::stat(dataHome.c_str(), &info) == 0) return info.st_dev;
    if (::stat(home.c_str(), &info) == 0) return info.st_dev;
    return std::nullopt;
}

// The home Trash stays open between calls: most runs trash thousands of items into it, and opening
// its folders for each would cost more than the move. It is reused only while the folders at its
// path are still the very ones held.
struct HomeTrashCache {
    std::mutex mutex;
    std::string dataHome;
    uid_t user = 0;
    std::shared_ptr<const Trash::Held> held;
    struct stat files {};
    struct stat info {};
};

HomeTrashCache& homeTrashCache() {
    static HomeTrashCache cache;
    return cache;
}

bool sameFolder(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool isStill(const std::string& path, const struct stat& held) {
    struct stat now {};
    return ::fstatat(AT_FDCWD, path.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFolder(now, held);
}

std::shared_ptr<const Trash::Held> reuseHomeTrash(const std::string& dataHome, uid_t user, dev_t device) {
    auto& cache = homeTrashCache();
    std::shared_ptr<const Trash::Held> held;
    struct stat files {};
    struct stat info {};
    {
        const std::lock_guard lock(cache.mutex);
        if (!cache.held || cache.dataHome != dataHome || cache.user != user || cache.files.st_dev != device) {
            return nullptr;
        }
        held = cache.held;
        files = cache.files;
        info = cache.info;
    }
    if (!isStill(FileManager::joinedPath(held->path, "files"), files) || !isStill(FileManager::joinedPath(held->path, "info"), info)) return nullptr;
    return held;
}

void rememberHomeTrash(const std::string& dataHome, uid_t user, std::shared_ptr<const Trash::Held> held) {
    struct stat files {};
    struct stat info {};
    if (::fstat(held->files.get(), &files) != 0 || ::fstat(held->info.get(), &info) != 0) return;
    auto& cache = homeTrashCache();
    const std::lock_guard lock(cache.mutex);
    cache.dataHome = dataHome;
    cache.user = user;
    cache.held = std::move(held);
    cache.files = files;
    cache.info = info;
}

// The home Trash of `owner` when `device` is its file system: the one held from an earlier call,
// or opened (and made) now. Nothing when the item lives elsewhere.
std::expected<std::shared_ptr<const Trash::Held>, FileError> homeTrashFor(const std::string& dataHome,
                                                                         const std::filesystem::path& home,
                                                                         dev_t device, Owner owner) {
    if (auto held = reuseHomeTrash(dataHome, owner.user, device)) return held;
    if (homeTrashDevice(dataHome, home) != device) return nullptr;
    auto dataFd = openDataHome(dataHome);
    if (!dataFd) return std::unexpected(dataFd.error());
    auto trash = openTrashFolder(dataFd->get(), "Trash", FileManager::joinedPath(dataHome, "Trash"), owner, true);
    if (!trash) return std::unexpected(trash.error());
    auto held = std::make_shared<const Trash::Held>(std::move(*trash));
    rememberHomeTrash(dataHome, owner.user, held);
    return held;
}

std::optional<gid_t> groupOf(uid_t user) {
    if (user == ::geteuid()) return ::getegid();
    if (const auto found = Trash::account(user)) return found->group;
    return std::nullopt;
}

bool isDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::vector<std::string_view> componentsOf(std::string_view path) {
    std::vector<std::string_view> components;
    std::size_t start = 0;
    while (start <= path.size()) {
        auto slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        if (slash > start) components.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return components;
}

std::string dataHomeOf(const std::filesystem::path& home) {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/') {
        return FileManager::absoluteStandardizedPath(data);
    }
    return FileManager::joinedPath(home.native(), ".local/share");
}

}  // namespace

std::string Trash::numberedName(std::string_view name, unsigned number, std::size_t limit) {
    const auto period = name.rfind('.');
    const bool hasExtension = period != std::string_view::npos && period != 0;
    std::string_view base = hasExtension ? name.substr(0, period) : name;
    const std::string_view extension = hasExtension ? name.substr(period + 1) : std::string_view{};
    std::string suffix = " " + std::to_string(number);
    if (!extension.empty()) suffix.append(".").append(extension);
    if (base.size() + suffix.size() > limit) {
        std::size_t keep = suffix.size() < limit ? limit - suffix.size() : 0;
        // Back up to the start of a UTF-8 sequence so the cut never splits a character.
        while (keep > 0 && keep < base.size() && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80) --keep;
        base = base.substr(0, keep);
    }
    std::string result(base);
    result.append(suffix);
    if (result.size() > limit) result.resize(limit);
    return result;
}

std::filesystem::path Trash::homeTrash(const std::filesystem::path& home) { return FileManager::joinedPath(dataHomeOf(home), "Trash"); }

std::expected<std::filesystem::path, FileError> Trash::moveToTrash(const std::filesystem::path& item,
                                                                   const std::filesystem::path& home, uid_t user,
                                                                   std::string_view session) {
    const auto location = locate(item);
    if (!location) return failure(EBUSY, item.native());
    FileDescriptor parentFd(retryOnInterrupt([&] { return ::open(location->parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!parentFd) return failure(errno, location->path);
    return moveToTrash(parentFd.get(), item, home, user, session);
}

std::expected<std::filesystem::path, FileError> Trash::moveToTrash(int parentFd, const std::filesystem::path& item,
                                                                   const std::filesystem::path& home, uid_t user,
                                                                   std::string_view session) {
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
    const auto group = groupOf(user);
    if (!group) return failure(ENOENT, homeTrash(home).native());
    const Owner owner{user, *group};

    const auto trash = homeTrashFor(dataHomeOf(home), home, device, owner);
    if (!trash) return std::unexpected(trash.error());
    if (*trash) {
        auto moved = place(**trash, parentFd, *location, location->path, nullptr, session);
        // The same device can still be another mount (a bind mount), which a rename cannot leave.
        if (moved || moved.error().underlyingPosixCode != EXDEV) return moved;
    }
    return moveToTopDirectoryTrash(parentFd, *location, device, owner, session);
}

bool Trash::holdsTrashedItems(std::string_view folder) {
    // The cheap test first: almost no folder has a Trash anywhere in its path.
    if (folder.find("Trash") == std::string_view::npos) return false;
    const auto parts = componentsOf(folder);
    for (std::size_t index = 0; index < parts.size(); ++index) {
        const auto part = parts[index];
        if (part == ".Trash" || part == ".Trashes") return true;
        const bool followedByFiles = index + 1 < parts.size() && parts[index + 1] == "files";
        if (!followedByFiles) continue;
        if (part.starts_with(".Trash-") && isDigits(part.substr(7))) return true;
        if (part == "Trash" && index >= 2 && parts[index - 2] == ".local" && parts[index - 1] == "share") return true;
    }
    // A data folder of the user's own choosing.
    const std::string homeFiles = FileManager::joinedPath(homeTrash(FileManager::defaultManager().homeDirectoryForCurrentUser()), "files");
    return folder == homeFiles || (folder.starts_with(homeFiles) && folder[homeFiles.size()] == '/');
}

bool Trash::forgetInfo(const std::filesystem::path& trashedItem) {
    const auto location = locate(trashedItem);
    if (!location || !location->parent.ends_with("/files") || !holdsTrashedItems(location->parent)) return false;
    const std::string trash = FileManager::parentPath(location->parent);
    FileDescriptor trashFd(retryOnInterrupt([&] { return ::open(trash.c_str(), folderFlags); }));
    if (!trashFd) return false;
    FileDescriptor infoFd(retryOnInterrupt([&] { return ::openat(trashFd.get(), "info", folderFlags); }));
    struct stat files {};
    struct stat info {};
    if (!infoFd || ::fstatat(trashFd.get(), "files", &files, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::fstat(infoFd.get(), &info) != 0 || info.st_uid != files.st_uid) {
        return false;
    }
    const std::string name = TrashInfo::fileName(location->name);
    struct stat entry {};
    if (::fstatat(infoFd.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(entry.st_mode)) return false;
    return ::unlinkat(infoFd.get(), name.c_str(), 0) == 0;
}

// MARK: Acting for another user

std::optional<Trash::Account> Trash::account(uid_t user) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    while (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (!found || !found->pw_dir || found->pw_dir[0] != '/') return std::nullopt;
    return Account{found->pw_uid, found->pw_gid, found->pw_dir};
}

namespace {

// The home folder itself must be the user's: a link there is followed only when root made it (the
// user database's own places), and the folder reached must belong to the user.
std::expected<FileDescriptor, FileError> openHome(const Trash::Account& account) {
    struct stat entry {};
    if (::lstat(account.home.c_str(), &entry) != 0) return failure(errno, account.home);
    FileDescriptor homeFd(retryOnInterrupt([&] { return ::open(account.home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!homeFd) return failure(errno, account.home);
    struct stat home {};
    if (::fstat(homeFd.get(), &home) != 0) return failure(errno, account.home);
    if ((S_ISLNK(entry.st_mode) && entry.st_uid != 0) || home.st_uid != account.user) {
        return Failure(FileError::make(FileError::cocoaDomain, FileError::writeUnknown,
                                       "The home folder \u201C" + account.home + "\u201D is not a folder that belongs to the user " +
                                           std::to_string(account.user) + "."));
    }
    return homeFd;
}

std::expected<Trash::Held, FileError> walkToUserTrash(const Trash::Account& account, bool create) {
    auto homeFd = openHome(account);
    if (!homeFd) return std::unexpected(homeFd.error());
    const Owner owner{account.user, account.group};
    FileDescriptor folder = std::move(*homeFd);
    std::string path = account.home;
    for (const char* name : {".local", "share"}) {
        path = FileManager::joinedPath(path, name);
        auto next = openOwnedFolder(folder.get(), name, path, owner, create);
        if (!next) return std::unexpected(next.error());
        folder = std::move(*next);
    }
    return openTrashFolder(folder.get(), "Trash", FileManager::joinedPath(path, "Trash"), owner, create);
}

Failure noAccount(uid_t user) {
    return Failure(FileError::make(FileError::cocoaDomain, FileError::readNoSuchFile,
                                   "The user " + std::to_string(user) + " has no home folder in the user database."));
}

}  // namespace

std::expected<Trash::Held, FileError> Trash::openUserTrash(const Account& account) {
    return walkToUserTrash(account, false);
}

std::expected<Trash::Held, FileError> Trash::openUserTrash(uid_t user) {
    const auto found = account(user);
    if (!found) return noAccount(user);
    return openUserTrash(*found);
}

std::expected<void, FileError> Trash::prepareUserTrash(const Account& account) {
    auto trash = walkToUserTrash(account, true);
    if (!trash) return std::unexpected(trash.error());
    return {};
}

std::expected<void, FileError> Trash::prepareUserTrash(uid_t user) {
    const auto found = account(user);
    if (!found) return noAccount(user);
    return prepareUserTrash(*found);
}

std::expected<std::filesystem::path, FileError> Trash::moveIntoTrash(const Held& trash, int parentFd,
                                                                     const std::filesystem::path& item) {
    const auto location = locate(item);
    if (!location) return failure(EBUSY, item.native());
    auto moved = place(trash, parentFd, *location, location->path);
    if (moved || moved.error().underlyingPosixCode != EXDEV) return moved;
    return placeByCopy(trash, parentFd, *location);
}

}  // namespace vornelo::platform

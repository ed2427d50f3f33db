#include "Platform/Files/FileManager.h"

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/HeldItem.h"
#include "Platform/Files/TreeWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <deque>
#include <limits>

namespace vornelo::platform {

namespace {

std::vector<std::string_view> splitComponents(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto slash = path.find('/', start);
        const auto end = slash == std::string_view::npos ? path.size() : slash;
        if (end > start) parts.push_back(path.substr(start, end - start));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return parts;
}

// The kernel follows every link of an existing path in one open; /proc then names what it
// reached. Nothing when the path is missing or /proc cannot say.
std::optional<std::string> resolvedByKernel(const std::string& path) {
    FileDescriptor fd(retryOnInterrupt([&] { return ::open(path.c_str(), O_PATH | O_CLOEXEC); }));
    if (!fd) return std::nullopt;
    const std::string link = "/proc/self/fd/" + std::to_string(fd.get());
    char real[PATH_MAX];
    const auto length = ::readlink(link.c_str(), real, sizeof real);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof real || real[0] != '/') return std::nullopt;
    std::string resolved(real, static_cast<std::size_t>(length));
    // What was removed after the open is named with this suffix; realpath decides then.
    if (resolved.ends_with(" (deleted)")) return std::nullopt;
    return resolved;
}

FileAttributes attributesFromStat(const struct stat& info) {
    FileAttributes attributes;
    if (S_ISREG(info.st_mode)) {
        attributes.type = FileType::regular;
    } else if (S_ISDIR(info.st_mode)) {
        attributes.type = FileType::directory;
    } else if (S_ISLNK(info.st_mode)) {
        attributes.type = FileType::symbolicLink;
    }
    attributes.owner = info.st_uid;
    attributes.group = info.st_gid;
    attributes.permissions = info.st_mode & 07777;
    attributes.size = info.st_size;
    attributes.allocatedSize = static_cast<std::int64_t>(info.st_blocks) * 512;
    attributes.fileNumber = info.st_ino;
    attributes.device = info.st_dev;
    attributes.modificationDate = TimePoint{std::chrono::seconds{info.st_mtim.tv_sec} +
                                            std::chrono::nanoseconds{info.st_mtim.tv_nsec}};
    return attributes;
}

std::optional<std::string> passwordHome(uid_t user) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    while (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (!found || !found->pw_dir) return std::nullopt;
    return std::string(found->pw_dir);
}

std::optional<std::string> passwordHome(const std::string& name) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    while (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (!found || !found->pw_dir) return std::nullopt;
    return std::string(found->pw_dir);
}

bool isDirectoryEntry(int folderFd, const struct dirent& entry, std::optional<bool>& isDirectory) {
    if (entry.d_type != DT_UNKNOWN) {
        isDirectory = entry.d_type == DT_DIR;
        return true;
    }
    struct stat info {};
    if (::fstatat(folderFd, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        isDirectory.reset();
        return false;
    }
    isDirectory = S_ISDIR(info.st_mode);
    return true;
}

template <typename Visit>
std::expected<void, FileError> forEachEntry(const std::filesystem::path& folder, Visit visit) {
    // Listing a folder to judge it must not make it look used; O_NOATIME is refused (EPERM) on a
    // folder the caller may not act for, which is then opened plainly.
    FileDescriptor fd(retryOnInterrupt([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOATIME); }));
    if (!fd && errno == EPERM) fd = FileDescriptor(retryOnInterrupt([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!fd) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, folder.native()));
    DIR* directory = ::fdopendir(fd.get());
    if (!directory) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, folder.native()));
    fd.release();
    const int folderFd = ::dirfd(directory);
    for (;;) {
        errno = 0;
        const struct dirent* entry = ::readdir(directory);
        if (!entry) break;
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        visit(folderFd, *entry);
    }
    const int readError = errno;
    ::closedir(directory);
    if (readError != 0) return std::unexpected(FileError::fromErrno(readError, FileOperation::read, folder.native()));
    return {};
}

}  // namespace

FileManager& FileManager::defaultManager() {
    static FileManager manager;
    return manager;
}

std::string FileManager::joinedPath(const std::string& folder, std::string_view name) {
    std::string joined = folder;
    if (joined.empty() || joined.back() != '/') joined.push_back('/');
    joined.append(name);
    return joined;
}

std::string FileManager::parentPath(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

std::string FileManager::standardizedPath(std::string_view path) {
    if (path.empty()) return {};
    const bool absolute = path.front() == '/';
    std::vector<std::string_view> kept;
    for (const auto part : splitComponents(path)) {
        if (part == ".") continue;
        if (part == "..") {
            if (!kept.empty() && kept.back() != "..") {
                kept.pop_back();
            } else if (!absolute) {
                kept.push_back(part);
            }
            continue;
        }
        kept.push_back(part);
    }
    std::string result = absolute ? "/" : "";
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) result.push_back('/');
        result.append(kept[i]);
    }
    if (result.empty()) return ".";
    return result;
}

std::string FileManager::absoluteStandardizedPath(std::string_view path) {
    if (!path.empty() && path.front() == '/') return standardizedPath(path);
    std::error_code error;
    const auto current = std::filesystem::current_path(error);
    const std::string base = error ? std::string("/") : current.native();
    return standardizedPath(path.empty() ? base : FileManager::joinedPath(base, path));
}

std::string FileManager::resolvingSymlinksInPath(std::string_view path) const {
    const std::string start = absoluteStandardizedPath(path);
    // The common case, a path that exists, costs three system calls however deep it is (realpath
    // reads every component); the walk below is for paths with a missing tail or a loop.
    if (auto resolved = resolvedByKernel(start)) return std::move(*resolved);
    char real[PATH_MAX];
    if (::realpath(start.c_str(), real)) return real;
    std::deque<std::string> pending;
    for (const auto part : splitComponents(start)) pending.emplace_back(part);
    std::string resolved = "/";
    int linksFollowed = 0;
    constexpr int maxLinks = 40;
    while (!pending.empty()) {
        std::string part = std::move(pending.front());
        pending.pop_front();
        if (part == ".") continue;
        if (part == "..") {
            resolved = FileManager::parentPath(resolved);
            continue;
        }
        const std::string candidate = FileManager::joinedPath(resolved, part);
        struct stat info {};
        if (::lstat(candidate.c_str(), &info) != 0 || !S_ISLNK(info.st_mode) || linksFollowed >= maxLinks) {
            resolved = candidate;
            continue;
        }
        std::string target(static_cast<std::size_t>(PATH_MAX), '\0');
        const auto length = ::readlink(candidate.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            resolved = candidate;
            continue;
        }
        target.resize(static_cast<std::size_t>(length));
        ++linksFollowed;
        if (target.front() == '/') resolved.assign(1, '/');
        const auto targetParts = splitComponents(target);
        for (auto it = targetParts.rbegin(); it != targetParts.rend(); ++it) pending.emplace_front(*it);
    }
    return standardizedPath(resolved);
}

std::string FileManager::homeDirectoryForCurrentUser() const {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
        return standardizedPath(home);
    }
    return passwordHome(::getuid()).value_or("/");
}

std::optional<std::string> FileManager::homeDirectory(uid_t user) const { return passwordHome(user); }

std::string FileManager::expandingTildeInPath(std::string_view path) const {
    if (path.empty() || path.front() != '~') return std::string(path);
    const auto slash = path.find('/');
    const std::string_view user = path.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1);
    const std::string_view rest = slash == std::string_view::npos ? std::string_view{} : path.substr(slash);
    const auto home = user.empty() ? std::optional(homeDirectoryForCurrentUser()) : passwordHome(std::string(user));
    if (!home) return std::string(path);
    std::string expanded = *home;
    if (!expanded.empty() && expanded.back() == '/' && !rest.empty()) expanded.pop_back();
    expanded.append(rest);
    return expanded;
}

std::string FileManager::temporaryDirectory() const {
    if (const char* tmp = std::getenv("TMPDIR"); tmp && tmp[0] == '/') return standardizedPath(tmp);
    return "/tmp";
}

std::expected<std::vector<DirectoryEntry>, FileError> FileManager::contentsOfDirectory(
    const std::filesystem::path& folder) const {
    std::vector<DirectoryEntry> entries;
    auto listed = forEachEntry(folder, [&](int folderFd, const struct dirent& entry) {
        DirectoryEntry item{folder / entry.d_name, std::nullopt};
        isDirectoryEntry(folderFd, entry, item.isDirectory);
        entries.push_back(std::move(item));
    });
    if (!listed) return std::unexpected(listed.error());
    return entries;
}

std::expected<std::vector<std::string>, FileError> FileManager::contentsOfDirectoryAtPath(
    const std::filesystem::path& folder) const {
    std::vector<std::string> names;
    auto listed = forEachEntry(folder, [&](int, const struct dirent& entry) { names.emplace_back(entry.d_name); });
    if (!listed) return std::unexpected(listed.error());
    return names;
}

std::expected<FileAttributes, FileError> FileManager::attributesOfItem(const std::filesystem::path& path) const {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path.native()));
    }
    return attributesFromStat(info);
}

bool FileManager::fileExists(const std::filesystem::path& path) const {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::expected<void, FileError> FileManager::createDirectory(const std::filesystem::path& path, bool intermediates,
                                                            mode_t mode) const {
    if (intermediates) {
        const auto parent = path.parent_path();
        if (!parent.empty() && parent != path && !fileExists(parent)) {
            if (auto made = createDirectory(parent, true, mode); !made) return made;
        }
    }
    if (::mkdir(path.c_str(), mode) == 0) return {};
    const int error = errno;
    struct stat info {};
    if (error == EEXIST && intermediates && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return {};
    return std::unexpected(FileError::fromErrno(error, FileOperation::write, path.native()));
}

std::expected<std::vector<std::uint8_t>, FileError> FileManager::contentsOfFile(const std::filesystem::path& path,
                                                                                 std::size_t maxBytes) const {
    // Non-blocking so that a FIFO planted at the path is refused below instead of hanging us.
    FileDescriptor fd(retryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
    if (!fd) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path.native()));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path.native()));
    if (!S_ISREG(info.st_mode)) return std::unexpected(FileError::fromErrno(EINVAL, FileOperation::read, path.native()));
    if (static_cast<std::uint64_t>(info.st_size) > maxBytes) {
        return std::unexpected(FileError::fromErrno(EFBIG, FileOperation::read, path.native()));
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    std::uint8_t chunk[65536];
    for (;;) {
        const auto got = retryOnInterrupt([&] { return ::read(fd.get(), chunk, sizeof chunk); });
        if (got < 0) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path.native()));
        if (got == 0) break;
        if (bytes.size() + static_cast<std::size_t>(got) > maxBytes) {
            return std::unexpected(FileError::fromErrno(EFBIG, FileOperation::read, path.native()));
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

std::expected<void, FileError> FileManager::writeAtomically(const std::filesystem::path& path,
                                                            std::span<const std::uint8_t> bytes,
                                                            AtomicWriteOptions options) const {
    const auto folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::string temporary = (folder / ("." + path.filename().native() + ".XXXXXX")).native();
    FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) return std::unexpected(FileError::fromErrno(errno, FileOperation::write, path.native()));
    auto fail = [&](int error) {
        ::unlink(temporary.c_str());
        return std::unexpected(FileError::fromErrno(error, FileOperation::write, path.native()));
    };
    std::size_t written = 0;
    while (written < bytes.size()) {
        const auto put = retryOnInterrupt([&] { return ::write(fd.get(), bytes.data() + written, bytes.size() - written); });
        if (put < 0) return fail(errno);
        written += static_cast<std::size_t>(put);
    }
    if (::fchmod(fd.get(), options.mode) != 0) return fail(errno);
    if (options.synchronize && ::fsync(fd.get()) != 0) return fail(errno);
    if (::close(fd.release()) != 0) return fail(errno);
    if (::rename(temporary.c_str(), path.c_str()) != 0) return fail(errno);
    return {};
}

std::expected<void, FileError> FileManager::tryOpeningForReading(const std::filesystem::path& path) const {
    FileDescriptor fd(retryOnInterrupt(
        [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); }));
    if (!fd) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path.native()));
    return {};
}

std::expected<TreeWalkEnd, FileError> FileManager::walkTree(const std::filesystem::path& start,
                                                            const TreeWalkVisitor& visitor) const {
    return platform::walkTree(start, visitor);
}

bool FileManager::fileExistsFollowingLinks(const std::filesystem::path& path) const {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::expected<HeldItem, FileError> FileManager::holdItem(const std::filesystem::path& item) const {
    return HeldItem::hold(item.native(), LinkRule::ownedByRootOrUser);
}

std::expected<HeldItem, FileError> FileManager::holdItem(const std::filesystem::path& item,
                                                         std::optional<HeldFolder>& folder) const {
    return HeldItem::hold(item.native(), LinkRule::ownedByRootOrUser, folder);
}

uid_t FileManager::realUserID() const { return ::getuid(); }

std::expected<void, FileError> FileManager::renameItem(const std::filesystem::path& from,
                                                       const std::filesystem::path& to) const {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        return std::unexpected(FileError::fromErrno(errno, FileOperation::write, from.native()));
    }
    return {};
}

std::expected<void, FileError> FileManager::removeFile(const std::filesystem::path& path) const {
    if (::unlink(path.c_str()) != 0) return std::unexpected(FileError::fromErrno(errno, FileOperation::write, path.native()));
    return {};
}

std::expected<void, FileError> FileManager::removeEmptyDirectory(const std::filesystem::path& path) const {
    if (::rmdir(path.c_str()) != 0) return std::unexpected(FileError::fromErrno(errno, FileOperation::write, path.native()));
    return {};
}

}  // namespace vornelo::platform

// Moves that never replace: one renameat2(RENAME_NOREPLACE) on the same file system; across file
// systems a full copy under a temporary name, a non-replacing rename into place, then removal of
// the source.

#include "Platform/DirectoryStream.h"
#include "Platform/FileDescriptor.h"
#include "Platform/FileManager.h"
#include "Platform/FileTree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <optional>
#include <vector>

namespace vornelo::platform {

namespace {

using Failure = std::unexpected<FileError>;

Failure failure(int error, const std::string& path) { return Failure(FileError::fromErrno(error, FileOperation::write, path)); }

std::string join(const std::string& folder, std::string_view name) {
    std::string joined = folder;
    if (joined.empty() || joined.back() != '/') joined.push_back('/');
    joined.append(name);
    return joined;
}

bool ignorableMetadataError(int error) {
    return error == EPERM || error == ENOTSUP || error == EACCES || error == EINVAL || error == ENODATA ||
           error == ERANGE;
}

// Extended attributes the process cannot set (security.*, trusted.* as a user, or none at all on
// the target file system) are left behind; everything else travels.
void copyExtendedAttributes(int source, int target) {
    std::vector<char> names(4096);
    ssize_t listed = 0;
    for (;;) {
        listed = ::flistxattr(source, names.data(), names.size());
        if (listed >= 0 || errno != ERANGE || names.size() >= (1u << 20)) break;
        names.resize(names.size() * 4);
    }
    if (listed <= 0) return;
    std::vector<char> value(4096);
    for (std::size_t start = 0; start < static_cast<std::size_t>(listed);) {
        const char* name = names.data() + start;
        start += std::char_traits<char>::length(name) + 1;
        ssize_t got = ::fgetxattr(source, name, value.data(), value.size());
        if (got < 0 && errno == ERANGE) {
            const ssize_t needed = ::fgetxattr(source, name, nullptr, 0);
            if (needed <= 0 || needed > (1 << 24)) continue;
            value.resize(static_cast<std::size_t>(needed));
            got = ::fgetxattr(source, name, value.data(), value.size());
        }
        if (got < 0) continue;
        (void)::fsetxattr(target, name, value.data(), static_cast<std::size_t>(got), 0);
    }
}

std::optional<int> applyTimes(int target, const struct stat& info) {
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    if (::futimens(target, times) != 0) return errno;
    return std::nullopt;
}

std::optional<int> copyContents(int source, int target) {
    for (;;) {
        const ssize_t copied = retryOnInterrupt([&] { return ::copy_file_range(source, nullptr, target, nullptr, 1 << 30, 0); });
        if (copied == 0) return std::nullopt;
        if (copied > 0) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) break;
        return errno;
    }
    std::vector<char> buffer(1 << 17);
    for (;;) {
        const ssize_t got = retryOnInterrupt([&] { return ::read(source, buffer.data(), buffer.size()); });
        if (got < 0) return errno;
        if (got == 0) return std::nullopt;
        for (ssize_t written = 0; written < got;) {
            const ssize_t put = retryOnInterrupt([&] {
                return ::write(target, buffer.data() + written, static_cast<std::size_t>(got - written));
            });
            if (put < 0) return errno;
            written += put;
        }
    }
}

class Copier {
public:
    // Returns the errno of the first failure and the path it concerns.
    struct Problem {
        int error;
        std::string path;
    };

    std::optional<Problem> copy(int sourceParent, const char* sourceName, const std::string& sourcePath, int targetParent,
                                const char* targetName, const std::string& targetPath) {
        struct stat info {};
        if (::fstatat(sourceParent, sourceName, &info, AT_SYMLINK_NOFOLLOW) != 0) return Problem{errno, sourcePath};
        if (S_ISDIR(info.st_mode)) return copyFolder(sourceParent, sourceName, sourcePath, info, targetParent, targetName, targetPath);
        if (S_ISREG(info.st_mode)) return copyFile(sourceParent, sourceName, sourcePath, info, targetParent, targetName, targetPath);
        if (S_ISLNK(info.st_mode)) return copyLink(sourceParent, sourceName, sourcePath, info, targetParent, targetName, targetPath);
        if (::mknodat(targetParent, targetName, info.st_mode, info.st_rdev) != 0) return Problem{errno, targetPath};
        return finishNodeMetadata(targetParent, targetName, info, targetPath);
    }

private:
    std::optional<Problem> copyFile(int sourceParent, const char* sourceName, const std::string& sourcePath,
                                    const struct stat& info, int targetParent, const char* targetName,
                                    const std::string& targetPath) {
        FileDescriptor source(retryOnInterrupt([&] { return ::openat(sourceParent, sourceName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK); }));
        if (!source) return Problem{errno, sourcePath};
        struct stat opened {};
        if (::fstat(source.get(), &opened) != 0) return Problem{errno, sourcePath};
        if (!S_ISREG(opened.st_mode) || opened.st_ino != info.st_ino) return Problem{EAGAIN, sourcePath};
        FileDescriptor target(retryOnInterrupt([&] {
            return ::openat(targetParent, targetName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        }));
        if (!target) return Problem{errno, targetPath};
        if (auto error = copyContents(source.get(), target.get())) return Problem{*error, targetPath};
        return finishMetadata(source.get(), target.get(), opened, targetPath);
    }

    // Links and special files cannot be opened, so their owner and times are set by name.
    std::optional<Problem> finishNodeMetadata(int targetParent, const char* targetName, const struct stat& info,
                                              const std::string& targetPath) {
        if (::fchownat(targetParent, targetName, info.st_uid, info.st_gid, AT_SYMLINK_NOFOLLOW) != 0 &&
            !ignorableMetadataError(errno)) {
            return Problem{errno, targetPath};
        }
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        (void)::utimensat(targetParent, targetName, times, AT_SYMLINK_NOFOLLOW);
        return std::nullopt;
    }

    // Owner first (changing it clears set-id bits), then mode and attributes, and the times last:
    // every other change, and writing into a folder, moves them.
    std::optional<Problem> finishMetadata(int source, int target, const struct stat& info, const std::string& targetPath) {
        if (::fchown(target, info.st_uid, info.st_gid) != 0 && !ignorableMetadataError(errno)) return Problem{errno, targetPath};
        if (::fchmod(target, info.st_mode & 07777) != 0) return Problem{errno, targetPath};
        copyExtendedAttributes(source, target);
        if (auto error = applyTimes(target, info)) return Problem{*error, targetPath};
        return std::nullopt;
    }

    std::optional<Problem> copyLink(int sourceParent, const char* sourceName, const std::string& sourcePath,
                                    const struct stat& info, int targetParent, const char* targetName,
                                    const std::string& targetPath) {
        std::string destination(PATH_MAX, '\0');
        const ssize_t length = ::readlinkat(sourceParent, sourceName, destination.data(), destination.size());
        if (length < 0) return Problem{errno, sourcePath};
        if (static_cast<std::size_t>(length) >= destination.size()) return Problem{ENAMETOOLONG, sourcePath};
        destination.resize(static_cast<std::size_t>(length));
        if (::symlinkat(destination.c_str(), targetParent, targetName) != 0) return Problem{errno, targetPath};
        return finishNodeMetadata(targetParent, targetName, info, targetPath);
    }

    std::optional<Problem> copyFolder(int sourceParent, const char* sourceName, const std::string& sourcePath,
                                      const struct stat& info, int targetParent, const char* targetName,
                                      const std::string& targetPath) {
        FileDescriptor source(retryOnInterrupt([&] { return ::openat(sourceParent, sourceName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
        if (!source) return Problem{errno, sourcePath};
        struct stat opened {};
        if (::fstat(source.get(), &opened) != 0) return Problem{errno, sourcePath};
        if (opened.st_ino != info.st_ino || opened.st_dev != info.st_dev) return Problem{EAGAIN, sourcePath};
        if (device_ && *device_ != opened.st_dev) return Problem{EBUSY, sourcePath};
        if (!device_) device_ = opened.st_dev;
        // Private until its contents are in, whatever mode it ends with.
        if (::mkdirat(targetParent, targetName, 0700) != 0) return Problem{errno, targetPath};
        FileDescriptor target(retryOnInterrupt([&] { return ::openat(targetParent, targetName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
        if (!target) return Problem{errno, targetPath};
        std::vector<char> buffer;
        DirectoryStream stream(source.get(), buffer);
        DirectoryStreamEntry entry{};
        for (;;) {
            const auto step = stream.next(entry);
            if (step == DirectoryStream::Step::end) break;
            if (step == DirectoryStream::Step::error) return Problem{stream.error(), sourcePath};
            if (auto problem = copy(source.get(), entry.name.data(), join(sourcePath, entry.name), target.get(),
                                    entry.name.data(), join(targetPath, entry.name))) {
                return problem;
            }
        }
        return finishMetadata(source.get(), target.get(), opened, targetPath);
    }

    std::optional<dev_t> device_;
};

struct Location {
    std::string path;
    std::string parent;
    std::string name;
};

std::optional<Location> locate(const std::filesystem::path& item) {
    const std::string path = FileManager::absoluteStandardizedPath(item.native());
    const auto slash = path.rfind('/');
    if (path == "/" || slash == std::string::npos) return std::nullopt;
    return Location{path, slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

std::string temporaryName() {
    static std::atomic<unsigned> counter{0};
    return ".vornelo-move-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

std::expected<void, FileError> moveAcrossVolumes(const Location& source, const Location& target) {
    FileDescriptor sourceParent(retryOnInterrupt([&] { return ::open(source.parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!sourceParent) return failure(errno, source.path);
    FileDescriptor targetParent(retryOnInterrupt([&] { return ::open(target.parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!targetParent) return failure(errno, target.path);
    struct stat existing {};
    // A taken destination fails now rather than after a long copy; the final rename checks again.
    if (::fstatat(targetParent.get(), target.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) return failure(EEXIST, target.path);

    const std::string temporary = temporaryName();
    const std::string temporaryPath = join(target.parent, temporary);
    // Problems are named after the destination the user asked for, not the temporary name.
    if (auto copied = copyEntryAt(sourceParent.get(), source.name.c_str(), source.path, targetParent.get(),
                                  temporary.c_str(), target.path);
        !copied) {
        return copied;
    }
    if (::renameat2(targetParent.get(), temporary.c_str(), targetParent.get(), target.name.c_str(), RENAME_NOREPLACE) != 0) {
        const int error = errno;
        (void)removeEntryAt(targetParent.get(), temporary.c_str(), temporaryPath);
        return failure(error, target.path);
    }
    // The item is whole at its destination now; a source that cannot be removed is still reported.
    return removeEntryAt(sourceParent.get(), source.name.c_str(), source.path);
}

}  // namespace

std::expected<void, FileError> copyEntryAt(int sourceParentFd, const char* sourceName, const std::string& sourcePath,
                                           int targetParentFd, const char* targetName, const std::string& targetPath) {
    Copier copier;
    if (auto problem = copier.copy(sourceParentFd, sourceName, sourcePath, targetParentFd, targetName, targetPath)) {
        (void)removeEntryAt(targetParentFd, targetName, targetPath);
        return failure(problem->error, problem->path);
    }
    return {};
}

std::expected<void, FileError> FileManager::moveItem(const std::filesystem::path& source,
                                                     const std::filesystem::path& destination) const {
    const auto from = locate(source);
    const auto to = locate(destination);
    if (!from) return failure(EBUSY, source.native());
    if (!to) return failure(EEXIST, destination.native());
    if (::renameat2(AT_FDCWD, from->path.c_str(), AT_FDCWD, to->path.c_str(), RENAME_NOREPLACE) == 0) return {};
    const int error = errno;
    if (error != EXDEV) return failure(error, error == EEXIST || error == ENOTEMPTY ? to->path : from->path);
    return moveAcrossVolumes(*from, *to);
}

}  // namespace vornelo::platform

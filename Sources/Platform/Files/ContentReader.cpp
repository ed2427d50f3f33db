#include "Platform/Files/ContentReader.h"

#include "Platform/Files/TreeWalk.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace vornelo::platform {

namespace {

TimePoint timeOf(const struct timespec& stamp) {
    return TimePoint{std::chrono::duration_cast<TimePoint::duration>(std::chrono::seconds(stamp.tv_sec) +
                                                                     std::chrono::nanoseconds(stamp.tv_nsec))};
}

FileStamp stampOf(const struct stat& info) {
    return FileStamp{info.st_dev, info.st_ino, static_cast<std::int64_t>(info.st_size), timeOf(info.st_mtim),
                     timeOf(info.st_ctim)};
}

// Without openat2 (an old kernel, or a tool that does not know it) the last component still may
// not be a link, and the stamp a caller compares tells any other file apart.
int openBelow(int folder, const char* relative, std::uint64_t flags) {
    open_how how{};
    how.flags = flags | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const int fd = static_cast<int>(retryOnInterrupt([&] { return ::syscall(SYS_openat2, folder, relative, &how, sizeof how); }));
    if (fd >= 0 || errno != ENOSYS) return fd;
    return retryOnInterrupt([&] { return ::openat(folder, relative, static_cast<int>(flags) | O_NOFOLLOW | O_CLOEXEC); });
}

std::string joined(const std::string& folder, std::string_view relative) {
    std::string path = folder;
    if (path.empty() || path.back() != '/') path.push_back('/');
    path.append(relative);
    return path;
}

}  // namespace

FileStamp FileStamp::of(const TreeWalkItem& item) {
    return FileStamp{item.device, item.fileNumber, item.size, item.modificationDate, item.statusChangeDate};
}

std::expected<std::size_t, FileError> ContentReader::read(std::int64_t offset, std::span<std::byte> buffer) const {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const std::size_t wanted = buffer.size() - done;
        const auto got = retryOnInterrupt(
            [&] { return ::pread(fd_.get(), buffer.data() + done, wanted, static_cast<off_t>(offset) + static_cast<off_t>(done)); });
        if (got < 0) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path_));
        if (got == 0) break;  // the end of the file
        done += static_cast<std::size_t>(got);
    }
    return done;
}

std::expected<FileStamp, FileError> ContentReader::currentStamp() const {
    struct stat info {};
    if (::fstat(fd_.get(), &info) != 0) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path_));
    return stampOf(info);
}

std::expected<ContentRoot, FileError> ContentRoot::open(const std::filesystem::path& folder) {
    FileDescriptor fd(retryOnInterrupt([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!fd) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, folder.native()));
    return ContentRoot(std::move(fd), folder.native());
}

namespace {

// O_NOATIME is refused (EPERM) on a file the caller may not act for; it is then opened plainly.
template <typename Open>
int openUnmarked(Open open, std::uint64_t flags) {
    const int fd = open(flags | O_NOATIME);
    if (fd >= 0 || errno != EPERM) return fd;
    return open(flags);
}

}  // namespace

std::expected<ContentReader, FileError> ContentReader::adopt(int opened, std::string path, Access access) {
    FileDescriptor fd(opened);
    if (!fd) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path));
    if (!S_ISREG(info.st_mode)) return std::unexpected(FileError::fromErrno(EINVAL, FileOperation::read, path));
    // Whole reads go start to end, so the kernel may read further ahead; a block or two needs no hint.
    if (access == Access::whole) ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return ContentReader(std::move(fd), stampOf(info), std::move(path));
}

std::expected<ContentReader, FileError> ContentRoot::openFile(std::string_view relative, ContentReader::Access access) const {
    const std::string name(relative);
    const int opened = openUnmarked([&](std::uint64_t flags) { return openBelow(fd_.get(), name.c_str(), flags); },
                                    O_RDONLY | O_NONBLOCK | O_NOCTTY);
    return ContentReader::adopt(opened, joined(path_, relative), access);
}

std::expected<ContentFolder, FileError> ContentRoot::openFolder(std::string_view relative) const {
    const std::string name = relative.empty() ? std::string(".") : std::string(relative);
    FileDescriptor fd(openBelow(fd_.get(), name.c_str(), O_RDONLY | O_DIRECTORY));
    if (!fd) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, joined(path_, relative)));
    return ContentFolder(std::move(fd), relative.empty() ? path_ : joined(path_, relative));
}

std::expected<ContentReader, FileError> ContentFolder::openFile(std::string_view name, ContentReader::Access access) const {
    const std::string component(name);
    if (component.empty() || component.find('/') != std::string::npos || component == "." || component == "..") {
        return std::unexpected(FileError::fromErrno(EINVAL, FileOperation::read, joined(path_, name)));
    }
    const int opened = openUnmarked(
        [&](std::uint64_t flags) {
            return retryOnInterrupt([&] { return ::openat(fd_.get(), component.c_str(), static_cast<int>(flags) | O_NOFOLLOW | O_CLOEXEC); });
        },
        O_RDONLY | O_NONBLOCK | O_NOCTTY);
    return ContentReader::adopt(opened, joined(path_, name), access);
}

}  // namespace vornelo::platform

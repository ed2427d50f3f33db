#include "Platform/Files/RegularFile.h"

#include "Platform/Files/FileReplacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace vornelo::platform {

std::expected<RegularFile, FileError> RegularFile::open(const std::filesystem::path& path, int flags,
                                                        FileOperation operation, bool noLinkOnTheWay) {
    flags |= O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    FileDescriptor fd(noLinkOnTheWay ? openWithoutLinks(AT_FDCWD, path.c_str(), static_cast<std::uint64_t>(flags))
                                     : retryOnInterrupt([&] { return ::open(path.c_str(), flags, 0666); }));
    if (!fd) return std::unexpected(FileError::fromErrno(errno, operation, path.native()));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return std::unexpected(FileError::fromErrno(errno, operation, path.native()));
    if (!S_ISREG(info.st_mode)) {
        return std::unexpected(FileError::fromErrno(S_ISDIR(info.st_mode) ? EISDIR : EINVAL, operation, path.native()));
    }
    return RegularFile(std::move(fd), path, static_cast<std::int64_t>(info.st_size));
}

std::expected<RegularFile, FileError> RegularFile::openForReading(const std::filesystem::path& path) {
    return open(path, O_RDONLY, FileOperation::read);
}

std::expected<RegularFile, FileError> RegularFile::openForAppending(const std::filesystem::path& path) {
    // Readable too, so the caller can look at the bytes already there.
    return open(path, O_RDWR | O_APPEND | O_CREAT, FileOperation::write);
}

std::expected<std::int64_t, FileError> RegularFile::size() const {
    struct stat info {};
    if (::fstat(descriptor_.get(), &info) != 0) {
        return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path_.native()));
    }
    return static_cast<std::int64_t>(info.st_size);
}

std::expected<std::size_t, FileError> RegularFile::read(std::int64_t offset, std::span<char> buffer) const {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const std::size_t wanted = buffer.size() - done;
        const auto got = retryOnInterrupt([&] {
            return ::pread(descriptor_.get(), buffer.data() + done, wanted, static_cast<off_t>(offset) + static_cast<off_t>(done));
        });
        if (got < 0) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path_.native()));
        done += static_cast<std::size_t>(got);
        if (static_cast<std::size_t>(got) < wanted) break;  // the end of a regular file
    }
    return done;
}

std::expected<void, FileError> RegularFile::append(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto put = retryOnInterrupt(
            [&] { return ::write(descriptor_.get(), bytes.data() + done, bytes.size() - done); });
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        const int error = put < 0 ? errno : ENOSPC;
        struct stat info {};
        // Best effort: if even this fails, readers meet an unterminated fragment they can skip.
        if (done > 0 && ::fstat(descriptor_.get(), &info) == 0 && info.st_size >= static_cast<off_t>(done)) {
            [[maybe_unused]] const int cut = ::ftruncate(descriptor_.get(), info.st_size - static_cast<off_t>(done));
        }
        return std::unexpected(FileError::fromErrno(error, FileOperation::write, path_.native()));
    }
    return {};
}

std::expected<std::string, FileError> RegularFile::contents(const std::filesystem::path& path, std::size_t maxBytes) {
    return contents(openForReading(path), maxBytes);
}

std::expected<std::string, FileError> RegularFile::contentsThroughNoLink(const std::filesystem::path& path,
                                                                         std::size_t maxBytes) {
    return contents(open(path, O_RDONLY, FileOperation::read, true), maxBytes);
}

std::expected<std::string, FileError> RegularFile::contents(std::expected<RegularFile, FileError> file, std::size_t maxBytes) {
    if (!file) return std::unexpected(file.error());
    const auto& path = file->path_;
    const auto length = file->sizeWhenOpened();
    if (static_cast<std::uint64_t>(length) > maxBytes) {
        return std::unexpected(FileError::fromErrno(EFBIG, FileOperation::read, path.native()));
    }
    // One byte more than the size, so growth since opening is seen rather than silently cut.
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const auto got = file->read(0, text);
    if (!got) return std::unexpected(got.error());
    if (*got > maxBytes) return std::unexpected(FileError::fromErrno(EFBIG, FileOperation::read, path.native()));
    text.resize(*got);
    return text;
}

std::expected<void, FileError> RegularFile::replaceContents(const std::filesystem::path& path, std::string_view bytes) {
    auto replacement = FileReplacement::begin(path);
    if (!replacement) return std::unexpected(replacement.error());
    if (auto written = replacement->write(bytes); !written) return written;
    return replacement->commit();
}

}  // namespace vornelo::platform

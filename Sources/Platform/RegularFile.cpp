#include "Platform/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace vornelo::platform {

namespace {

// The same name on every call while it is free, so replacing a file again and again does not
// leave a trail of fresh directory entries behind; a counter only when another writer in this
// process holds it. The pid is taken once (a forked child keeps its parent's value), and O_EXCL
// turns any clash into another try.
std::string temporarySuffix(std::uint64_t attempt) {
    static const pid_t process = ::getpid();
    static std::atomic<std::uint64_t> counter{0};
    const auto distinct = attempt == 0 ? std::string() : "-" + std::to_string(counter.fetch_add(1, std::memory_order_relaxed) + 1);
    return std::to_string(process) + distinct + ".tmp";
}

}  // namespace

std::expected<RegularFile, FileError> RegularFile::open(const std::filesystem::path& path, int flags,
                                                        FileOperation operation) {
    FileDescriptor fd(retryOnInterrupt(
        [&] { return ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666); }));
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
    auto file = openForReading(path);
    if (!file) return std::unexpected(file.error());
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
    // "<folder>/.<name>.<suffix>", by plain string work: this runs once per log line.
    const std::string& target = path.native();
    const auto slash = target.rfind('/');
    const std::string prefix = slash == std::string::npos ? "." + target + "."
                                                          : target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".";
    std::string temporary = prefix + temporarySuffix(0);
    const auto create = [&] {
        return retryOnInterrupt(
            [&] { return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666); });
    };
    FileDescriptor fd(create());
    for (std::uint64_t attempt = 1; !fd && errno == EEXIST && attempt <= 3; ++attempt) {
        temporary = prefix + temporarySuffix(attempt);
        fd.reset(create());
    }
    if (!fd) return std::unexpected(FileError::fromErrno(errno, FileOperation::write, path.native()));
    const auto fail = [&](int error) {
        ::unlink(temporary.c_str());
        return std::unexpected(FileError::fromErrno(error, FileOperation::write, path.native()));
    };
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto put = retryOnInterrupt([&] { return ::write(fd.get(), bytes.data() + done, bytes.size() - done); });
        if (put < 0) return fail(errno);
        if (put == 0) return fail(ENOSPC);
        done += static_cast<std::size_t>(put);
    }
    if (::close(fd.release()) != 0) return fail(errno);
    if (::rename(temporary.c_str(), path.c_str()) != 0) return fail(errno);
    return {};
}

}  // namespace vornelo::platform

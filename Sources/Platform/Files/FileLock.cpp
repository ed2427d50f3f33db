#include "Platform/Files/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vornelo::platform {

namespace {

int openLockFile(const std::filesystem::path& path, int flags) {
    return retryOnInterrupt(
        [&] { return ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666); });
}

}  // namespace

FileLock::Hold::~Hold() {
    if (lock_) (void)::flock(lock_->descriptor_.get(), LOCK_UN);
}

std::expected<FileLock, FileError> FileLock::open(const std::filesystem::path& path, bool create) {
    bool writable = true;
    FileDescriptor fd(openLockFile(path, O_RDWR | (create ? O_CREAT : 0)));
    if (!fd && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        writable = false;
        fd.reset(openLockFile(path, O_RDONLY));
    }
    if (!fd) return std::unexpected(FileError::fromErrno(errno, FileOperation::write, path.native()));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return std::unexpected(FileError::fromErrno(errno, FileOperation::write, path.native()));
    if (!S_ISREG(info.st_mode)) {
        return std::unexpected(FileError::fromErrno(S_ISDIR(info.st_mode) ? EISDIR : EINVAL, FileOperation::write, path.native()));
    }
    return FileLock(std::move(fd), path, writable, create);
}

bool FileLock::stillAtPath() const {
    struct stat held {};
    struct stat named {};
    if (::fstat(descriptor_.get(), &held) != 0 || ::lstat(path_.c_str(), &named) != 0) return false;
    return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

std::expected<FileLock::Hold, FileError> FileLock::lock(bool exclusive) {
    // A few rounds: each one that finds the file replaced opens what is there now.
    for (int round = 0; round < 8; ++round) {
        if (retryOnInterrupt([&] { return ::flock(descriptor_.get(), exclusive ? LOCK_EX : LOCK_SH); }) != 0) {
            return std::unexpected(FileError::fromErrno(errno, FileOperation::write, path_.native()));
        }
        if (stillAtPath()) return Hold(this);
        (void)::flock(descriptor_.get(), LOCK_UN);
        auto reopened = open(path_, create_);
        if (!reopened) return std::unexpected(reopened.error());
        *this = std::move(*reopened);
    }
    return std::unexpected(FileError::fromErrno(EAGAIN, FileOperation::write, path_.native()));
}

std::uint64_t FileLock::counter() const {
    std::uint64_t value = 0;
    const auto got = retryOnInterrupt([&] { return ::pread(descriptor_.get(), &value, sizeof value, 0); });
    return got == static_cast<ssize_t>(sizeof value) ? value : 0;
}

std::optional<std::uint64_t> FileLock::advance() {
    if (!writable_) return std::nullopt;
    const std::uint64_t value = counter() + 1;
    const auto put = retryOnInterrupt([&] { return ::pwrite(descriptor_.get(), &value, sizeof value, 0); });
    if (put != static_cast<ssize_t>(sizeof value)) return std::nullopt;
    return value;
}

}  // namespace vornelo::platform

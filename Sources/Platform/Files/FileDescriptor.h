#pragma once
// Owns one file descriptor and closes it once. Every descriptor is opened with O_CLOEXEC.

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace vornelo::platform {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);  // never retried: Linux releases the descriptor even on EINTR
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Retries a system call interrupted by a signal.
template <typename Call>
auto retryOnInterrupt(Call call) {
    for (;;) {
        auto result = call();
        if (result != -1 || errno != EINTR) {
            return result;
        }
    }
}

// Opens `path` (absolute, or relative to `directory`) in one lookup that refuses every symbolic
// link on the way, the last component included: -1 with errno set otherwise (ELOOP for a link,
// ENOSYS on a kernel without openat2). O_CLOEXEC is added to `flags`.
inline int openWithoutLinks(int directory, const char* path, std::uint64_t flags) {
    open_how how{};
    how.flags = flags | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    return static_cast<int>(retryOnInterrupt([&] { return ::syscall(SYS_openat2, directory, path, &how, sizeof how); }));
}

}  // namespace vornelo::platform

#include "Platform/Files/FileReplacement.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace vornelo::platform {

namespace {

// The same name on every call while it is free, so replacing a file again and again does not
// leave a trail of fresh directory entries behind; a counter only when another writer in this
// process holds it. The pid is taken once (a forked child keeps its parent's value), and O_EXCL
// turns any clash into another try.
std::string temporarySuffix(std::uint64_t attempt) {
    static const pid_t process = ::getpid();
    static std::atomic<std::uint64_t> counter{0};
    const auto distinct =
        attempt == 0 ? std::string() : "-" + std::to_string(counter.fetch_add(1, std::memory_order_relaxed) + 1);
    return std::to_string(process) + distinct + ".tmp";
}

int createExclusively(const std::string& path) {
    return retryOnInterrupt(
        [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666); });
}

}  // namespace

std::expected<FileReplacement, FileError> FileReplacement::begin(const std::filesystem::path& target) {
    // "<folder>/.<name>.<suffix>", by plain string work: the log's totals take this path per line.
    const std::string& path = target.native();
    const auto slash = path.rfind('/');
    const std::string prefix = slash == std::string::npos
                                   ? "." + path + "."
                                   : path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".";
    std::string temporary = prefix + temporarySuffix(0);
    FileDescriptor fd(createExclusively(temporary));
    for (std::uint64_t attempt = 1; !fd && errno == EEXIST && attempt <= 3; ++attempt) {
        temporary = prefix + temporarySuffix(attempt);
        fd.reset(createExclusively(temporary));
    }
    if (!fd) return std::unexpected(FileError::fromErrno(errno, FileOperation::write, path));
    return FileReplacement(std::move(fd), path, std::move(temporary));
}

FileReplacement::~FileReplacement() {
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

std::unexpected<FileError> FileReplacement::abandon(int error) {
    descriptor_.reset();
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
    return std::unexpected(FileError::fromErrno(error, FileOperation::write, target_));
}

std::expected<void, FileError> FileReplacement::write(std::string_view bytes) {
    if (temporary_.empty()) return abandon(EBADF);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto put =
            retryOnInterrupt([&] { return ::write(descriptor_.get(), bytes.data() + done, bytes.size() - done); });
        if (put < 0) return abandon(errno);
        if (put == 0) return abandon(ENOSPC);
        done += static_cast<std::size_t>(put);
    }
    return {};
}

std::expected<void, FileError> FileReplacement::commit() {
    if (temporary_.empty()) return abandon(EBADF);
    // close reports late write errors (NFS, quotas); the descriptor is released either way.
    if (::close(descriptor_.release()) != 0) return abandon(errno);
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) return abandon(errno);
    temporary_.clear();
    return {};
}

}  // namespace vornelo::platform

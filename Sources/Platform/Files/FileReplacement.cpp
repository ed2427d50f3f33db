#include "Platform/Files/FileReplacement.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>

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

std::unexpected<FileError> refused(const std::string& path, std::string_view what) {
    return std::unexpected(FileError::make(FileError::cocoaDomain, FileError::writeUnknown,
                                           "\u201C" + path + "\u201D is " + std::string(what) + "."));
}

// What may be written into as it is, rather than replaced.
bool isWrittenDirectly(const struct stat& info) { return S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode); }

}  // namespace

std::expected<FileReplacement, FileError> FileReplacement::beginTemporary(const std::string& path, Way way) {
    // "<folder>/.<name>.<suffix>", by plain string work: the log's totals take this path per line.
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
    return FileReplacement(std::move(fd), path, std::move(temporary), way);
}

std::expected<FileReplacement, FileError> FileReplacement::begin(const std::filesystem::path& target) {
    return beginTemporary(target.native(), Way::replaceAnything);
}

std::expected<FileReplacement, FileError> FileReplacement::beginNamed(const std::filesystem::path& target) {
    const std::string& path = target.native();
    struct stat entry {};
    if (::lstat(path.c_str(), &entry) != 0) {
        if (errno != ENOENT) return std::unexpected(FileError::fromErrno(errno, FileOperation::write, path));
        return beginTemporary(path, Way::create);
    }
    if (S_ISREG(entry.st_mode)) {
        auto replacement = beginTemporary(path, Way::replaceFile);
        if (!replacement) return replacement;
        replacement->replacing_ = entry;
        // The file keeps what its owner chose for it.
        if (::geteuid() == 0) (void)::fchown(replacement->descriptor_.get(), entry.st_uid, entry.st_gid);
        (void)::fchmod(replacement->descriptor_.get(), entry.st_mode & 0777);
        return replacement;
    }
    if (S_ISDIR(entry.st_mode)) return refused(path, "a folder");
    int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    if (S_ISLNK(entry.st_mode)) {
        struct stat leadsTo {};
        if (entry.st_uid != 0 && entry.st_uid != ::geteuid()) return refused(path, "a symbolic link made by someone else, which is never followed");
        if (::stat(path.c_str(), &leadsTo) != 0 || !isWrittenDirectly(leadsTo)) {
            return refused(path, "a symbolic link, which is never replaced by a file; name what it leads to");
        }
    } else if (isWrittenDirectly(entry)) {
        flags |= O_NOFOLLOW;
    } else {
        return refused(path, S_ISBLK(entry.st_mode) ? "a block device, which is never written to" : "neither a file nor a device");
    }
    // A FIFO waits here for its reader, as a shell's redirection does.
    FileDescriptor fd(retryOnInterrupt([&] { return ::open(path.c_str(), flags); }));
    if (!fd) return std::unexpected(FileError::fromErrno(errno, FileOperation::write, path));
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0 || !isWrittenDirectly(opened)) return refused(path, "no longer what it was when it was looked at");
    return FileReplacement(std::move(fd), path, {}, Way::direct);
}

FileReplacement FileReplacement::standardOutput() {
    std::fflush(stdout);  // what the process printed before comes first
    return FileReplacement(FileDescriptor(), "standard output", {}, Way::standardOutput);
}

FileReplacement::~FileReplacement() {
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

std::unexpected<FileError> FileReplacement::abandon(int error) {
    if (way_ != Way::standardOutput) descriptor_.reset();
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
    spent_ = true;
    return std::unexpected(FileError::fromErrno(error, FileOperation::write, target_));
}

std::expected<void, FileError> FileReplacement::write(std::string_view bytes) {
    if (spent_) return abandon(EBADF);
    const int fd = way_ == Way::standardOutput ? STDOUT_FILENO : descriptor_.get();
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto put = retryOnInterrupt([&] { return ::write(fd, bytes.data() + done, bytes.size() - done); });
        if (put < 0) return abandon(errno);
        if (put == 0) return abandon(ENOSPC);
        done += static_cast<std::size_t>(put);
    }
    return {};
}

std::expected<void, FileError> FileReplacement::commit() {
    if (spent_) return abandon(EBADF);
    if (way_ == Way::standardOutput) {
        spent_ = true;
        return {};
    }
    // close reports late write errors (NFS, quotas); the descriptor is released either way.
    if (::close(descriptor_.release()) != 0) return abandon(errno);
    if (way_ == Way::direct) {
        spent_ = true;
        return {};
    }
    if (auto placed = putInPlace(); !placed) return placed;
    temporary_.clear();
    spent_ = true;
    return {};
}

std::expected<void, FileError> FileReplacement::putInPlace() {
    const char* from = temporary_.c_str();
    const char* to = target_.c_str();
    if (way_ == Way::replaceAnything) {
        if (::rename(from, to) != 0) return abandon(errno);
        return {};
    }
    if (way_ == Way::create) {
        if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return {};
        if (errno == EEXIST) return abandon(EEXIST);  // something came meanwhile: it stays
        if (errno != EINVAL) return abandon(errno);
        struct stat now {};
        if (::lstat(to, &now) == 0) return abandon(EEXIST);  // a file system without the flag
        if (::rename(from, to) != 0) return abandon(errno);
        return {};
    }
    // What the exchange brings back must be the regular file found; anything else goes back.
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) == 0) {
        struct stat old {};
        if (::lstat(from, &old) == 0 && S_ISREG(old.st_mode)) {
            ::unlink(from);
            return {};
        }
        (void)::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE);
        return abandon(EAGAIN);
    }
    if (errno != EINVAL) return abandon(errno);
    struct stat now {};
    if (::lstat(to, &now) != 0 || !S_ISREG(now.st_mode)) return abandon(EAGAIN);
    if (::rename(from, to) != 0) return abandon(errno);
    return {};
}

}  // namespace vornelo::platform

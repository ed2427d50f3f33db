#include "Platform/Identity/PeerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

namespace vornelo::platform {

namespace {

constexpr std::size_t maxEnvironmentBytes = 1024 * 1024;
constexpr std::size_t maxStatusBytes = 16 * 1024;

// Variables that make the dynamic loader run code other than the signed executable's.
constexpr std::array<std::string_view, 3> loaderVariables = {"LD_PRELOAD=", "LD_AUDIT=", "LD_LIBRARY_PATH="};

std::string errorText() { return std::strerror(errno); }

std::optional<std::string_view> statusField(std::string_view status, std::string_view field) {
    for (std::size_t start = 0; start < status.size();) {
        const auto end = std::min(status.find('\n', start), status.size());
        const auto line = status.substr(start, end - start);
        if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
            auto value = line.substr(field.size() + 1);
            while (!value.empty() && (value.front() == '\t' || value.front() == ' ')) value.remove_prefix(1);
            return value;
        }
        start = end + 1;
    }
    return std::nullopt;
}

// The kernel writes the PID a pidfd refers to into its fdinfo: -1 once the process has gone.
std::optional<pid_t> pidOfPidfd(int pidfd) {
    const auto path = fmt::format("/proc/self/fdinfo/{}", pidfd);
    FileDescriptor fd(retryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd) return std::nullopt;
    std::array<char, 1024> buffer{};
    const auto got = retryOnInterrupt([&] { return ::read(fd.get(), buffer.data(), buffer.size()); });
    if (got <= 0) return std::nullopt;
    const auto value = statusField(std::string_view(buffer.data(), static_cast<std::size_t>(got)), "Pid");
    pid_t pid = 0;
    if (!value || std::from_chars(value->data(), value->data() + value->size(), pid).ec != std::errc{}) return std::nullopt;
    return pid;
}

}  // namespace

FileDescriptor PeerProcess::pidfdOf(pid_t pid) {
    return FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

std::expected<PeerProcess, std::string> PeerProcess::open(int pidfd) {
    const auto pid = pidOfPidfd(pidfd);
    if (!pid) return std::unexpected(fmt::format("The descriptor {} is not a pidfd.", pidfd));
    if (*pid <= 0) return std::unexpected(std::string("The peer process has exited or lives in another PID namespace."));
    const auto path = fmt::format("/proc/{}", *pid);
    FileDescriptor folder(retryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!folder) return std::unexpected(fmt::format("{} cannot be opened: {}.", path, errorText()));
    PeerProcess peer(*pid, pidfd, std::move(folder));
    // Only now is the folder known to be the pidfd's process rather than a successor's.
    if (!peer.isAlive()) return std::unexpected(fmt::format("The peer process {} has exited.", *pid));
    return peer;
}

// A zombie still takes signal 0, but it has no executable left to open, so it is refused there.
// A checker without the right to signal the peer (a helper that is not root) learns only that it
// still exists: EPERM is an answer about permission, ESRCH the one about life.
bool PeerProcess::isAlive() const {
    return ::syscall(SYS_pidfd_send_signal, pidfd_, 0, nullptr, 0) == 0 || errno == EPERM;
}

std::optional<struct stat> PeerProcess::statEntry(const char* name) const {
    struct stat info {};
    if (::fstatat(folder_.get(), name, &info, 0) != 0) return std::nullopt;
    return info;
}

FileDescriptor PeerProcess::openOwnerProbe() const {
    return FileDescriptor(retryOnInterrupt([&] { return ::openat(folder_.get(), "ns", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
}

std::optional<uid_t> PeerProcess::ownerShownBy(int probe) {
    struct stat info {};
    if (::fstat(probe, &info) != 0) return std::nullopt;
    return info.st_uid;
}

std::expected<std::string, std::string> PeerProcess::readEntry(const char* name, std::size_t maxBytes) const {
    FileDescriptor fd(retryOnInterrupt([&] { return ::openat(folder_.get(), name, O_RDONLY | O_CLOEXEC); }));
    if (!fd) return std::unexpected(fmt::format("/proc/{}/{} cannot be opened: {}.", pid_, name, errorText()));
    std::string bytes;
    std::array<char, 16 * 1024> buffer{};
    for (;;) {
        const auto got = retryOnInterrupt([&] { return ::read(fd.get(), buffer.data(), buffer.size()); });
        if (got < 0) return std::unexpected(fmt::format("/proc/{}/{} cannot be read: {}.", pid_, name, errorText()));
        if (got == 0) return bytes;
        bytes.append(buffer.data(), static_cast<std::size_t>(got));
        if (bytes.size() > maxBytes) return std::unexpected(fmt::format("/proc/{}/{} is larger than {} bytes.", pid_, name, maxBytes));
    }
}

std::optional<std::string> PeerProcess::tamperingRisk() const {
    // In the middle of an exec the new image's /proc/<pid>/exe is already there while its
    // arguments and environment are not yet: judged then, its environment would read as empty.
    char first = 0;
    FileDescriptor arguments(retryOnInterrupt([&] { return ::openat(folder_.get(), "cmdline", O_RDONLY | O_CLOEXEC); }));
    if (!arguments || retryOnInterrupt([&] { return ::read(arguments.get(), &first, 1); }) != 1) {
        return fmt::format("The peer process {} has not finished starting.", pid_);
    }
    const auto environment = readEntry("environ", maxEnvironmentBytes);
    if (!environment) return environment.error();
    for (std::size_t start = 0; start < environment->size();) {
        const auto end = std::min(environment->find('\0', start), environment->size());
        const std::string_view entry(environment->data() + start, end - start);
        for (const auto variable : loaderVariables) {
            // An empty value changes nothing the loader does.
            if (entry.starts_with(variable) && entry.size() > variable.size()) {
                return fmt::format("The peer process {} was started with {}, so it may not run only its signed code.", pid_,
                                   variable.substr(0, variable.size() - 1));
            }
        }
        start = end + 1;
    }
    // The kernel shows the files in /proc/<pid> (not the folder itself) as root's once the
    // process is not dumpable; a root process is only ever attachable by root, who needs no trick.
    struct stat statusInfo {};
    if (::fstatat(folder_.get(), "status", &statusInfo, 0) != 0) return fmt::format("/proc/{}/status cannot be examined: {}.", pid_, errorText());
    if (statusInfo.st_uid != 0) return fmt::format("The peer process {} is dumpable, so another process of its user could attach to it.", pid_);
    const auto status = readEntry("status", maxStatusBytes);
    if (!status) return status.error();
    const auto tracer = statusField(*status, "TracerPid");
    if (!tracer || *tracer != "0") return fmt::format("The peer process {} is being traced.", pid_);
    return std::nullopt;
}

std::expected<FileDescriptor, std::string> PeerProcess::openExecutable() const {
    FileDescriptor fd(retryOnInterrupt([&] { return ::openat(folder_.get(), "exe", O_RDONLY | O_CLOEXEC); }));
    if (!fd) return std::unexpected(fmt::format("The executable of process {} cannot be opened: {}.", pid_, errorText()));
    return fd;
}

std::expected<std::string, std::string> PeerProcess::executablePath() const {
    std::array<char, 4096> buffer{};
    const auto length = ::readlinkat(folder_.get(), "exe", buffer.data(), buffer.size());
    if (length < 0 || static_cast<std::size_t>(length) >= buffer.size()) {
        return std::unexpected(fmt::format("The executable path of process {} cannot be read.", pid_));
    }
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

}  // namespace vornelo::platform

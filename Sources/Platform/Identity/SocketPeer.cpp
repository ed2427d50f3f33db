#include "Platform/Identity/SocketPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>

// Debian 12's kernel headers predate it; kernels before 6.5 answer ENOPROTOOPT, which falls back.
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace vornelo::platform {

namespace {

int openPidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)); }

}  // namespace

std::optional<std::uint64_t> SocketPeer::readStartTime(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    if (!file) return std::nullopt;
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name may hold spaces and parentheses, so count fields from its last ")".
    const auto close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::size_t position = close + 2;
    // After ")" come field 3 (state) onwards; the start time is field 22.
    for (int field = 3; field < 22; ++field) {
        position = text.find(' ', position);
        if (position == std::string::npos) return std::nullopt;
        ++position;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data() + position, text.data() + text.size(), value);
    if (error != std::errc{} || end == text.data() + position) return std::nullopt;
    return value;
}

std::expected<SocketPeer, std::string> SocketPeer::ofSocket(int socketFd) {
    struct ucred credentials {};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return std::unexpected(std::string("The connection's peer credentials could not be read: ") + std::strerror(errno));
    }
    SocketPeer peer(credentials.pid, credentials.uid, credentials.gid);
    int pidfd = -1;
    length = sizeof pidfd;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0 && pidfd >= 0) {
        ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
        peer.pidfd_.reset(pidfd);
        peer.heldBySocket_ = true;
    } else if (credentials.pid > 0) {
        peer.pidfd_.reset(openPidfd(credentials.pid));
    }
    // Read after the pidfd is held: if the process is still alive afterwards, the pid was not
    // reused in between and the start time is its own.
    const auto start = readStartTime(credentials.pid);
    if (start && peer.isAlive()) peer.startTime_ = *start;
    return peer;
}

bool SocketPeer::isAlive() const {
    if (!pidfd_) return false;
    struct pollfd entry {pidfd_.get(), POLLIN, 0};
    const int ready = retryOnInterrupt([&] { return ::poll(&entry, 1, 0); });
    return ready == 0;
}

}  // namespace vornelo::platform

#pragma once
// The process at the other end of a UNIX stream socket, as the kernel reported it when the
// connection was accepted: pid, user, group, the process's start time, and a pidfd that keeps
// naming that very process even after it exits and its pid is reused.
//
// The pidfd comes from SO_PEERPIDFD where the kernel offers it. Elsewhere the pid from
// SO_PEERCRED is opened with pidfd_open and its start time read at once; the triple pid + start
// time + user is then what names the peer (as polkit names a unix-process subject): the start time
// tells it from a later process that got the same pid.
//
// Ownership: owns the pidfd. Thread safety: const members may be called from any thread.

#include "Platform/Files/FileDescriptor.h"

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

namespace vornelo::platform {

class SocketPeer {
public:
    // Reads the peer of a connected UNIX socket. Fails with a sentence when the kernel gives no
    // credentials; a peer that is already gone still yields its credentials, without a pidfd.
    [[nodiscard]] static std::expected<SocketPeer, std::string> ofSocket(int socketFd);

    pid_t pid() const { return pid_; }
    uid_t uid() const { return uid_; }
    gid_t gid() const { return gid_; }
    // Clock ticks after boot at which the process started (field 22 of /proc/<pid>/stat); 0 when
    // the process was gone before it could be read.
    std::uint64_t startTime() const { return startTime_; }
    // -1 when the process could not be held.
    int pidfd() const { return pidfd_.get(); }
    // Whether the pidfd came straight from the socket (no window in which the pid could be reused).
    bool heldBySocket() const { return heldBySocket_; }

    // The process still runs (its pidfd is not yet readable as exited).
    [[nodiscard]] bool isAlive() const;

    // The start time recorded in /proc for `pid`, or nothing when no such process exists.
    [[nodiscard]] static std::optional<std::uint64_t> readStartTime(pid_t pid);

private:
    SocketPeer(pid_t pid, uid_t uid, gid_t gid) : pid_(pid), uid_(uid), gid_(gid) {}

    pid_t pid_;
    uid_t uid_;
    gid_t gid_;
    std::uint64_t startTime_ = 0;
    FileDescriptor pidfd_;
    bool heldBySocket_ = false;
};

}  // namespace vornelo::platform

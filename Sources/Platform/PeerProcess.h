#pragma once
<<<<<<< HEAD
// The process at the other end of a UNIX stream socket, as the kernel reported it when the
// connection was accepted: pid, user, group, the process's start time, and a pidfd that keeps
// naming that very process even after it exits and its pid is reused.
//
// The pidfd comes from SO_PEERPIDFD where the kernel offers it. Elsewhere the pid from
// SO_PEERCRED is opened with pidfd_open and its start time read at once; the triple pid + start
// time + user is then what names the peer (as polkit names a unix-process subject), and
// matchesStartTime() tells whether the pid still names the same process.
//
// Ownership: owns the pidfd. Thread safety: const members may be called from any thread.
=======
// Another process, seen through /proc and held by a pidfd, for judging the code that runs in it.
//
// The /proc folder is opened once and then confirmed through the pidfd to belong to the live
// process the pidfd names: a PID cannot be reused while its process lives, and a /proc folder
// opened for a process that has gone answers nothing, so whatever is read through the folder is
// about that process or fails. Everything read is bounded.
//
// Thread safety: an object is for one thread at a time; the static functions may be called from
// any thread.
>>>>>>> main

#include "Platform/FileDescriptor.h"

#include <sys/types.h>

<<<<<<< HEAD
#include <cstdint>
=======
>>>>>>> main
#include <expected>
#include <optional>
#include <string>

namespace vornelo::platform {

class PeerProcess {
public:
<<<<<<< HEAD
    // Reads the peer of a connected UNIX socket. Fails with a sentence when the kernel gives no
    // credentials; a peer that is already gone still yields its credentials, without a pidfd.
    [[nodiscard]] static std::expected<PeerProcess, std::string> ofSocket(int socketFd);

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
    PeerProcess(pid_t pid, uid_t uid, gid_t gid) : pid_(pid), uid_(uid), gid_(gid) {}

    pid_t pid_;
    uid_t uid_;
    gid_t gid_;
    std::uint64_t startTime_ = 0;
    FileDescriptor pidfd_;
    bool heldBySocket_ = false;
=======
    // A pidfd for pid (pidfd_open), or an invalid descriptor when the process is gone.
    [[nodiscard]] static FileDescriptor pidfdOf(pid_t pid);

    [[nodiscard]] static std::expected<PeerProcess, std::string> open(int pidfd);

    pid_t pid() const { return pid_; }

    // Not yet reaped.
    [[nodiscard]] bool isAlive() const;

    // Why the process cannot be running only its own code, or nothing: a dynamic-loader variable
    // that injects or redirects libraries, a tracer, or being dumpable (another process of its
    // user could attach to it).
    [[nodiscard]] std::optional<std::string> tamperingRisk() const;

    // The executable the process runs, opened from /proc/<pid>/exe, and the path it was
    // started from (where its signature is looked for).
    [[nodiscard]] std::expected<FileDescriptor, std::string> openExecutable() const;
    [[nodiscard]] std::expected<std::string, std::string> executablePath() const;

private:
    PeerProcess(pid_t pid, int pidfd, FileDescriptor folder) : pid_(pid), pidfd_(pidfd), folder_(std::move(folder)) {}

    std::expected<std::string, std::string> readEntry(const char* name, std::size_t maxBytes) const;

    pid_t pid_;
    int pidfd_;  // borrowed from the caller
    FileDescriptor folder_;
>>>>>>> main
};

}  // namespace vornelo::platform

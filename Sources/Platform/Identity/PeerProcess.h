#pragma once
// Another process, seen through /proc and held by a pidfd, for judging the code that runs in it.
//
// The /proc folder is opened once and then confirmed through the pidfd to belong to the live
// process the pidfd names: a PID cannot be reused while its process lives, and a /proc folder
// opened for a process that has gone answers nothing, so whatever is read through the folder is
// about that process or fails. Everything read is bounded.
//
// Thread safety: an object is for one thread at a time; the static functions may be called from
// any thread.

#include "Platform/Files/FileDescriptor.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <expected>
#include <optional>
#include <string>

namespace vornelo::platform {

class PeerProcess {
public:
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

    // stat of an entry of /proc/<pid> ("exe" reports the executable file itself), or nothing.
    [[nodiscard]] std::optional<struct stat> statEntry(const char* name) const;

    // A descriptor for /proc/<pid>/ns, one of the entries whose owner the kernel works out anew
    // on every fstat (root while the process is not dumpable), where a held /proc/<pid>/status
    // keeps the owner of its lookup. An exited process shows root too: this says nothing of life.
    [[nodiscard]] FileDescriptor openOwnerProbe() const;
    [[nodiscard]] static std::optional<uid_t> ownerShownBy(int probe);

private:
    PeerProcess(pid_t pid, int pidfd, FileDescriptor folder) : pid_(pid), pidfd_(pidfd), folder_(std::move(folder)) {}

    std::expected<std::string, std::string> readEntry(const char* name, std::size_t maxBytes) const;

    pid_t pid_;
    int pidfd_;  // borrowed from the caller
    FileDescriptor folder_;
};

}  // namespace vornelo::platform

#pragma once
// The process an authorization speaks for, named as polkit names a unix-process subject: pid,
// start time and effective user. The start time tells the process from a later one that got the
// same pid, so a subject can never come to mean another process.
//
// Thread safety: a plain value; the static functions may be called from any thread.

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace vornelo::platform {

struct AuthorizationSubject {
    pid_t pid = 0;
    std::uint64_t startTime = 0;  // clock ticks after boot (field 22 of /proc/<pid>/stat)
    uid_t uid = 0;                // effective user ID

    // The calling process; nothing when /proc cannot be read.
    [[nodiscard]] static std::optional<AuthorizationSubject> currentProcess();

    // When a running process started; nothing when no such process is visible.
    [[nodiscard]] static std::optional<std::uint64_t> startTimeOf(pid_t pid);

    friend bool operator==(const AuthorizationSubject&, const AuthorizationSubject&) = default;
};

}  // namespace vornelo::platform

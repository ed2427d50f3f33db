#pragma once
// Runs part of a test in a forked child: as another user, or in a private mount namespace where
// fixtures may be mounted over fixed system paths without touching the real ones.
//
// The body returns an empty string on success or a sentence saying what went wrong; the child's
// verdict comes back to the parent, which turns it into a test failure.

#include <sys/types.h>

#include <functional>
#include <string>

namespace vornelo::test {

struct ChildOutcome {
    bool succeeded = false;
    std::string message;  // the body's complaint, or how the child ended
};

ChildOutcome runInChild(const std::function<std::string()>& body);

// Drops to uid/gid (supplementary groups cleared) before running the body. Needs root.
ChildOutcome runAsUser(uid_t user, gid_t group, const std::function<std::string()>& body);

// unshare(CLONE_NEWNS) with private propagation, so mounts made by the body vanish with it.
ChildOutcome runInPrivateMountNamespace(const std::function<std::string()>& body);

// Bind-mounts `source` over `target` (both must exist); for use inside a private namespace.
std::string bindMount(const std::string& source, const std::string& target);

// The reason a root-only test cannot run here, or empty when it can.
std::string rootSkipReason();

// An unprivileged account to drop to ("nobody"), as uid and gid.
struct Account {
    uid_t uid;
    gid_t gid;
};
Account unprivilegedAccount();

}  // namespace vornelo::test

// Skips the current test with the reason when it needs root and does not have it.
#define VORNELO_REQUIRE_ROOT()                                                   \
    do {                                                                          \
        if (const auto reason = ::vornelo::test::rootSkipReason(); !reason.empty()) \
            GTEST_SKIP() << reason;                                               \
    } while (false)

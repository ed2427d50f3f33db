#pragma once
// Whether the system services that pkexec stands on (the system D-Bus and polkitd) can authorize
// this test run. scripts/test starts them when it runs as root.

#include <string>

namespace vornelo::test {

// Empty when `pkexec /bin/true` succeeds without a prompt (root with polkit running); otherwise
// the reason to skip, with pkexec's own complaint.
std::string pkexecSkipReason();

}  // namespace vornelo::test

// Skips the current test when pkexec cannot authorize here.
#define VORNELO_REQUIRE_PKEXEC()                                                       \
    do {                                                                                \
        if (const auto reason = ::vornelo::test::pkexecSkipReason(); !reason.empty())   \
            GTEST_SKIP() << reason;                                                     \
    } while (false)

#pragma once
// A system bus and polkitd of the test's own, both real, for a body that runs in a forked child
// with a private mount namespace. There a tmpfs over /run/dbus gives the new bus its own socket, and
// temporary folders mounted over polkit's action and rule folders hold the test's actions and
// rules only (the distribution's rules are hidden too). The machine's own bus and polkitd are
// never touched. The body may add actions to /usr/share/polkit-1/actions while it runs.

#include "Support/ChildProcess.h"

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace vornelo::test {

struct PolkitSandbox {
    using Actions = std::map<std::string, std::string>;
    Actions actions;    // action files by file name ("<id>.policy")
    std::string rules;  // JavaScript rules; empty for none
};

// Empty when a sandbox can run here; else why not (not root, dbus-daemon or polkitd missing).
std::string polkitSandboxSkipReason();

// Brings the bus and polkitd up, runs the body, and stops both once it returns.
ChildOutcome runWithPolkit(const PolkitSandbox& sandbox, const std::function<std::string()>& body);

// A rule answering polkit.Result.<result> ("YES", "NO", ...) for the action, whoever asks.
std::string polkitRule(std::string_view actionId, std::string_view result);

}  // namespace vornelo::test

#define VORNELO_REQUIRE_POLKIT_SANDBOX()                                                    \
    do {                                                                                     \
        if (const auto reason = ::vornelo::test::polkitSandboxSkipReason(); !reason.empty()) \
            GTEST_SKIP() << reason;                                                          \
    } while (false)

#pragma once
// A small client of polkit's authority on the system bus (org.freedesktop.PolicyKit1), through
// sd-bus: the verdict on one action for one unix-process subject, and whether an action is known.
// Also the text of an action file, the form in which polkit learns an action and its defaults.
//
// Every call opens its own bus connection and closes it, so calls from several threads never
// share sd-bus state (which is not thread-safe) and a forked child never uses its parent's bus.
//
// Thread safety: stateless; callable from any thread.

#include "Platform/Authorization/AuthorizationSubject.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vornelo::platform {

class PolkitAuthority {
public:
    enum class Verdict {
        authorized,     // polkit granted the action
        challenge,      // authentication would be needed but could not happen (no interaction, no agent)
        notAuthorized,  // the rules or defaults refuse the action
        dismissed,      // the user dismissed the authentication dialog
        refused,        // polkit would not judge: unknown action, a subject that no longer exists, ...
        cancelled,      // the check outlived its time limit and was cancelled
        unavailable,    // polkit could not be asked: no bus, no polkitd, a malformed reply
    };

    struct Check {
        AuthorizationSubject subject;
        std::string actionId;
        bool allowInteraction = false;
        // How long an authentication dialog may stay open before the check is cancelled.
        std::chrono::milliseconds timeout{std::chrono::minutes(10)};
    };

    [[nodiscard]] static Verdict checkAuthorization(const Check& check);

    // Whether polkit has the action among its registered ones; nothing when polkit cannot be asked.
    [[nodiscard]] static std::optional<bool> knowsAction(std::string_view actionId);

    // An action file (XML policyconfig) declaring one action whose implicit authorization for
    // every kind of subject is `implicitResult` ("auth_admin", "yes", ...), with `message` shown in
    // the authentication dialog.
    [[nodiscard]] static std::string actionFile(std::string_view actionId, std::string_view implicitResult,
                                                std::string_view message);
};

}  // namespace vornelo::platform

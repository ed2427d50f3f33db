#pragma once
// Authorization Services on polkit: rights, references to a client's authorization, and the
// verdict whether an administrator approved a right for it.
//
// A right is a polkit action of the same name. Defining it (rightSet) writes the action's file into
// the actions folder, with the rule turned into polkit's implicit authorization for every subject
// ("authenticate-admin" becomes auth_admin) and the description as the dialog's message.
//
// A reference (AuthorizationRef) stands for one process, the subject. create() makes one for the
// calling process; makeExternalForm() turns it into the 32 bytes a client sends along with a
// request; createFromExternalForm() rebuilds it on the other side, but only for the peer the
// caller names from the kernel's account of its connection: a form made by any other process, or
// bytes that are no form, are refused as errAuthorizationInvalidRef without asking polkit, so no
// dialog appears for them. copyRights() asks polkit's CheckAuthorization for that subject, which
// may show an administrator's authentication dialog and block until it is answered.
//
// Status codes are those of the platform's authorization service. copyRights answers:
//   errAuthorizationSuccess                 every right granted
//   errAuthorizationDenied                  refused by polkit's rules or defaults, the right is
//                                           unknown to polkit, the subject no longer exists, or
//                                           authentication was needed without ExtendRights
//   errAuthorizationCanceled                the user dismissed the dialog, or it outlived the
//                                           prompt time limit
//   errAuthorizationInteractionNotAllowed   authentication was needed and could not happen: the
//                                           flags forbid interaction or no authentication agent
//                                           serves the subject
//   errAuthorizationInternal                polkit could not be asked (no system bus, no polkitd)
//   errAuthorizationInvalidRef / InvalidSet / InvalidFlags   for bad arguments
//
// Thread safety: an Authorization is immutable and its operations may run on several threads at
// once; each opens its own bus connection. A reference is a plain value owned by its caller.

#include "Platform/Authorization/AuthorizationExternalForm.h"
#include "Platform/Authorization/AuthorizationSubject.h"

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vornelo::platform {

using OSStatus = std::int32_t;

inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errAuthorizationInvalidSet = -60001;
inline constexpr OSStatus errAuthorizationInvalidRef = -60002;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationInteractionNotAllowed = -60007;
inline constexpr OSStatus errAuthorizationInternal = -60008;
inline constexpr OSStatus errAuthorizationInvalidFlags = -60011;

using AuthorizationFlags = std::uint32_t;

inline constexpr AuthorizationFlags kAuthorizationFlagDefaults = 0;
inline constexpr AuthorizationFlags kAuthorizationFlagInteractionAllowed = 1U << 0;
inline constexpr AuthorizationFlags kAuthorizationFlagExtendRights = 1U << 1;
inline constexpr AuthorizationFlags kAuthorizationFlagDestroyRights = 1U << 3;

// One right asked for. Rights carry no value here: a non-empty value is an invalid set.
struct AuthorizationItem {
    std::string name;
    std::vector<std::uint8_t> value;
    std::uint32_t flags = 0;
};
using AuthorizationRights = std::vector<AuthorizationItem>;

// A reference to one process's authorization. Empty when default-made, moved from or freed.
class AuthorizationRef {
public:
    AuthorizationRef() = default;
    AuthorizationRef(AuthorizationRef&& other) noexcept : contents_(std::exchange(other.contents_, std::nullopt)) {}
    AuthorizationRef& operator=(AuthorizationRef&& other) noexcept {
        contents_ = std::exchange(other.contents_, std::nullopt);
        return *this;
    }
    AuthorizationRef(const AuthorizationRef&) = delete;
    AuthorizationRef& operator=(const AuthorizationRef&) = delete;

    [[nodiscard]] bool valid() const { return contents_.has_value(); }
    // The process the reference speaks for; nothing when empty.
    [[nodiscard]] std::optional<AuthorizationSubject> subject() const;

private:
    friend class Authorization;
    explicit AuthorizationRef(const ExternalFormContents& contents) : contents_(contents) {}

    std::optional<ExternalFormContents> contents_;
};

class Authorization {
public:
    struct Options {
        // Where rightSet writes action files; polkitd reads this folder.
        std::filesystem::path actionsFolder = "/usr/share/polkit-1/actions";
        // How long an authentication dialog may stay open before copyRights gives up.
        std::chrono::milliseconds promptTimeout{std::chrono::minutes(10)};
        // How long rightSet waits for polkitd to pick up a new action file.
        std::chrono::milliseconds definitionWait{std::chrono::seconds(3)};
    };

    // The rule by which an administrator must authenticate.
    static constexpr std::string_view ruleAuthenticateAdmin = "authenticate-admin";

    Authorization() = default;
    explicit Authorization(Options options) : options_(std::move(options)) {}
    virtual ~Authorization() = default;

    // A reference for the calling process (no rights yet). errAuthorizationInternal when the
    // process cannot read its own start time or the kernel gives no randomness.
    [[nodiscard]] std::expected<AuthorizationRef, OSStatus> create() const;

    // Rebuilds a client's reference from its external form, for `peer`: the connection's own
    // process as the kernel reported it. errAuthorizationInvalidRef unless `form` is a form of the
    // current version that names exactly that process (pid, start time and user).
    [[nodiscard]] std::expected<AuthorizationRef, OSStatus> createFromExternalForm(
        std::span<const std::uint8_t> form, const AuthorizationSubject& peer) const;

    [[nodiscard]] std::expected<AuthorizationExternalForm, OSStatus> makeExternalForm(const AuthorizationRef& ref) const;

    // The client's side in one step: a new authorization for the calling process, in external
    // form, to send with a request. The process must stay alive until the request is answered.
    [[nodiscard]] std::expected<AuthorizationExternalForm, OSStatus> externalFormOfThisProcess() const;

    // Asks polkit for each right, in order, stopping at the first that is not granted. polkit may
    // authenticate only with both kAuthorizationFlagExtendRights and
    // kAuthorizationFlagInteractionAllowed; no other flag is accepted. An empty set succeeds.
    [[nodiscard]] virtual OSStatus copyRights(const AuthorizationRef& ref, const AuthorizationRights& rights,
                                              AuthorizationFlags flags) const;

    // errAuthorizationSuccess when polkit knows the right, errAuthorizationDenied when it does
    // not, errAuthorizationInternal when polkit cannot be asked.
    [[nodiscard]] virtual OSStatus rightGet(std::string_view rightName) const;

    // Writes the right's action file (replacing one of the same name, atomically, mode 0644) and
    // waits a little for polkitd to load it. Rules: "authenticate-admin" and
    // "authenticate-admin-nonshared" become auth_admin, "authenticate-session-owner" auth_self,
    // "allow" yes. errAuthorizationInvalidSet for a name that is no action id or another rule; errAuthorizationDenied when the folder may not be
    // written; errAuthorizationInternal when the write fails otherwise.
    [[nodiscard]] virtual OSStatus rightSet(const AuthorizationRef& ref, std::string_view rightName,
                                            std::string_view rightDefinition, std::string_view descriptionKey) const;

    // Empties the reference. polkit keeps no authorization between checks for the rules rightSet
    // writes, so kAuthorizationFlagDestroyRights has nothing further to destroy.
    OSStatus free(AuthorizationRef& ref, AuthorizationFlags flags = kAuthorizationFlagDefaults) const;

    // Letters, digits, ".", "-" and "_", starting with a letter or digit, at most 200 bytes: a name
    // polkit takes as an action id and that is safe as a file name.
    [[nodiscard]] static bool isValidRightName(std::string_view name);

    const Options& options() const { return options_; }

private:
    Options options_;
};

}  // namespace vornelo::platform

#pragma once
// The helper's side of administrator authorization: the right defined once at start-up, and the
// verdict on each request's authorization for the connection's own peer.
//
// Thread safety: isAuthorized may run on several connections' threads at once (Authorization is
// immutable); it blocks while an administrator is asked.

#include "Helper/HelperLog.h"
#include "Platform/Authorization/Authorization.h"
#include "Platform/Identity/SocketPeer.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace vornelo::helper {

class AdministratorApproval {
public:
    static constexpr std::string_view prompt = "Vornelo wants to remove software that was installed for all users.";

    AdministratorApproval(const platform::Authorization& authorization, const HelperLog& log)
        : authorization_(authorization), log_(log) {}

    // Defines the removal right when polkit does not know it yet; an existing one is left as it is.
    void defineAuthorizationRight() const;

    // True only when polkit grants the removal right to the peer that sent the form (the prompt may
    // be shown). Every refusal is logged: a form of the wrong size, one that is not the peer's own,
    // and a right not granted, each with its size or status.
    bool isAuthorized(std::span<const std::uint8_t> externalForm, const platform::SocketPeer& peer) const;
    // The same verdict as its status: errAuthorizationSuccess, or why not (the form's -60002,
    // polkit's -60005 to -60008).
    platform::OSStatus authorizationStatus(std::span<const std::uint8_t> externalForm, const platform::SocketPeer& peer) const;

private:
    const platform::Authorization& authorization_;
    const HelperLog& log_;
};

}  // namespace vornelo::helper

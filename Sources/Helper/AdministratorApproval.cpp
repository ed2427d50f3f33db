#include "Helper/AdministratorApproval.h"

#include "Core/PrivilegedHelperConstants.h"

namespace vornelo::helper {

void AdministratorApproval::defineAuthorizationRight() const {
    const std::string right(PrivilegedHelperConstants::authorizationRight);
    if (authorization_.rightGet(right) == platform::errAuthorizationSuccess) return;
    auto ref = authorization_.create();
    if (!ref) return;
    const auto status = authorization_.rightSet(*ref, right, platform::Authorization::ruleAuthenticateAdmin, prompt);
    if (status != platform::errAuthorizationSuccess) {
        log_.note("could not define authorization right: " + std::to_string(status));
    } else {
        log_.note("defined authorization right");
    }
    authorization_.free(*ref);
}

bool AdministratorApproval::isAuthorized(std::span<const std::uint8_t> externalForm,
                                         const platform::SocketPeer& peer) const {
    return authorizationStatus(externalForm, peer) == platform::errAuthorizationSuccess;
}

platform::OSStatus AdministratorApproval::authorizationStatus(std::span<const std::uint8_t> externalForm,
                                                              const platform::SocketPeer& peer) const {
    if (externalForm.size() != platform::kAuthorizationExternalFormLength) {
        log_.note("authorization blob has the wrong size: " + std::to_string(externalForm.size()));
        return platform::errAuthorizationInvalidRef;
    }
    // The subject is the kernel's account of the peer, never anything the client says.
    const platform::AuthorizationSubject subject{peer.pid(), peer.startTime(), peer.uid()};
    auto ref = authorization_.createFromExternalForm(externalForm, subject);
    if (!ref) {
        log_.note("could not read the app's authorization: " + std::to_string(ref.error()));
        return ref.error();
    }
    const platform::AuthorizationRights rights{{std::string(PrivilegedHelperConstants::authorizationRight), {}, 0}};
    const auto status = authorization_.copyRights(
        *ref, rights, platform::kAuthorizationFlagInteractionAllowed | platform::kAuthorizationFlagExtendRights);
    authorization_.free(*ref);
    if (status != platform::errAuthorizationSuccess) {
        log_.note("authorization not granted: " + std::to_string(status));
    }
    return status;
}

}  // namespace vornelo::helper

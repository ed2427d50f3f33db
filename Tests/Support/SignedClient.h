#pragma once
// Copies of vornelo-cli signed the way an installed client is, and the anchor store that trusts them.

#include "Support/SigningIdentity.h"

#include <filesystem>
#include <string>

namespace vornelo::test {

// A test anchor, a client leaf under it (OU "K7Q2M8X4ZD"), and an anchor store holding the anchor
// (for a helper, mounted over /etc/code-signing by PrivateRoot), all in `folder`, which every user
// may read, so clients run as another user can start.
struct ClientSigning {
    explicit ClientSigning(const std::filesystem::path& folder);

    // A copy of `source` (vornelo-cli unless given) at folder/name, signed by `signer` with `identifier`.
    std::filesystem::path signedCopy(const std::string& name, const PemIdentity& signer,
                                     const std::string& identifier = "com.tessaldon.Vornelo",
                                     const std::filesystem::path& source = VORNELO_CLI_PATH) const;

    std::filesystem::path folder;
    std::filesystem::path anchors;  // root-owned, mode 0755, holding anchor.pem
    PemIdentity anchor;
    PemIdentity leaf;
};

}  // namespace vornelo::test

#pragma once
// Copies of vornelo-cli signed the way an installed client is (identifier
// "com.tessaldon.Vornelo", a leaf with OU "K7Q2M8X4ZD" under a test anchor), and the mounts that
// make a helper started in a private mount namespace trust that anchor and listen in a folder of
// the test's own.

#include "Support/SigningIdentity.h"

#include <filesystem>
#include <string>

namespace vornelo::test {

// A test anchor, a client leaf under it, and an anchor store holding the anchor, all in `folder`
// (made readable by every user, so clients run as another user can start).
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

// Inside a private mount namespace (runInPrivateMountNamespace): `anchors` over
// /etc/code-signing/anchors and `runFolder` over /run/vornelo. Where a mount point is missing the
// folder above it is overlaid (its new entries live in a tmpfs of the namespace), so the real /etc
// and /run are never written; the system bus socket stays reachable. Empty, or what failed.
std::string mountClientTrust(const std::filesystem::path& anchors, const std::filesystem::path& runFolder);

}  // namespace vornelo::test

#include "Support/SignedClient.h"

#include "Platform/Identity/CodeSignature.h"

#include <stdexcept>

namespace vornelo::test {

namespace fs = std::filesystem;

ClientSigning::ClientSigning(const fs::path& where) : folder(where), anchors(where / "anchors") {
    fs::create_directories(folder / "pki");
    fs::permissions(folder, fs::perms(0755));
    anchor = makeCertificate(folder / "pki", "anchor", CertificateProfile::anchor("Test Anchor"));
    leaf = makeCertificate(folder / "pki", "leaf", CertificateProfile::signer("K7Q2M8X4ZD"), anchor);
    fs::create_directory(anchors);
    fs::permissions(anchors, fs::perms(0755));
    fs::copy_file(anchor.certificate, anchors / "anchor.pem", fs::copy_options::overwrite_existing);
    fs::permissions(anchors / "anchor.pem", fs::perms(0644));
}

fs::path ClientSigning::signedCopy(const std::string& name, const PemIdentity& signer, const std::string& identifier,
                                  const fs::path& source) const {
    const auto copy = folder / name;
    fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, fs::perms(0755));
    if (const auto made = platform::CodeSignature::sign(copy, identifier, {signer.certificate, signer.key, std::nullopt}); !made) {
        throw std::runtime_error("could not sign " + copy.native() + ": " + made.error());
    }
    return copy;
}

}  // namespace vornelo::test

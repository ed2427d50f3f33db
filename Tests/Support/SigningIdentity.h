#pragma once
// Certificates and keys made with OpenSSL for code-signing tests, written as PEM files.

#include <filesystem>
#include <optional>
#include <string>

namespace vornelo::test {

struct PemIdentity {
    std::filesystem::path certificate;
    std::filesystem::path key;
};

struct CertificateProfile {
    std::string commonName;
    std::optional<std::string> organizationalUnit;
    bool authority = false;       // a CA that may sign certificates; else a code-signing leaf
    bool codeSigning = true;      // the leaf's extended key usage includes codeSigning
    long validFromDays = -1;      // relative to now
    long validUntilDays = 30;

    static CertificateProfile anchor(std::string name) { return {std::move(name), std::nullopt, true, false, -1, 30}; }
    static CertificateProfile signer(std::string unit, long validFromDays = -1, long validUntilDays = 30, bool codeSigning = true) {
        return {"Signer", std::move(unit), false, codeSigning, validFromDays, validUntilDays};
    }
};

// A new EC key and a certificate for it in folder/<name>.pem and folder/<name>.key, signed by
// issuer (self-signed without one). Fails the test when OpenSSL fails.
PemIdentity makeCertificate(const std::filesystem::path& folder, const std::string& name, const CertificateProfile& profile,
                            const std::optional<PemIdentity>& issuer = std::nullopt);

// Tampers with a signed file or its signature: flips one bit of its last byte.
void flipLastByte(const std::filesystem::path& path);

}  // namespace vornelo::test

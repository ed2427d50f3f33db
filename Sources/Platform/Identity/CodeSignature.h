#pragma once
// Detached code signatures: `<executable>.sig` holds a CMS SignedData whose content is a small
// code directory (format version, identifier, SHA-256 of the executable's bytes), signed by a
// code-signing certificate whose chain travels inside the CMS.
//
// Verifying proves that the bytes read from a descriptor are the bytes that were signed, by the
// key of a certificate that is valid now and allowed to sign code; whether the chain ends at a
// trusted anchor is reported as a fact for the requirement to judge. docs/code-identity.md has
// the format and what a verdict does not prove.
//
// Thread safety: every function may be called from any thread.

#include "Platform/Identity/AnchorStore.h"
#include "Platform/Identity/CodeRequirement.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

namespace vornelo::platform {

// What the file system says about one executable file; an exec of another file, a write or a
// replacement changes it.
struct ExecutableIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    std::int64_t size = 0;
    std::int64_t changeTimeNanoseconds = 0;
    bool operator==(const ExecutableIdentity&) const = default;

    [[nodiscard]] static std::optional<ExecutableIdentity> of(int descriptor);
    [[nodiscard]] static ExecutableIdentity of(const struct stat& info);
};

struct SigningIdentityFiles {
    std::filesystem::path certificate;  // PEM, the leaf that signs
    std::filesystem::path key;          // PEM, its private key
    std::optional<std::filesystem::path> chain;  // PEM, intermediates (and the anchor) to include
};

struct CodeSignature {
    static constexpr int formatVersion = 1;
    static constexpr std::int64_t maxExecutableBytes = 512LL * 1024 * 1024;
    static constexpr std::size_t maxSignatureBytes = 256 * 1024;

    [[nodiscard]] static std::filesystem::path signaturePath(const std::filesystem::path& executable);

    // Writes `<executable>.sig` (replacing one that is there). Fails with a sentence naming the
    // file or value at fault.
    static std::expected<void, std::string> sign(const std::filesystem::path& executable, const std::string& identifier,
                                                 const SigningIdentityFiles& identity);

    // Checks the signature in signatureFile against the executable open at executableDescriptor
    // (hashed from offset 0) and the anchors; the facts on success, else the reason as a sentence.
    [[nodiscard]] static std::expected<SigningFacts, std::string> verify(int executableDescriptor,
                                                                         const std::filesystem::path& signatureFile,
                                                                         const AnchorStore& anchors);

    // Identifiers are reverse-DNS names: letters, digits, '.', '-' and '_', at most 255 bytes.
    [[nodiscard]] static bool isValidIdentifier(std::string_view identifier);
};

}  // namespace vornelo::platform

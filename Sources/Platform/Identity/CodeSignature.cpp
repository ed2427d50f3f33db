#include "Platform/Identity/CodeSignature.h"

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileReplacement.h"
#include "Platform/Files/RegularFile.h"
#include "Platform/Encoding/Sha256.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <fmt/format.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace vornelo::platform {

namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* pointer) const { Free(pointer); }
};
using Bio = std::unique_ptr<BIO, Deleter<::BIO_free>>;
using Certificate = std::unique_ptr<X509, Deleter<::X509_free>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<::EVP_PKEY_free>>;
using Cms = std::unique_ptr<CMS_ContentInfo, Deleter<::CMS_ContentInfo_free>>;
using StoreContext = std::unique_ptr<X509_STORE_CTX, Deleter<::X509_STORE_CTX_free>>;
struct CertificateStackDeleter {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, ::X509_free); }
};
using CertificateStack = std::unique_ptr<STACK_OF(X509), CertificateStackDeleter>;
struct BorrowedStackDeleter {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};

constexpr std::string_view directoryMagic = "vornelo-code-directory";
// Small enough that the checks of many connections at once cost little memory; hashing is no
// faster with larger reads.
constexpr std::size_t readChunk = 64 * 1024;

std::string openSslReason() {
    const unsigned long code = ::ERR_get_error();
    ::ERR_clear_error();
    if (code == 0) return "unknown error";
    std::array<char, 256> text{};
    ::ERR_error_string_n(code, text.data(), text.size());
    return text.data();
}

std::expected<Sha256::Digest, std::string> hashDescriptor(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::unexpected(std::string("The executable is not a regular file."));
    if (info.st_size > CodeSignature::maxExecutableBytes) {
        return std::unexpected(fmt::format("The executable is larger than {} bytes.", CodeSignature::maxExecutableBytes));
    }
    Sha256::prepare();
    std::unique_ptr<EVP_MD_CTX, Deleter<::EVP_MD_CTX_free>> context(::EVP_MD_CTX_new());
    if (!context || ::EVP_DigestInit_ex2(context.get(), ::EVP_sha256(), nullptr) != 1) {
        return std::unexpected(std::string("SHA-256 is unavailable."));
    }
    std::vector<char> buffer(readChunk);
    off_t offset = 0;
    for (;;) {
        const auto got = retryOnInterrupt([&] { return ::pread(fd, buffer.data(), buffer.size(), offset); });
        if (got < 0) return std::unexpected(fmt::format("The executable cannot be read: {}.", std::strerror(errno)));
        if (got == 0) break;
        offset += got;
        if (offset > CodeSignature::maxExecutableBytes) return std::unexpected(std::string("The executable grew while it was read."));
        ::EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(got));
    }
    Sha256::Digest digest{};
    unsigned int length = 0;
    if (::EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
        return std::unexpected(std::string("SHA-256 failed."));
    }
    return digest;
}

std::string codeDirectory(std::string_view identifier, const Sha256::Digest& digest) {
    const auto hex = Sha256::hex(digest);
    return fmt::format("{} {}\nidentifier {}\nsha256 {}\n", directoryMagic, CodeSignature::formatVersion, identifier,
                       std::string_view(hex.data(), hex.size()));
}

struct CodeDirectory {
    std::string identifier;
    std::string sha256Hex;
};

// Exactly the three lines codeDirectory writes; anything else is refused rather than guessed at.
std::optional<CodeDirectory> parseCodeDirectory(std::string_view text) {
    const std::string header = fmt::format("{} {}\nidentifier ", directoryMagic, CodeSignature::formatVersion);
    if (!text.starts_with(header)) return std::nullopt;
    text.remove_prefix(header.size());
    const auto lineEnd = text.find('\n');
    if (lineEnd == std::string_view::npos) return std::nullopt;
    CodeDirectory directory{std::string(text.substr(0, lineEnd)), {}};
    text.remove_prefix(lineEnd + 1);
    if (!CodeSignature::isValidIdentifier(directory.identifier) || !text.starts_with("sha256 ") ||
        text.size() != 7 + Sha256::hexLength + 1 || text.back() != '\n') {
        return std::nullopt;
    }
    directory.sha256Hex = std::string(text.substr(7, Sha256::hexLength));
    return directory;
}

std::expected<Certificate, std::string> readCertificate(const std::filesystem::path& path) {
    Bio input(::BIO_new_file(path.c_str(), "r"));
    Certificate certificate(input ? ::PEM_read_bio_X509(input.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!certificate) return std::unexpected(fmt::format("{} holds no PEM certificate.", path.native()));
    return certificate;
}

std::expected<CertificateStack, std::string> readChain(const std::optional<std::filesystem::path>& path) {
    CertificateStack chain(sk_X509_new_null());
    if (!path) return chain;
    Bio input(::BIO_new_file(path->c_str(), "r"));
    if (!input) return std::unexpected(fmt::format("{} cannot be read.", path->native()));
    while (X509* certificate = ::PEM_read_bio_X509(input.get(), nullptr, nullptr, nullptr)) {
        sk_X509_push(chain.get(), certificate);
    }
    ::ERR_clear_error();
    if (sk_X509_num(chain.get()) == 0) return std::unexpected(fmt::format("{} holds no PEM certificate.", path->native()));
    return chain;
}

bool allowedToSignCode(X509* certificate) {
    const uint32_t flags = ::X509_get_extension_flags(certificate);
    if ((flags & EXFLAG_XKUSAGE) == 0 || (::X509_get_extended_key_usage(certificate) & XKU_CODE_SIGN) == 0) return false;
    return (flags & EXFLAG_KUSAGE) == 0 || (::X509_get_key_usage(certificate) & KU_DIGITAL_SIGNATURE) != 0;
}

std::vector<std::string> organizationalUnits(X509* certificate) {
    std::vector<std::string> units;
    const X509_NAME* subject = ::X509_get_subject_name(certificate);
    for (int index = -1; (index = ::X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, index)) >= 0;) {
        unsigned char* text = nullptr;
        const int length = ::ASN1_STRING_to_UTF8(&text, ::X509_NAME_ENTRY_get_data(::X509_NAME_get_entry(subject, index)));
        if (length >= 0) units.emplace_back(reinterpret_cast<char*>(text), static_cast<std::size_t>(length));
        ::OPENSSL_free(text);
    }
    return units;
}

// Errors that only say the chain stops short of the store: the chain is still checked for
// signatures and dates, and the verdict records it as not anchored.
int continueWhenUnanchored(int ok, X509_STORE_CTX* context) {
    if (ok) return ok;
    switch (::X509_STORE_CTX_get_error(context)) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
            *static_cast<bool*>(::X509_STORE_CTX_get_app_data(context)) = false;
            return 1;
        default:
            return 0;
    }
}

std::expected<bool, std::string> verifyChain(X509* leaf, STACK_OF(X509) * included, const AnchorStore& anchors) {
    StoreContext context(::X509_STORE_CTX_new());
    bool anchored = true;
    if (!context || ::X509_STORE_CTX_init(context.get(), anchors.store(), leaf, included) != 1) {
        return std::unexpected(fmt::format("The certificate chain cannot be checked: {}.", openSslReason()));
    }
    ::X509_STORE_CTX_set_app_data(context.get(), &anchored);
    ::X509_STORE_CTX_set_verify_cb(context.get(), continueWhenUnanchored);
    if (::X509_verify_cert(context.get()) != 1) {
        const int error = ::X509_STORE_CTX_get_error(context.get());
        ::ERR_clear_error();
        return std::unexpected(fmt::format("The signing certificate chain is not valid: {} (depth {}).",
                                           ::X509_verify_cert_error_string(error), ::X509_STORE_CTX_get_error_depth(context.get())));
    }
    return anchored;
}

}  // namespace

std::optional<ExecutableIdentity> ExecutableIdentity::of(int descriptor) {
    struct stat info {};
    if (::fstat(descriptor, &info) != 0) return std::nullopt;
    return of(info);
}

ExecutableIdentity ExecutableIdentity::of(const struct stat& info) {
    return ExecutableIdentity{info.st_dev, info.st_ino, static_cast<std::int64_t>(info.st_size),
                              static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec};
}

std::filesystem::path CodeSignature::signaturePath(const std::filesystem::path& executable) {
    return std::filesystem::path(executable.native() + ".sig");
}

bool CodeSignature::isValidIdentifier(std::string_view identifier) {
    if (identifier.empty() || identifier.size() > 255) return false;
    for (const char c : identifier) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!allowed) return false;
    }
    return true;
}

std::expected<void, std::string> CodeSignature::sign(const std::filesystem::path& executable, const std::string& identifier,
                                                     const SigningIdentityFiles& identity) {
    if (!isValidIdentifier(identifier)) {
        return std::unexpected(fmt::format("The identifier \"{}\" may hold only letters, digits, '.', '-' and '_'.", identifier));
    }
    FileDescriptor fd(retryOnInterrupt([&] { return ::open(executable.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); }));
    if (!fd && errno == ELOOP) return std::unexpected(fmt::format("{} is a symbolic link; sign the file it points to.", executable.native()));
    if (!fd) return std::unexpected(fmt::format("{} cannot be opened: {}.", executable.native(), std::strerror(errno)));
    auto digest = hashDescriptor(fd.get());
    if (!digest) return std::unexpected(fmt::format("{}: {}", executable.native(), digest.error()));
    auto certificate = readCertificate(identity.certificate);
    if (!certificate) return std::unexpected(certificate.error());
    if (!allowedToSignCode(certificate->get())) {
        return std::unexpected(fmt::format("{} is not a code-signing certificate (extended key usage codeSigning).", identity.certificate.native()));
    }
    Bio keyInput(::BIO_new_file(identity.key.c_str(), "r"));
    Key key(keyInput ? ::PEM_read_bio_PrivateKey(keyInput.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) return std::unexpected(fmt::format("{} holds no unencrypted PEM private key.", identity.key.native()));
    if (::X509_check_private_key(certificate->get(), key.get()) != 1) {
        ::ERR_clear_error();
        return std::unexpected(fmt::format("{} is not the key of {}.", identity.key.native(), identity.certificate.native()));
    }
    auto chain = readChain(identity.chain);
    if (!chain) return std::unexpected(chain.error());
    const std::string statement = codeDirectory(identifier, *digest);
    Bio content(::BIO_new_mem_buf(statement.data(), static_cast<int>(statement.size())));
    Cms cms(::CMS_sign(certificate->get(), key.get(), chain->get(), content.get(), CMS_BINARY | CMS_NOSMIMECAP));
    Bio output(::BIO_new(::BIO_s_mem()));
    if (!cms || !output || ::i2d_CMS_bio(output.get(), cms.get()) != 1) {
        return std::unexpected(fmt::format("Signing {} failed: {}.", executable.native(), openSslReason()));
    }
    char* bytes = nullptr;
    const long length = BIO_get_mem_data(output.get(), &bytes);
    const auto target = signaturePath(executable);
    // Beside a file someone named: whatever stands at the signature's place is theirs to keep.
    auto replacement = FileReplacement::beginNamed(target);
    if (!replacement) return std::unexpected(replacement.error().description);
    if (auto written = replacement->write(std::string_view(bytes, static_cast<std::size_t>(length))); !written) {
        return std::unexpected(written.error().description);
    }
    if (auto committed = replacement->commit(); !committed) return std::unexpected(committed.error().description);
    return {};
}

std::expected<SigningFacts, std::string> CodeSignature::verify(int executableDescriptor, const std::filesystem::path& signatureFile,
                                                               const AnchorStore& anchors) {
    auto bytes = RegularFile::contents(signatureFile, maxSignatureBytes);
    if (!bytes) {
        if (bytes.error().underlyingPosixCode == ENOENT) return std::unexpected(fmt::format("The code is not signed: {} does not exist.", signatureFile.native()));
        return std::unexpected(fmt::format("The signature {} cannot be read: {}", signatureFile.native(), bytes.error().description));
    }
    Bio input(::BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
    Cms cms(input ? ::d2i_CMS_bio(input.get(), nullptr) : nullptr);
    if (!cms || ::OBJ_obj2nid(::CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        ::ERR_clear_error();
        return std::unexpected(fmt::format("The signature {} is not a CMS signed-data structure.", signatureFile.native()));
    }
    Bio statement(::BIO_new(::BIO_s_mem()));
    if (::CMS_verify(cms.get(), nullptr, nullptr, nullptr, statement.get(), CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) != 1) {
        return std::unexpected(fmt::format("The signature {} does not verify: {}.", signatureFile.native(), openSslReason()));
    }
    std::unique_ptr<STACK_OF(X509), BorrowedStackDeleter> signers(::CMS_get0_signers(cms.get()));
    if (!signers || sk_X509_num(signers.get()) != 1) {
        return std::unexpected(fmt::format("The signature {} must have exactly one signer.", signatureFile.native()));
    }
    X509* leaf = sk_X509_value(signers.get(), 0);
    if (!allowedToSignCode(leaf)) return std::unexpected(std::string("The signing certificate is not allowed to sign code."));
    CertificateStack included(::CMS_get1_certs(cms.get()));
    auto anchored = verifyChain(leaf, included.get(), anchors);
    if (!anchored) return std::unexpected(anchored.error());
    char* text = nullptr;
    const long length = BIO_get_mem_data(statement.get(), &text);
    const auto directory = parseCodeDirectory(std::string_view(text, static_cast<std::size_t>(length)));
    if (!directory) return std::unexpected(fmt::format("The signature {} holds no code directory of format {}.", signatureFile.native(), formatVersion));
    auto digest = hashDescriptor(executableDescriptor);
    if (!digest) return std::unexpected(digest.error());
    const auto hex = Sha256::hex(*digest);
    if (std::string_view(hex.data(), hex.size()) != directory->sha256Hex) {
        return std::unexpected(std::string("The executable's contents differ from what was signed."));
    }
    return SigningFacts{directory->identifier, *anchored, organizationalUnits(leaf)};
}

}  // namespace vornelo::platform

#include "Platform/Encoding/Sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

namespace vornelo::platform {

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "vornelo: OpenSSL SHA-256 unavailable (%s)\n", what);
    std::abort();
}

// Fetched once and kept for the process: the implicit fetch inside EVP_sha256-based calls would
// look the provider up again on every digest.
const EVP_MD* sha256Method() {
    static const EVP_MD* method = [] {
        EVP_MD* fetched = ::EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
        if (!fetched) fail("fetch");
        return fetched;
    }();
    return method;
}

}  // namespace

void Sha256::prepare() { (void)sha256Method(); }

Sha256::Sha256() : context_(::EVP_MD_CTX_new()) {
    if (!context_) fail("context");
}

Sha256::~Sha256() { ::EVP_MD_CTX_free(context_); }

Sha256::Digest Sha256::digest(std::string_view bytes) {
    Digest result{};
    unsigned int length = 0;
    if (::EVP_DigestInit_ex2(context_, sha256Method(), nullptr) != 1 ||
        ::EVP_DigestUpdate(context_, bytes.data(), bytes.size()) != 1 ||
        ::EVP_DigestFinal_ex(context_, result.data(), &length) != 1 || length != digestLength) {
        fail("digest");
    }
    return result;
}

Sha256::Digest Sha256::hash(std::string_view bytes) {
    thread_local Sha256 hasher;
    return hasher.digest(bytes);
}

Sha256::HexDigest Sha256::hex(const Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    HexDigest text{};
    for (std::size_t i = 0; i < digestLength; ++i) {
        text[2 * i] = digits[digest[i] >> 4];
        text[2 * i + 1] = digits[digest[i] & 0x0F];
    }
    return text;
}

std::string Sha256::hexString(std::string_view bytes) {
    const auto text = hex(hash(bytes));
    return std::string(text.data(), text.size());
}

}  // namespace vornelo::platform

#pragma once
// SHA-256 through OpenSSL's EVP interface. The digest implementation is fetched once per process
// and each hasher reuses its own context, so hashing many short inputs pays no per-call lookup.
//
// Thread safety: a Sha256 object is for one thread at a time; the static functions use a hasher
// of the calling thread and may be called from any thread. OpenSSL failing to provide SHA-256
// (a broken installation or no memory) ends the process: there is no meaningful fallback.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace vornelo::platform {

class Sha256 {
public:
    static constexpr std::size_t digestLength = 32;
    static constexpr std::size_t hexLength = 2 * digestLength;
    using Digest = std::array<std::uint8_t, digestLength>;
    using HexDigest = std::array<char, hexLength>;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    [[nodiscard]] Digest digest(std::string_view bytes);

    // Loads OpenSSL's SHA-256 now. OpenSSL registers its clean-up at exit when first used, so an
    // object that lives until exit and hashes on its own threads calls this before it is made:
    // OpenSSL's clean-up then runs after that object has stopped its threads.
    static void prepare();

    // The digest with the calling thread's hasher.
    [[nodiscard]] static Digest hash(std::string_view bytes);
    // 64 lower-case hexadecimal digits.
    [[nodiscard]] static HexDigest hex(const Digest& digest);
    [[nodiscard]] static std::string hexString(std::string_view bytes);

private:
    evp_md_ctx_st* context_;
};

}  // namespace vornelo::platform

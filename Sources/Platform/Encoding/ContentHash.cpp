#include "Platform/Encoding/ContentHash.h"

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdlib>

namespace vornelo::platform {

struct ContentHash::Secret {
    alignas(64) std::array<unsigned char, XXH3_SECRET_DEFAULT_SIZE> bytes{};
};

struct ContentHash::Stream::State {
    XXH3_state_t state;
};

namespace {

void fillRandomly(std::span<unsigned char> bytes) {
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const auto got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            std::abort();  // no randomness: no hash anyone could trust
        }
        filled += static_cast<std::size_t>(got);
    }
}

Hash128 fromXxh(XXH128_hash_t value) { return Hash128{value.high64, value.low64}; }

}  // namespace

ContentHash::ContentHash() : secret_(std::make_unique<Secret>()) {
    std::array<unsigned char, 64> seed{};
    fillRandomly(seed);
    if (XXH3_generateSecret(secret_->bytes.data(), secret_->bytes.size(), seed.data(), seed.size()) != XXH_OK) std::abort();
}

ContentHash::ContentHash(std::uint64_t seed) : secret_(std::make_unique<Secret>()) {
    XXH3_generateSecret_fromSeed(secret_->bytes.data(), seed);
}

ContentHash::~ContentHash() = default;

Hash128 ContentHash::hash(std::span<const std::byte> bytes) const {
    return fromXxh(XXH3_128bits_withSecret(bytes.data(), bytes.size(), secret_->bytes.data(), secret_->bytes.size()));
}

ContentHash::Stream::Stream(const ContentHash& owner) : state_(std::make_unique<State>()) {
    XXH3_128bits_reset_withSecret(&state_->state, owner.secret_->bytes.data(), owner.secret_->bytes.size());
}

ContentHash::Stream::~Stream() = default;

void ContentHash::Stream::update(std::span<const std::byte> bytes) {
    XXH3_128bits_update(&state_->state, bytes.data(), bytes.size());
}

Hash128 ContentHash::Stream::digest() const { return fromXxh(XXH3_128bits_digest(&state_->state)); }

}  // namespace vornelo::platform

#pragma once
// A fast 128-bit hash of file contents for telling copies apart (xxHash's XXH3-128), keyed by a
// secret drawn from the kernel's random source for each hasher, so that two different files made
// to collide cannot be prepared in advance. Not a cryptographic digest: equal hashes stand for
// equal contents only between files nobody shaped against this very secret.
//
// Thread safety: a ContentHash may be shared between threads (it is only read after
// construction); a Stream belongs to one thread at a time and must not outlive its ContentHash.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace vornelo::platform {

struct Hash128 {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    friend auto operator<=>(const Hash128&, const Hash128&) = default;
};

class ContentHash {
public:
    // A fresh random secret.
    ContentHash();
    // A secret derived from `seed`: the same hashes in every run, for tests.
    explicit ContentHash(std::uint64_t seed);
    ~ContentHash();
    ContentHash(const ContentHash&) = delete;
    ContentHash& operator=(const ContentHash&) = delete;

    [[nodiscard]] Hash128 hash(std::span<const std::byte> bytes) const;

    // The hash of bytes handed over piece by piece; equal to hash() of the pieces joined.
    class Stream {
    public:
        explicit Stream(const ContentHash& owner);
        ~Stream();
        Stream(const Stream&) = delete;
        Stream& operator=(const Stream&) = delete;
        void update(std::span<const std::byte> bytes);
        [[nodiscard]] Hash128 digest() const;

    private:
        struct State;
        std::unique_ptr<State> state_;
    };

private:
    struct Secret;
    std::unique_ptr<Secret> secret_;
};

}  // namespace vornelo::platform

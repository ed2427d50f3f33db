#pragma once
// Base64 (RFC 4648, standard alphabet, padded), as binary data travels in JSON.
//
// Thread safety: pure functions, callable from any thread.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::platform {

struct Base64 {
    [[nodiscard]] static std::string encode(std::span<const std::uint8_t> bytes);
    // Strict: whole groups of four, padding only at the end, no spaces; anything else gives nothing.
    [[nodiscard]] static std::optional<std::vector<std::uint8_t>> decode(std::string_view text);
};

}  // namespace vornelo::platform

#pragma once
// UTF-8 text helpers. File names on Linux are bytes, so every function here accepts any byte
// sequence: invalid bytes are kept as they are (lowercasing) or replaced (sanitising).
//
// Thread safety: pure functions, callable from any thread.

#include <string>
#include <string_view>

namespace vornelo::platform {

struct Text {
    // The full Unicode lower-case mapping of valid UTF-8 (final sigma included); bytes that are
    // not valid UTF-8 pass through unchanged. ASCII-only input takes a fast path.
    [[nodiscard]] static std::string lowercased(std::string_view text);

    [[nodiscard]] static bool isValidUtf8(std::string_view text);

    // Valid UTF-8 with every invalid sequence replaced by U+FFFD (maximal subparts, as the
    // Unicode standard recommends).
    [[nodiscard]] static std::string sanitizedUtf8(std::string_view text);

    // Whether text begins with prefix (byte-wise).
    [[nodiscard]] static bool hasPrefix(std::string_view text, std::string_view prefix) {
        return text.substr(0, prefix.size()) == prefix;
    }
};

}  // namespace vornelo::platform

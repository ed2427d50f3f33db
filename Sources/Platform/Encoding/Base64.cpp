#include "Platform/Encoding/Base64.h"

#include <array>

namespace vornelo::platform {

namespace {

constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> decodingTable() {
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (std::size_t i = 0; i < alphabet.size(); ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}

constexpr auto decoding = decodingTable();

}  // namespace

std::string Base64::encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (left > 1 ? std::uint32_t{bytes[i + 1]} << 8 : 0U) |
                                    (left > 2 ? std::uint32_t{bytes[i + 2]} : 0U);
        out += alphabet[(group >> 18) & 63];
        out += alphabet[(group >> 12) & 63];
        out += left > 1 ? alphabet[(group >> 6) & 63] : '=';
        out += left > 2 ? alphabet[group & 63] : '=';
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> Base64::decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const std::size_t padding = last ? (text[i + 3] == '=') + (text[i + 3] == '=' && text[i + 2] == '=') : 0;
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const auto value = decoding[static_cast<unsigned char>(text[i + j])];
            if (j >= 4 - padding) continue;
            if (value < 0) return std::nullopt;
            group |= static_cast<std::uint32_t>(value) << (18 - 6 * j);
        }
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        if (padding < 2) out.push_back(static_cast<std::uint8_t>(group >> 8));
        if (padding < 1) out.push_back(static_cast<std::uint8_t>(group));
    }
    return out;
}

}  // namespace vornelo::platform

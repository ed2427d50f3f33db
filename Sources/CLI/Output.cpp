#include "CLI/Context.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <iostream>

namespace vornelo::cli {

void printJson(const nlohmann::json& document) {
    std::cout << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

void printError(std::string_view sentence) { std::cerr << "vornelo-cli: " << displayed(sentence) << '\n'; }

namespace {

// The code point of the valid UTF-8 sequence of two to four bytes at `at`, and its length; a
// length of 0 when the bytes there are not one.
std::pair<char32_t, std::size_t> decodeUtf8(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    char32_t low = 0;
    char32_t high = 0x10FFFF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, low = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, low = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, low = 0x10000;
    }
    if (length == 0 || text.size() - at < length) return {0, 0};
    char32_t point = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return {0, 0};
        point = (point << 6) | (byte(at + i) & 0x3F);
    }
    const bool surrogate = point >= 0xD800 && point <= 0xDFFF;
    if (point < low || point > high || surrogate) return {0, 0};
    return {point, length};
}

bool isHiddenControl(char32_t point) {
    return (point >= 0x80 && point <= 0x9F) || point == 0x061C || point == 0x200E || point == 0x200F ||
           (point >= 0x2028 && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
}

void appendHex(std::string& out, std::string_view prefix, std::uint32_t value, int digits) {
    static constexpr char hex[] = "0123456789ABCDEF";
    out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += hex[(value >> shift) & 0xF];
}

}  // namespace

std::string displayed(std::string_view text) {
    const auto plain = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x7F;
    };
    if (std::ranges::all_of(text, plain)) return std::string(text);
    std::string out;
    out.reserve(text.size() + 16);
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (plain(text[at])) {
            out += text[at++];
        } else if (byte == '\n' || byte == '\t' || byte == '\r') {
            out += byte == '\n' ? "\\n" : byte == '\t' ? "\\t" : "\\r";
            ++at;
        } else if (const auto [point, length] = byte >= 0x80 ? decodeUtf8(text, at) : std::pair<char32_t, std::size_t>{};
                   length == 0) {
            appendHex(out, "\\x", byte, 2);
            ++at;
        } else {
            if (isHiddenControl(point)) {
                appendHex(out, "\\u", point, 4);
            } else {
                out.append(text.substr(at, length));
            }
            at += length;
        }
    }
    return out;
}

bool stdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

std::string localTime(platform::TimePoint time) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
    const std::time_t when = std::chrono::system_clock::to_time_t(seconds);
    std::tm local{};
    char text[64];
    // A moment the C library cannot place is shown as files hold it.
    if (::localtime_r(&when, &local) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return platform::Iso8601::format(time);
    }
    return text;
}

}  // namespace vornelo::cli

#include "Platform/Encoding/Text.h"

#include <locale.h>
#include <wctype.h>

#include <cstdint>
#include <optional>

namespace vornelo::platform {

namespace {

struct Decoded {
    char32_t codePoint = 0;
    std::size_t length = 0;  // 0: invalid sequence at this position
};

// Decodes one well-formed UTF-8 sequence (no overlongs, no surrogates, at most U+10FFFF).
Decoded decode(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return {lead, 1};
    std::size_t length = 0;
    char32_t value = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {0, 0};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (at + i >= text.size()) return {0, 0};
        const unsigned char next = byte(at + i);
        const unsigned char min = i == 1 ? low : 0x80;
        const unsigned char max = i == 1 ? high : 0xBF;
        if (next < min || next > max) return {0, 0};
        value = (value << 6) | (next & 0x3F);
    }
    return {value, length};
}

// Length of the maximal subpart of an ill-formed sequence starting at `at` (at least 1).
std::size_t invalidLength(std::string_view text, std::size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    std::size_t expected = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        expected = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        expected = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        expected = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 1;
    }
    std::size_t length = 1;
    while (length < expected && at + length < text.size()) {
        const unsigned char next = static_cast<unsigned char>(text[at + length]);
        const unsigned char min = length == 1 ? low : 0x80;
        const unsigned char max = length == 1 ? high : 0xBF;
        if (next < min || next > max) break;
        ++length;
    }
    return length;
}

void encode(char32_t value, std::string& out) {
    if (value < 0x80) {
        out.push_back(static_cast<char>(value));
    } else if (value < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (value >> 6)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else if (value < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (value >> 12)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (value >> 18)));
        out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
}

locale_t unicodeLocale() {
    static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

char32_t simpleLower(char32_t value) {
    if (value < 0x80) return (value >= 'A' && value <= 'Z') ? value + 32 : value;
    const locale_t locale = unicodeLocale();
    if (!locale) return value;
    return static_cast<char32_t>(::towlower_l(static_cast<wint_t>(value), locale));
}

bool isCased(char32_t value) {
    if (value < 0x80) return (value >= 'A' && value <= 'Z') || (value >= 'a' && value <= 'z');
    const locale_t locale = unicodeLocale();
    return locale && ::iswalpha_l(static_cast<wint_t>(value), locale) &&
           (::towlower_l(static_cast<wint_t>(value), locale) != static_cast<wint_t>(value) ||
            ::towupper_l(static_cast<wint_t>(value), locale) != static_cast<wint_t>(value));
}

// The letter after position `at`, skipping nothing: final sigma looks only at its neighbours.
std::optional<char32_t> codePointAt(std::string_view text, std::size_t at) {
    if (at >= text.size()) return std::nullopt;
    const auto decoded = decode(text, at);
    if (decoded.length == 0) return std::nullopt;
    return decoded.codePoint;
}

bool isAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

}  // namespace

std::string Text::lowercased(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    if (isAscii(text)) {
        for (const char c : text) out.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c);
        return out;
    }
    bool previousCased = false;
    for (std::size_t at = 0; at < text.size();) {
        const auto decoded = decode(text, at);
        if (decoded.length == 0) {
            out.push_back(text[at]);
            previousCased = false;
            ++at;
            continue;
        }
        const char32_t value = decoded.codePoint;
        const std::size_t next = at + decoded.length;
        if (value == 0x0130) {
            encode(0x0069, out);  // capital I with dot above: "i" + combining dot above
            encode(0x0307, out);
        } else if (value == 0x03A3) {
            const auto following = codePointAt(text, next);
            const bool final = previousCased && !(following && isCased(*following));
            encode(final ? 0x03C2 : 0x03C3, out);
        } else {
            encode(simpleLower(value), out);
        }
        previousCased = isCased(value);
        at = next;
    }
    return out;
}

bool Text::isValidUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const auto decoded = decode(text, at);
        if (decoded.length == 0) return false;
        at += decoded.length;
    }
    return true;
}

std::string Text::sanitizedUtf8(std::string_view text) {
    if (isValidUtf8(text)) return std::string(text);
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t at = 0; at < text.size();) {
        const auto decoded = decode(text, at);
        if (decoded.length == 0) {
            encode(0xFFFD, out);
            at += invalidLength(text, at);
            continue;
        }
        out.append(text.substr(at, decoded.length));
        at += decoded.length;
    }
    return out;
}

}  // namespace vornelo::platform

#include "Platform/Trash/TrashInfo.h"

#include <ctime>

namespace vornelo::platform {

namespace {

bool isKeptAsIs(unsigned char byte) {
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9')) return true;
    return byte == '-' || byte == '_' || byte == '.' || byte == '~' || byte == '/';
}

std::string localDate(TimePoint when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    struct tm local {};
    char text[32] = {};
    if (::localtime_r(&seconds, &local) == nullptr) return "1970-01-01T00:00:00";
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

}  // namespace

std::string TrashInfo::encodePath(std::string_view path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(path.size());
    for (const char character : path) {
        const auto byte = static_cast<unsigned char>(character);
        if (isKeptAsIs(byte)) {
            encoded.push_back(character);
            continue;
        }
        encoded.push_back('%');
        encoded.push_back(hex[byte >> 4]);
        encoded.push_back(hex[byte & 0xF]);
    }
    return encoded;
}

std::optional<std::string> TrashInfo::decodePath(std::string_view encoded) {
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string decoded;
    decoded.reserve(encoded.size());
    for (std::size_t at = 0; at < encoded.size(); ++at) {
        if (encoded[at] != '%') {
            decoded.push_back(encoded[at]);
            continue;
        }
        if (at + 2 >= encoded.size() || digit(encoded[at + 1]) < 0 || digit(encoded[at + 2]) < 0) return std::nullopt;
        decoded.push_back(static_cast<char>(digit(encoded[at + 1]) * 16 + digit(encoded[at + 2])));
        at += 2;
    }
    return decoded;
}

std::string TrashInfo::contents(std::string_view path, TimePoint when, std::string_view session) {
    std::string text = "[Trash Info]\nPath=" + encodePath(path) + "\nDeletionDate=" + localDate(when) + "\n";
    if (!session.empty()) text.append(sessionKey).append("=").append(session).append("\n");
    return text;
}

std::optional<TrashInfo::Parsed> TrashInfo::parse(std::string_view text) {
    Parsed parsed;
    bool inGroup = false;
    bool sawGroup = false;
    for (std::size_t start = 0; start < text.size();) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.starts_with('[')) {
            inGroup = line == "[Trash Info]";
            sawGroup = sawGroup || inGroup;
            continue;
        }
        const auto equals = line.find('=');
        if (!inGroup || equals == std::string_view::npos) continue;
        const auto key = line.substr(0, equals);
        const auto value = line.substr(equals + 1);
        if (key == "Path") parsed.path = decodePath(value).value_or("");
        else if (key == sessionKey) parsed.session = std::string(value);
        else if (key == "DeletionDate") parsed.deletionDate = parseLocalDate(value);
    }
    if (!sawGroup) return std::nullopt;
    return parsed;
}

std::optional<TimePoint> TrashInfo::parseLocalDate(std::string_view text) {
    // Some tools add fractions of a second or a zone; the seconds are what matter.
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    const auto number = [&](std::size_t at, std::size_t length) -> int {
        int value = 0;
        for (std::size_t index = at; index < at + length; ++index) {
            if (text[index] < '0' || text[index] > '9') return -1;
            value = value * 10 + (text[index] - '0');
        }
        return value;
    };
    struct tm local {};
    local.tm_year = number(0, 4) - 1900;
    local.tm_mon = number(5, 2) - 1;
    local.tm_mday = number(8, 2);
    local.tm_hour = number(11, 2);
    local.tm_min = number(14, 2);
    local.tm_sec = number(17, 2);
    local.tm_isdst = -1;  // whatever the zone's rules said on that day
    if (local.tm_year < 0 || local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday < 1 || local.tm_mday > 31 ||
        local.tm_hour < 0 || local.tm_hour > 23 || local.tm_min < 0 || local.tm_min > 59 || local.tm_sec < 0 || local.tm_sec > 60) {
        return std::nullopt;
    }
    const std::time_t seconds = std::mktime(&local);
    if (seconds == static_cast<std::time_t>(-1) && local.tm_year != 69) return std::nullopt;
    return std::chrono::system_clock::from_time_t(seconds);
}

std::string TrashInfo::fileName(std::string_view itemName) {
    std::string name(itemName);
    name.append(suffix);
    return name;
}

}  // namespace vornelo::platform

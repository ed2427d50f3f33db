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

std::string TrashInfo::contents(std::string_view path, TimePoint when) {
    return "[Trash Info]\nPath=" + encodePath(path) + "\nDeletionDate=" + localDate(when) + "\n";
}

std::string TrashInfo::fileName(std::string_view itemName) {
    std::string name(itemName);
    name.append(suffix);
    return name;
}

}  // namespace vornelo::platform

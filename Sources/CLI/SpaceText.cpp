#include "CLI/SpaceText.h"

#include "Core/ByteSizeFormatter.h"
#include "Core/PathProtection.h"
#include "Platform/Files/FileManager.h"

#include <algorithm>
#include <cstdlib>

namespace vornelo::cli {

std::string clause(std::string_view sentence) {
    if (sentence.ends_with('.')) sentence.remove_suffix(1);
    return std::string(sentence);
}

bool noColourWanted() {
    const char* value = std::getenv("NO_COLOR");
    return value && *value;
}

std::string grouped(std::int64_t value) {
    std::string digits = std::to_string(value);
    const std::size_t first = digits.front() == '-' ? 1 : 0;
    for (auto at = digits.size(); at > first + 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

std::string filesText(std::int64_t count) { return grouped(count) + (count == 1 ? " file" : " files"); }

std::string shareText(std::int64_t part, std::int64_t whole) {
    return ByteSizeFormatter::formatPercent(whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
}

std::string barText(std::int64_t part, std::int64_t whole, std::size_t width, bool blocks) {
    const double share = whole > 0 ? std::clamp(static_cast<double>(part) / static_cast<double>(whole), 0.0, 1.0) : 0.0;
    const auto eighths = static_cast<std::size_t>(share * static_cast<double>(width * 8) + 0.5);
    if (!blocks) {
        const auto filled = (eighths + 4) / 8;
        return std::string(filled, '#') + std::string(width - filled, ' ');
    }
    // U+2588 FULL BLOCK down to U+258F LEFT ONE EIGHTH BLOCK.
    static constexpr const char* partial[] = {"", "\u258F", "\u258E", "\u258D", "\u258C", "\u258B", "\u258A", "\u2589"};
    std::string bar;
    for (std::size_t cell = 0; cell < eighths / 8; ++cell) bar += "\u2588";
    std::size_t used = eighths / 8;
    if (eighths % 8 != 0) {
        bar += partial[eighths % 8];
        ++used;
    }
    return bar + std::string(width - used, ' ');
}

std::optional<std::string> protectionOf(const std::string& path, bool isFolder) {
    const auto& protection = PathProtection::shared();
    if (const auto reason = protection.protectionReason(path)) return reason->description();
    if (isFolder && protection.containsEndpointSecurityItem(path, platform::FileManager::defaultManager())) {
        return "Contains security or device-management software.";
    }
    return std::nullopt;
}

}  // namespace vornelo::cli

#include "Platform/System/SearchPaths.h"

#include "Platform/Files/FileManager.h"

#include <cstdlib>

namespace vornelo::platform {

namespace {

std::optional<std::string_view> variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string_view>(value) : std::nullopt;
}

}  // namespace

std::vector<std::string> SearchPaths::parse(std::optional<std::string_view> value, std::vector<std::string> fallback) {
    if (!value || value->empty()) return fallback;
    std::vector<std::string> entries;
    auto rest = *value;
    for (;;) {
        const auto colon = rest.find(':');
        const auto entry = rest.substr(0, colon);
        if (!entry.empty() && entry.front() == '/') entries.push_back(FileManager::standardizedPath(entry));
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return entries;
}

std::vector<std::string> SearchPaths::executableFolders() { return parse(variable("PATH"), {}); }

std::vector<std::string> SearchPaths::dataFolders() {
    return parse(variable("XDG_DATA_DIRS"), {"/usr/local/share", "/usr/share"});
}

}  // namespace vornelo::platform

#include "Platform/System/XdgFolders.h"

#include "Platform/Files/FileManager.h"
#include "Platform/Files/RegularFile.h"

#include <cstdlib>

namespace vornelo::platform {

namespace {

constexpr std::size_t maxUserDirsBytes = 64 * 1024;

std::string variableOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    if (value && value[0] == '/') return FileManager::standardizedPath(value);
    return fallback;
}

std::vector<std::string> absoluteEntries(const char* value, std::vector<std::string> fallback) {
    if (!value || value[0] == '\0') return fallback;
    std::vector<std::string> entries;
    std::string_view rest = value;
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const auto entry = rest.substr(0, colon);
        if (!entry.empty() && entry.front() == '/') entries.push_back(FileManager::standardizedPath(entry));
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return entries;
}

}  // namespace

XdgFolders XdgFolders::forHome(const std::string& home) {
    XdgFolders folders;
    folders.home = home;
    folders.cacheHome = variableOr("XDG_CACHE_HOME", FileManager::joinedPath(home, ".cache"));
    folders.configHome = variableOr("XDG_CONFIG_HOME", FileManager::joinedPath(home, ".config"));
    folders.dataHome = variableOr("XDG_DATA_HOME", FileManager::joinedPath(home, ".local/share"));
    folders.stateHome = variableOr("XDG_STATE_HOME", FileManager::joinedPath(home, ".local/state"));
    folders.dataDirs = absoluteEntries(std::getenv("XDG_DATA_DIRS"), {"/usr/local/share", "/usr/share"});
    folders.executableDirs = absoluteEntries(std::getenv("PATH"), {});
    folders.downloadDir = FileManager::joinedPath(home, "Downloads");
    const auto text = RegularFile::contents(FileManager::joinedPath(folders.configHome, "user-dirs.dirs"), maxUserDirsBytes);
    if (text) {
        if (auto download = userDirectory(*text, "XDG_DOWNLOAD_DIR", home)) folders.downloadDir = std::move(*download);
    }
    return folders;
}

std::optional<std::string> XdgFolders::userDirectory(std::string_view text, std::string_view key, const std::string& home) {
    std::optional<std::string> found;
    while (!text.empty()) {
        const auto end = text.find('\n');
        auto line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (!line.starts_with(key) || line.substr(key.size(), 2) != "=\"") continue;
        auto value = line.substr(key.size() + 2);
        const auto close = value.find('"');
        if (close == std::string_view::npos) continue;
        value = value.substr(0, close);
        if (value.find('\\') != std::string_view::npos) continue;  // escapes are not worth guessing at
        std::string path;
        if (value.starts_with("$HOME/")) {
            path = FileManager::joinedPath(home, value.substr(6));
        } else if (value.starts_with("/")) {
            path = std::string(value);
        } else {
            continue;
        }
        path = FileManager::standardizedPath(path);
        if (path == FileManager::standardizedPath(home)) continue;  // "$HOME/" alone means the folder is unset
        found = std::move(path);  // the last line wins, as the shell that reads the file would have it
    }
    return found;
}

}  // namespace vornelo::platform

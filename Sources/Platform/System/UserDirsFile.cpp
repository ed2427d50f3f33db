#include "Platform/System/UserDirsFile.h"

#include "Platform/Files/FileManager.h"
#include "Platform/Files/RegularFile.h"

#include <array>

namespace vornelo::platform {

namespace {

constexpr std::array<UserDirsFile::Key, 8> keyTable{{
    {"XDG_DESKTOP_DIR", "Desktop", "Desktop"},
    {"XDG_DOWNLOAD_DIR", "Downloads", "Downloads"},
    {"XDG_TEMPLATES_DIR", "Templates", "Templates"},
    {"XDG_PUBLICSHARE_DIR", "Public", "Public"},
    {"XDG_DOCUMENTS_DIR", "Documents", "Documents"},
    {"XDG_MUSIC_DIR", "Music", "Music"},
    {"XDG_PICTURES_DIR", "Pictures", "Pictures"},
    {"XDG_VIDEOS_DIR", "Videos", "Videos"},
}};

constexpr std::string_view blanks = " \t";

std::string_view skipBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(blanks);
    return first == std::string_view::npos ? std::string_view{} : text.substr(first);
}

std::vector<UserDirectory> defaults(std::string_view home) {
    std::vector<UserDirectory> folders;
    for (const auto& key : keyTable) {
        folders.push_back({key.key, key.role, FileManager::joinedPath(std::string(home), key.englishName), false});
    }
    return folders;
}

}  // namespace

std::span<const UserDirsFile::Key> UserDirsFile::keys() { return keyTable; }

std::optional<std::string> UserDirsFile::value(std::string_view quoted, std::string_view home) {
    if (quoted.empty() || quoted.front() != '"') return std::nullopt;
    quoted.remove_prefix(1);
    std::string path;
    constexpr std::string_view homeVariable = "$HOME";
    if (quoted.starts_with(homeVariable) && (quoted.size() == homeVariable.size() || quoted[homeVariable.size()] == '/' ||
                                             quoted[homeVariable.size()] == '"')) {
        path = home;
        quoted.remove_prefix(homeVariable.size());
    } else if (quoted.empty() || quoted.front() != '/') {
        return std::nullopt;  // relative paths and other variables are not part of the format
    }
    bool closed = false;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        const char c = quoted[i];
        if (c == '"') {
            closed = true;
            break;
        }
        if (c == '\\' && i + 1 < quoted.size()) {
            path.push_back(quoted[++i]);
            continue;
        }
        // A folder name never holds these; a file that does is not one the desktop wrote.
        if (c == '\0' || c == '\n' || c == '\r') return std::nullopt;
        path.push_back(c);
    }
    if (!closed || path.empty() || path.front() != '/') return std::nullopt;
    return FileManager::standardizedPath(path);
}

std::vector<UserDirectory> UserDirsFile::parse(std::string_view text, std::string_view home) {
    auto folders = defaults(home);
    while (!text.empty()) {
        const auto end = text.find('\n');
        auto line = skipBlanks(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == '#') continue;
        for (auto& folder : folders) {
            if (!line.starts_with(folder.key)) continue;
            auto rest = skipBlanks(line.substr(folder.key.size()));
            if (rest.empty() || rest.front() != '=') break;
            // Later lines win, as when the shell reads the file.
            if (auto path = value(skipBlanks(rest.substr(1)), home)) {
                folder.path = std::move(*path);
                folder.named = true;
            }
            break;
        }
    }
    return folders;
}

UserDirsFile::Reading UserDirsFile::read(const std::filesystem::path& file, std::string_view home) {
    const auto text = RegularFile::contents(file, maxBytes);
    if (!text) {
        Reading reading{defaults(home), std::nullopt};
        if (!text.error().isCocoa(FileError::readNoSuchFile) && !text.error().isCocoa(FileError::noSuchFile)) {
            reading.problem = text.error().description;
        }
        return reading;
    }
    return Reading{parse(*text, home), std::nullopt};
}

}  // namespace vornelo::platform

#include "Platform/System/LoginItems.h"

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <optional>

namespace vornelo::platform {

namespace {

constexpr std::string_view entryGroup = "Desktop Entry";

using Keys = std::map<std::string, std::string, std::less<>>;

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\r";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The keys of the "[Desktop Entry]" group, or nothing when the file has no such group. Later
// duplicates win; keys of other groups and localised variants ("Name[de]") are kept as written.
std::optional<Keys> desktopEntryKeys(std::string_view text) {
    std::optional<Keys> keys;
    bool inEntryGroup = false;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const auto line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            inEntryGroup = line.substr(1, line.size() - 2) == entryGroup;
            if (inEntryGroup && !keys) keys.emplace();
            continue;
        }
        const auto equals = line.find('=');
        if (!inEntryGroup || equals == std::string_view::npos) continue;
        (*keys)[std::string(trimmed(line.substr(0, equals)))] = std::string(trimmed(line.substr(equals + 1)));
    }
    return keys;
}

// The desktop-entry booleans, with the numeric spellings sessions also accept.
std::optional<bool> booleanValue(const Keys& keys, std::string_view key) {
    const auto found = keys.find(key);
    if (found == keys.end()) return std::nullopt;
    if (found->second == "true" || found->second == "1") return true;
    if (found->second == "false" || found->second == "0") return false;
    return std::nullopt;
}

LoginItemStatus statusOfEntry(const Keys& keys) {
    const auto type = keys.find(std::string_view("Type"));
    if (type != keys.end() && type->second != "Application") return LoginItemStatus::notFound;
    const auto exec = keys.find(std::string_view("Exec"));
    if (exec == keys.end() || exec->second.empty()) return LoginItemStatus::notFound;
    if (booleanValue(keys, "Hidden") == true) return LoginItemStatus::requiresApproval;
    if (booleanValue(keys, "X-GNOME-Autostart-enabled") == false) return LoginItemStatus::requiresApproval;
    return LoginItemStatus::enabled;
}

enum class ReadFailure { missing, unusable };

std::expected<std::string, ReadFailure> readEntry(const std::filesystem::path& path) {
    FileDescriptor fd(retryOnInterrupt(
        [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); }));
    if (!fd) return std::unexpected(errno == ENOENT || errno == ENOTDIR ? ReadFailure::missing : ReadFailure::unusable);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::unexpected(ReadFailure::unusable);
    std::string text;
    char chunk[8192];
    for (;;) {
        const auto got = retryOnInterrupt([&] { return ::read(fd.get(), chunk, sizeof chunk); });
        if (got < 0) return std::unexpected(ReadFailure::unusable);
        if (got == 0) return text;
        if (text.size() + static_cast<std::size_t>(got) > LoginItemService::maximumEntryBytes) {
            return std::unexpected(ReadFailure::unusable);
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

// Desktop-entry string escapes, applied to every value written.
std::string escapedValue(std::string_view value) {
    std::string escaped;
    for (const char c : value) {
        switch (c) {
            case '\\': escaped += "\\\\"; break;
            case '\n': escaped += "\\n"; break;
            case '\t': escaped += "\\t"; break;
            case '\r': escaped += "\\r"; break;
            default: escaped.push_back(c);
        }
    }
    return escaped;
}

// One argument of an Exec line: quoted when it holds a reserved character, "%" doubled so that
// it is never read as a field code.
std::string execArgument(std::string_view argument) {
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    constexpr std::string_view escapedInQuotes = "\"`$\\";
    const bool quote = argument.empty() || argument.find_first_of(reserved) != std::string_view::npos;
    std::string text;
    for (const char c : argument) {
        if (c == '%') {
            text += "%%";
            continue;
        }
        if (quote && escapedInQuotes.find(c) != std::string_view::npos) text.push_back('\\');
        text.push_back(c);
    }
    return quote ? "\"" + text + "\"" : text;
}

}  // namespace

std::string_view loginItemStatusName(LoginItemStatus status) {
    switch (status) {
        case LoginItemStatus::notRegistered: return "notRegistered";
        case LoginItemStatus::enabled: return "enabled";
        case LoginItemStatus::requiresApproval: return "requiresApproval";
        case LoginItemStatus::notFound: return "notFound";
    }
    return "notFound";
}

std::filesystem::path LoginItemService::autostartDirectory() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
        return std::filesystem::path(FileManager::standardizedPath(config)) / "autostart";
    }
    return std::filesystem::path(FileManager::defaultManager().homeDirectoryForCurrentUser()) / ".config" / "autostart";
}

LoginItemService::LoginItemService(Application application, std::filesystem::path directory)
    : application_(std::move(application)), directory_(std::move(directory)) {}

std::filesystem::path LoginItemService::entryPath() const {
    return directory_ / (application_.bundleIdentifier + ".desktop");
}

std::string LoginItemService::entryText() const {
    std::string exec;
    for (const auto& argument : application_.command) {
        if (!exec.empty()) exec.push_back(' ');
        exec += execArgument(argument);
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=" + escapedValue(application_.name) + "\n"
           "Exec=" + escapedValue(exec) + "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

std::expected<void, FileError> LoginItemService::checkIdentifier() const {
    const auto& identifier = application_.bundleIdentifier;
    if (identifier.empty() || identifier == "." || identifier == ".." ||
        identifier.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
        return std::unexpected(FileError::fromErrno(EINVAL, FileOperation::write, entryPath().native()));
    }
    return {};
}

LoginItemStatus LoginItemService::status() const {
    if (!checkIdentifier()) return LoginItemStatus::notFound;
    const auto text = readEntry(entryPath());
    if (!text) return text.error() == ReadFailure::missing ? LoginItemStatus::notRegistered : LoginItemStatus::notFound;
    const auto keys = desktopEntryKeys(*text);
    if (!keys) return LoginItemStatus::notFound;
    return statusOfEntry(*keys);
}

std::expected<void, FileError> LoginItemService::registerItem() const {
    if (auto valid = checkIdentifier(); !valid) return valid;
    if (application_.command.empty() || application_.command.front().empty()) {
        return std::unexpected(FileError::fromErrno(EINVAL, FileOperation::write, entryPath().native()));
    }
    const auto& fileManager = FileManager::defaultManager();
    if (auto made = fileManager.createDirectory(directory_, true, 0700); !made) return made;
    const auto text = entryText();
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return fileManager.writeAtomically(entryPath(), bytes, AtomicWriteOptions{0644, true});
}

std::expected<void, FileError> LoginItemService::unregisterItem() const {
    if (auto valid = checkIdentifier(); !valid) return valid;
    const auto path = entryPath();
    // No entry (or no folder to hold one) is the state unregistering asks for.
    if (::unlink(path.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR) return {};
    return std::unexpected(FileError::fromErrno(errno, FileOperation::write, path.native()));
}

}  // namespace vornelo::platform

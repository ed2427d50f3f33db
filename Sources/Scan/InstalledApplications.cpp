#include "Scan/InstalledApplications.h"

#include "Platform/Encoding/Text.h"
#include "Platform/Files/FileManager.h"

#include <array>

namespace vornelo::scan {

namespace {

using platform::FileManager;
using platform::FileType;
using platform::Text;

constexpr std::size_t maxDesktopEntryBytes = 64 * 1024;
constexpr std::size_t shortestPrefix = 3;  // "x-" must not vouch for every "x-something"

// Folders whose entries are named after the software that put them there.
constexpr std::array systemFolders{
    std::string_view("/etc"),       std::string_view("/usr/share"),     std::string_view("/usr/lib"),
    std::string_view("/usr/libexec"), std::string_view("/usr/local/share"), std::string_view("/usr/local/lib"),
    std::string_view("/opt"),       std::string_view("/snap"),          std::string_view("/var/lib/flatpak/app"),
    std::string_view("/usr/bin"),   std::string_view("/usr/sbin"),      std::string_view("/usr/games"),
    std::string_view("/usr/local/bin"),
};

constexpr std::array desktopEntryFolders{
    std::string_view("/usr/share/applications"), std::string_view("/usr/local/share/applications"),
    std::string_view("/var/lib/flatpak/exports/share/applications"), std::string_view("/var/lib/snapd/desktop/applications"),
};

std::string_view withoutSuffix(std::string_view name, std::string_view suffix) {
    return name.ends_with(suffix) ? name.substr(0, name.size() - suffix.size()) : name;
}

std::string_view lastPart(std::string_view name) {
    const auto dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

// The value of `key` on a line of a desktop entry's text, first occurrence.
std::string_view valueOf(std::string_view text, std::string_view key) {
    while (!text.empty()) {
        const auto end = text.find('\n');
        const auto line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == '=') return line.substr(key.size() + 1);
    }
    return {};
}

void addDesktopEntries(InstalledApplications& names, const ScanContext& context, const std::string& folder) {
    for (const auto& entry : context.list(folder)) {
        if (!entry.name().ends_with(".desktop")) continue;
        const auto id = withoutSuffix(entry.name(), ".desktop");
        names.add(id);
        if (entry.type != FileType::regular) continue;
        const auto bytes = context.files().contentsOfFile(entry.path, maxDesktopEntryBytes);
        if (!bytes) continue;
        const std::string text(bytes->begin(), bytes->end());
        names.add(InstalledApplications::programOf(valueOf(text, "Exec")));
        names.add(valueOf(text, "StartupWMClass"));
    }
}

}  // namespace

void InstalledApplications::add(std::string_view name) {
    while (name.starts_with('.')) name.remove_prefix(1);
    if (name.empty()) return;
    names_.insert(Text::lowercased(name));
    // "org.gnome.Nautilus" vouches for "nautilus" too; "python3.11" does not for "11".
    if (const auto last = lastPart(name); last.size() >= shortestPrefix && last.size() < name.size()) {
        names_.insert(Text::lowercased(last));
    }
}

bool InstalledApplications::mentions(std::string_view name) const {
    while (name.starts_with('.')) name.remove_prefix(1);
    const auto lowered = Text::lowercased(name);
    if (lowered.empty() || names_.contains(lowered) || names_.contains(std::string(lastPart(lowered)))) return true;
    for (std::size_t at = shortestPrefix; at < lowered.size(); ++at) {
        const char c = lowered[at];
        if ((c == '-' || c == '.' || c == '_') && names_.contains(lowered.substr(0, at))) return true;
    }
    return false;
}

std::string InstalledApplications::programOf(std::string_view execLine) {
    while (execLine.starts_with(' ')) execLine.remove_prefix(1);
    // "env NAME=value program ..." runs the program after the assignments.
    if (execLine.starts_with("env ")) {
        execLine.remove_prefix(4);
        for (;;) {
            while (execLine.starts_with(' ')) execLine.remove_prefix(1);
            const auto word = execLine.substr(0, execLine.find(' '));
            if (word.find('=') == std::string_view::npos) break;
            execLine.remove_prefix(word.size());
        }
    }
    std::string_view program;
    if (execLine.starts_with('"')) {
        const auto close = execLine.find('"', 1);
        program = execLine.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
    } else {
        program = execLine.substr(0, execLine.find(' '));
    }
    const auto slash = program.rfind('/');
    if (slash != std::string_view::npos) program.remove_prefix(slash + 1);
    return std::string(program);
}

InstalledApplications InstalledApplications::gather(const ScanContext& context) {
    const auto& places = context.places();
    InstalledApplications names;
    addDesktopEntries(names, context, FileManager::joinedPath(places.dataHome, "applications"));
    addDesktopEntries(names, context, FileManager::joinedPath(places.dataHome, "flatpak/exports/share/applications"));
    for (const auto& folder : places.dataDirs) addDesktopEntries(names, context, FileManager::joinedPath(folder, "applications"));
    for (const auto folder : desktopEntryFolders) addDesktopEntries(names, context, places.system(folder));

    std::vector<std::string> folders = places.executableDirs;
    folders.push_back(places.inHome(".local/bin"));
    folders.push_back(FileManager::joinedPath(places.dataHome, "flatpak/app"));
    for (const auto folder : systemFolders) folders.push_back(places.system(folder));
    for (const auto& folder : folders) {
        for (const auto& entry : context.list(folder)) {
            names.add(entry.name());
        }
    }
    // Debian's package database: one "<package>[:<arch>].list" per installed package.
    for (const auto& entry : context.list(places.system("/var/lib/dpkg/info"))) {
        if (!entry.name().ends_with(".list")) continue;
        const auto package = withoutSuffix(entry.name(), ".list");
        names.add(package.substr(0, package.find(':')));
    }
    return names;
}

}  // namespace vornelo::scan

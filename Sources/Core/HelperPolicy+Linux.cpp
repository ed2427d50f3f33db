// HelperPolicy's Linux places: what vendors install outside a package manager, judged item by item.

#include "Core/HelperPolicy+Internal.h"

#include "Platform/Encoding/Text.h"

#include <algorithm>
#include <array>

namespace vornelo {

namespace {

using platform::FileType;
using platform::Text;

bool liesWithin(std::string_view path, std::string_view root) {
    const auto folder = PathProtection::normalise(root);
    if (folder.empty() || !path.starts_with(folder)) return false;
    return path.size() == folder.size() || path[folder.size()] == '/' || folder == "/";
}

// The component right after `root` in `path`, or "" when there is none.
std::string_view componentAfter(std::string_view path, std::string_view root) {
    const auto folder = PathProtection::normalise(root);
    if (path.size() <= folder.size() + 1) return {};
    auto rest = path.substr(folder.size() + 1);
    return rest.substr(0, rest.find('/'));
}

// Unit types a file in /etc/systemd/system can define; devices and scopes exist only at run time.
constexpr std::array<std::string_view, 9> unitSuffixes = {".service", ".socket", ".timer", ".path", ".mount",
                                                          ".automount", ".swap", ".target", ".slice"};

// Names (without their type; a template as "name@") of units the system cannot do without:
// systemd's own and its standard targets, the bus, polkit, logins, networking and remote login.
constexpr std::array<std::string_view, 49> systemUnitPatterns = {
    "systemd-*", "-", "init", "dbus", "dbus-*", "polkit*", "getty*", "serial-getty@", "console-getty",
    "container-getty@", "autovt@", "user@", "user-runtime-dir@", "user", "system", "display-manager",
    "gdm*", "lightdm", "sddm", "NetworkManager*", "network*", "wpa_supplicant*", "ModemManager",
    "connman*", "iwd", "ifup@", "dhcpcd*", "ssh", "ssh@", "sshd", "sshd@", "sshd-*", "basic", "default",
    "graphical", "multi-user", "sysinit", "sockets", "timers", "paths", "slices", "local-fs*",
    "remote-fs*", "emergency", "rescue", "shutdown", "reboot", "poweroff", "halt",
};

std::optional<std::string_view> unitType(std::string_view name) {
    for (const auto suffix : unitSuffixes) {
        if (name.size() > suffix.size() && name.ends_with(suffix)) return suffix;
    }
    return std::nullopt;
}

bool namesVornelo(std::string_view name) {
    const auto lowered = Text::lowercased(name);
    return Text::hasPrefix(lowered, "vornelo") || Text::hasPrefix(lowered, "com.tessaldon.vornelo");
}

std::expected<void, HelperPolicy::Rejection> unitRules(const HelperPolicy::Judgement& item) {
    using helper_policy::refuse;
    const auto type = unitType(item.name);
    if (item.type != FileType::regular || !type) return refuse(HelperPolicy::notUnitFile);
    if (namesVornelo(item.name)) return refuse(HelperPolicy::ownHelper);
    if (HelperPolicy::isSystemUnit(item.name)) return refuse(HelperPolicy::neededBySystem);
    return {};
}

}  // namespace

HelperPolicy::LinuxRoots HelperPolicy::LinuxRoots::under(const std::string& prefix) const {
    const auto moved = [&](const std::string& folder) { return PathProtection::normalise(prefix) + folder; };
    LinuxRoots roots;
    roots.applications = moved(applications);
    roots.units = moved(units);
    roots.flatpak = moved(flatpak);
    for (auto* list : {&roots.tools, &roots.desktopEntries, &roots.distributionUnits, &roots.snap}) list->clear();
    for (const auto& folder : tools) roots.tools.push_back(moved(folder));
    for (const auto& folder : desktopEntries) roots.desktopEntries.push_back(moved(folder));
    for (const auto& folder : distributionUnits) roots.distributionUnits.push_back(moved(folder));
    for (const auto& folder : snap) roots.snap.push_back(moved(folder));
    return roots;
}

bool HelperPolicy::LinuxRoots::holds(std::string_view path) const {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos || slash + 1 == path.size()) return false;
    const auto parent = PathProtection::normalise(path.substr(0, slash == 0 ? 1 : slash));
    const auto is = [&](const std::string& root) { return PathProtection::normalise(root) == parent; };
    return is(applications) || is(units) || std::ranges::any_of(tools, is) || std::ranges::any_of(desktopEntries, is);
}

bool HelperPolicy::LinuxRoots::inApplications(std::string_view path) const {
    return holds(path) && liesWithin(path, applications);
}

bool HelperPolicy::isSystemUnit(std::string_view unitName) {
    auto stem = unitName;
    if (const auto type = unitType(unitName)) stem.remove_suffix(type->size());
    const auto at = stem.find('@');
    const auto templateName = at == std::string_view::npos ? stem : stem.substr(0, at + 1);
    return std::ranges::any_of(systemUnitPatterns, [&](std::string_view pattern) {
        return PathProtection::matches(stem, pattern) || PathProtection::matches(templateName, pattern);
    });
}

namespace helper_policy {

std::optional<std::string> linuxInstallation(std::string_view path, const HelperPolicy::LinuxRoots& roots) {
    if (liesWithin(path, roots.flatpak)) {
        const auto kind = componentAfter(path, roots.flatpak);
        const auto id = (kind == "app" || kind == "runtime") ? componentAfter(path, PathProtection::normalise(roots.flatpak) + "/" + std::string(kind))
                                                             : std::string_view{};
        return "Installed by Flatpak; remove it with flatpak uninstall" + (id.empty() ? std::string() : " " + std::string(id)) + ".";
    }
    for (const auto& root : roots.snap) {
        if (!liesWithin(path, root)) continue;
        auto name = componentAfter(path, root);
        if (name == "bin") name = componentAfter(path, PathProtection::normalise(root) + "/bin");
        // Snaps live in /snap/<name>; /var/lib/snapd is snapd's own state, named by no snap.
        if (PathProtection::normalise(root) != PathProtection::normalise(roots.snap.front())) name = {};
        name = name.substr(0, name.find('.'));
        return "Installed by Snap; remove it with snap remove" + (name.empty() ? std::string() : " " + std::string(name)) + ".";
    }
    for (const auto& root : roots.distributionUnits) {
        if (liesWithin(path, root)) return std::string(HelperPolicy::distributionUnit);
    }
    return std::nullopt;
}

std::expected<void, HelperPolicy::Rejection> linuxRules(HelperPolicy::Judgement& item, const std::string& parent,
                                                        const HelperPolicy::LinuxRoots& roots) {
    const auto is = [&](const std::string& root) { return PathProtection::normalise(root) == parent; };
    if (is(roots.units)) {
        item.kind = HelperPolicy::Kind::launchItem;
        return unitRules(item);
    }
    if (std::ranges::any_of(roots.tools, is)) {
        item.kind = HelperPolicy::Kind::helperTool;
        if (item.type != FileType::regular) return refuse(HelperPolicy::notProgram);
        if (namesVornelo(item.name)) return refuse(HelperPolicy::removesItself);
        return {};
    }
    item.kind = HelperPolicy::Kind::application;
    if (std::ranges::any_of(roots.desktopEntries, is)) {
        if (item.type != FileType::regular || !item.name.ends_with(".desktop") || item.name == ".desktop") {
            return refuse(HelperPolicy::notDesktopEntry);
        }
        if (namesVornelo(item.name)) return refuse(HelperPolicy::removesItself);
        return {};
    }
    if (item.type != FileType::directory) return refuse(HelperPolicy::onlyFolders);
    if (namesVornelo(item.name)) return refuse(HelperPolicy::removesItself);
    return {};
}

}  // namespace helper_policy

}  // namespace vornelo

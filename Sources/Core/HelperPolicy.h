#pragma once
// Which paths the root helper may move into a user's Trash, and what kind of item each is.
//
// Only three shapes are accepted: an ".app" bundle directly in the applications root or one plain
// folder below it; a ".plist" regular file in <library>/LaunchDaemons or <library>/LaunchAgents;
// a regular file in <library>/PrivilegedHelperTools. Beside them, when Linux roots are given, the
// places vendors install into outside a package manager, each item directly in its root: a folder
// in /opt (an application), a regular file in /usr/local/bin or /usr/local/sbin (a helper tool), a
// regular unit file in /etc/systemd/system (a launch item), a regular ".desktop" file in
// /usr/local/share/applications or /usr/share/applications (an application: it is how the desktop
// shows one). The subtree rules of the path protection that cover a Linux root as a whole (/usr,
// /etc) do not refuse the items directly in it; every other rule still does. Everything else is
// refused with a sentence for the user. The policy keeps no state: every call reads the file system afresh and may run on
// any thread, concurrently, given a thread-safe PathProtection and file manager.
//
// What is judged, and how. The request path itself must be absolute, already standardised (no
// ".", "..", repeated or trailing "/"), reach its item through no symbolic link, and not be one.
// So once accepted, `Judgement::location` is byte for byte the request path, every folder on the
// way to it is a real folder, and `identity` is the item that lstat found there. Location rules
// compare the normalised spelling (PathProtection::normalise) with the normalised roots. An
// application's identifier is read from <location>/Contents/Info.plist (XML or binary, at most
// maxInfoPlistBytes, a regular file reached through no link).
//
// A verdict holds only for the moment it was made. A caller acting with privileges must act on
// what was judged: open `parent` without following links (openat2 with RESOLVE_NO_SYMLINKS),
// check that `name` in that folder is still `identity` (device and file number, not following a
// link), and move it relative to that descriptor; a mismatch means the item changed since it was
// judged and must be refused. The bundle's contents, identifier included, stay its owner's to
// change at any time; the judgement vouches for the item's place and identity, not for them.

#include "Core/PathProtection.h"
#include "Platform/Files/FileManager.h"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo {

struct HelperPolicy {
    enum class Kind : int { application = 0, launchItem = 1, helperTool = 2 };

    // A refusal, with the sentence shown to the user. Equal when the reasons are equal.
    struct Rejection {
        std::string reason;
        [[nodiscard]] const std::string& description() const { return reason; }
        friend bool operator==(const Rejection&, const Rejection&) = default;
    };

    // An accepted path: what it is and exactly which item was judged (see the header comment).
    struct Judgement {
        Kind kind = Kind::application;
        std::filesystem::path location;  // the request path, proven canonical and free of links
        std::filesystem::path parent;    // its folder, as written
        std::string name;                // its last component
        platform::FileType type = platform::FileType::other;
        dev_t device = 0;                // identity of the item lstat found at `location`
        std::uint64_t fileNumber = 0;
    };

    // The seventeen reasons, in the order the steps can produce them.
    static constexpr std::string_view notAbsolute = "Not an absolute path.";
    static constexpr std::string_view notCanonical = "Path is not in canonical form.";
    static constexpr std::string_view throughSymbolicLink = "Path goes through a symbolic link.";
    static constexpr std::string_view noLongerExists = "No longer exists.";
    static constexpr std::string_view isSymbolicLink = "Is a symbolic link.";
    static constexpr std::string_view protectedPath = "Protected path.";
    static constexpr std::string_view outsideLocations = "Outside the locations the helper may modify.";
    static constexpr std::string_view onlyBundles = "Only application bundles can be removed from Applications.";
    static constexpr std::string_view invalidBundle = "Not a valid application bundle.";
    static constexpr std::string_view removesItself = "Vornelo can't remove itself.";
    static constexpr std::string_view partOfMacOS = "Part of macOS.";
    static constexpr std::string_view securitySoftware = "Security or device-management software.";
    static constexpr std::string_view notLaunchPlist = "Not a launch plist.";
    static constexpr std::string_view notHelperTool = "Not a helper tool.";
    static constexpr std::string_view notBundleIdentifier = "Not named after a bundle identifier.";
    static constexpr std::string_view ownHelper = "Vornelo can't remove its own helper.";
    static constexpr std::string_view protectedItem = "Protected item.";

    // The Linux places of software installed for all users, and the installations of other kinds
    // whose items are refused with the tool that removes them. Tests give their own folders.
    struct LinuxRoots {
        std::string applications = "/opt";
        std::vector<std::string> tools = {"/usr/local/bin", "/usr/local/sbin"};
        std::string units = "/etc/systemd/system";
        std::vector<std::string> desktopEntries = {"/usr/local/share/applications", "/usr/share/applications"};
        std::vector<std::string> distributionUnits = {"/usr/lib/systemd", "/lib/systemd"};
        std::string flatpak = "/var/lib/flatpak";
        std::vector<std::string> snap = {"/snap", "/var/lib/snapd"};

        // Every folder given with `prefix` in front of it (rehearsals and tests).
        [[nodiscard]] LinuxRoots under(const std::string& prefix) const;
        // Whether the normalised path names an item directly in one of the roots items are removed from.
        [[nodiscard]] bool holds(std::string_view path) const;
        // Whether it lies in the applications root (a folder there, when accepted).
        [[nodiscard]] bool inApplications(std::string_view path) const;
    };

    struct Roots {
        std::string applications{"/Applications"};
        std::string library{"/Library"};
        std::optional<LinuxRoots> linuxRoots;  // none: the macOS roots alone
    };

    // The Linux rules' reasons.
    static constexpr std::string_view onlyFolders = "Only application folders can be removed from /opt.";
    static constexpr std::string_view notProgram = "Not a program file.";
    static constexpr std::string_view notUnitFile = "Not a systemd unit file.";
    static constexpr std::string_view neededBySystem = "Needed by the system.";
    static constexpr std::string_view distributionUnit =
        "A unit of the distribution; only units installed into /etc/systemd/system can be removed.";
    static constexpr std::string_view notDesktopEntry = "Not a desktop entry.";

    // Larger information property lists are refused as not valid; real ones are a few kilobytes.
    static constexpr std::size_t maxInfoPlistBytes = 1024 * 1024;

    // "application", "launchItem", "helperTool".
    [[nodiscard]] static std::string_view rawValue(Kind kind);

    // The helper's rules: home "/var/empty", no exclusions, no extra prefixes, so no user's
    // settings enter a root decision. Built once, on first use.
    static const PathProtection& defaultProtection();

    [[nodiscard]] static std::expected<Kind, Rejection> validateRemoval(
        std::string_view path, std::string_view applicationsRoot, std::string_view libraryRoot,
        const PathProtection& protection = defaultProtection(),
        const platform::FileManager& fileManager = platform::FileManager::defaultManager());

    // The same verdict with what was judged, for callers that go on to act on the item.
    [[nodiscard]] static std::expected<Judgement, Rejection> judgeRemoval(
        std::string_view path, std::string_view applicationsRoot, std::string_view libraryRoot,
        const PathProtection& protection = defaultProtection(),
        const platform::FileManager& fileManager = platform::FileManager::defaultManager());

    // Either platform's roots: the macOS rules first, then the Linux ones when given.
    [[nodiscard]] static std::expected<Judgement, Rejection> judgeRemoval(
        std::string_view path, const Roots& roots, const PathProtection& protection = defaultProtection(),
        const platform::FileManager& fileManager = platform::FileManager::defaultManager());
    [[nodiscard]] static std::expected<Kind, Rejection> validateRemoval(
        std::string_view path, const Roots& roots, const PathProtection& protection = defaultProtection(),
        const platform::FileManager& fileManager = platform::FileManager::defaultManager());

    // A unit name the system needs (systemd's, D-Bus, polkit, login, network, remote login).
    [[nodiscard]] static bool isSystemUnit(std::string_view unitName);

    // A launchd label or helper-tool name: dotted like a bundle identifier, not the system's, not
    // the helper's own, not system-critical, not security software.
    [[nodiscard]] static std::expected<void, Rejection> validateIdentifier(std::string_view name,
                                                                           const PathProtection& protection);
};

}  // namespace vornelo

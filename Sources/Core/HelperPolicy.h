#pragma once
// Which paths the root helper may move into a user's Trash, and what kind of item each is.
//
// Only three shapes are accepted: an ".app" bundle directly in the applications root or one plain
// folder below it; a ".plist" regular file in <library>/LaunchDaemons or <library>/LaunchAgents;
// a regular file in <library>/PrivilegedHelperTools. Everything else is refused with a sentence
// for the user. The policy keeps no state: every call reads the file system afresh and may run on
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

    // A launchd label or helper-tool name: dotted like a bundle identifier, not the system's, not
    // the helper's own, not system-critical, not security software.
    [[nodiscard]] static std::expected<void, Rejection> validateIdentifier(std::string_view name,
                                                                           const PathProtection& protection);
};

}  // namespace vornelo

#include "Core/PathProtection.h"

#include "Core/ExclusionStore.h"
#include "Core/ManagedPolicy.h"
#include "Platform/System/SystemLocations.h"
#include "Platform/Encoding/Text.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <mutex>
#include <unordered_set>

namespace vornelo {

namespace {

using platform::Text;

constexpr std::array<std::string_view, 12> containerTable = {
    "/",     "/Users", "/Users/Shared", "/Applications", "/Applications/Utilities", "/Library",
    "/Volumes", "/opt", "/var",        "/var/folders",  "/tmp",                    "/private",
};

constexpr std::array<std::string_view, 13> subtreeTable = {
    "/System",          "/Library/Apple", "/Library/AppleInternal", "/Library/Updates",
    "/Library/Keychains", "/Library/Application Support/com.apple.TCC", "/macOS Install Data",
    "/usr",             "/bin",           "/sbin",                  "/etc",
    "/var/db",          "/cores",
};

constexpr std::array<std::string_view, 17> homeContainerTable = {
    "",          "Library",   "Library/Application Support", "Library/Caches", "Library/Preferences",
    "Library/Containers", "Library/Group Containers", "Library/Logs", "Library/LaunchAgents", "Documents",
    "Desktop",   "Downloads", "Pictures", "Movies", "Music", "Applications", ".Trash",
};

constexpr std::array<std::string_view, 8> homeSubtreeTable = {
    "Library/Keychains", "Library/Mail", "Library/Messages", "Library/Mobile Documents",
    "Library/Application Support/com.apple.TCC", "Library/Logs/Vornelo", ".ssh", ".gnupg",
};

constexpr std::array<std::string_view, 40> endpointPrefixTable = {
    "com.crowdstrike.",     "com.sentinelone.",       "com.sentinel-labs.",   "com.eset.",
    "com.jamf.",            "com.jamfsoftware.",      "com.microsoft.wdav",   "com.microsoft.intune",
    "com.microsoft.CompanyPortal", "com.sophos.",     "com.paloaltonetworks.", "com.carbonblack.",
    "com.vmware.carbonblack", "com.cisco.amp",        "com.cisco.secureclient", "com.cisco.anyconnect",
    "com.kandji.",          "io.kandji.",             "com.mosyle.",          "com.addigy.",
    "com.hexnode.",         "com.trendmicro.",        "com.symantec.",        "com.broadcom.",
    "com.mcafee.",          "com.trellix.",           "com.bitdefender.",     "com.malwarebytes.",
    "com.elastic.",         "co.elastic.",            "com.tanium.",          "com.zscaler.",
    "com.netskope.",        "com.fortinet.",          "com.checkpoint.",      "com.cybereason.",
    "com.fireeye.",         "com.rapid7.",            "com.qualys.",          "com.tenable.",
};

constexpr std::array<std::string_view, 97> systemCriticalTable = {
    "com.apple.finder", "com.apple.dock", "com.apple.Safari", "com.apple.mail", "com.apple.systempreferences",
    "com.apple.SystemSettings", "com.apple.Settings*", "com.apple.controlcenter*", "com.apple.Spotlight",
    "com.apple.notificationcenterui", "com.apple.loginwindow", "com.apple.Preview", "com.apple.TextEdit",
    "com.apple.Notes", "com.apple.reminders", "com.apple.iCal", "com.apple.AddressBook", "com.apple.Photos",
    "com.apple.AppStore", "com.apple.calculator", "com.apple.Dictionary", "com.apple.ScreenSharing",
    "com.apple.ActivityMonitor", "com.apple.Console", "com.apple.DiskUtility", "com.apple.KeychainAccess",
    "com.apple.DigitalColorMeter", "com.apple.grapher", "com.apple.Terminal", "com.apple.ScriptEditor2",
    "com.apple.VoiceOverUtility", "com.apple.BluetoothFileExchange", "com.apple.print.PrinterProxy",
    "com.apple.systempreferences*", "com.apple.SystemProfiler", "com.apple.FontBook",
    "com.apple.ColorSyncUtility", "com.apple.audio.AudioMIDISetup", "com.apple.Directoryutility",
    "com.apple.NetworkUtility", "com.apple.exposelauncher", "com.apple.MigrateAssistant",
    "com.apple.RAIDUtility", "com.apple.BootCampAssistant", "com.apple.bootcampassistant",
    "com.apple.SecurityAgent", "com.apple.CoreServices*", "com.apple.SystemUIServer",
    "com.apple.backgroundtaskmanagement*", "com.apple.loginitems*", "com.apple.sharedfilelist*",
    "com.apple.sfl*", "com.apple.coreservices*", "com.apple.metadata*", "com.apple.MobileSoftwareUpdate*",
    "com.apple.SoftwareUpdate*", "com.apple.installer*", "com.apple.frameworks*", "com.apple.security*",
    "com.apple.keychain*", "com.apple.trustd*", "com.apple.securityd*", "com.apple.cloudd*",
    "com.apple.iCloud*", "com.apple.WiFi*", "com.apple.airport*", "com.apple.Bluetooth*",
    "com.apple.inputmethod.*", "com.apple.inputsource*", "com.apple.TextInput*", "com.apple.CharacterPicker*",
    "com.apple.PressAndHold*", "loginwindow", "dock", "systempreferences", "finder",
    "backgroundtaskmanagementagent", "keychain*", "security*", "bluetooth*", "wifi*", "network*", "tcc",
    "notification*", "accessibility*", "universalaccess*", "HIToolbox*", "textinput*", "TextInput*",
    "keyboard*", "Keyboard*", "inputsource*", "InputSource*", "keylayout*", "KeyLayout*",
    "GlobalPreferences", ".GlobalPreferences",
};

constexpr std::array<std::string_view, 3> aliasRoots = {"/var", "/tmp", "/etc"};

constexpr std::size_t maxListedEntries = 2000;

// P lies within R: R is not empty and P is R or begins with R followed by "/".
bool liesWithin(std::string_view path, std::string_view root) {
    if (root.empty() || !Text::hasPrefix(path, root)) return false;
    return path.size() == root.size() || path[root.size()] == '/';
}

const std::unordered_set<std::string_view>& containerSet() {
    static const std::unordered_set<std::string_view> set(containerTable.begin(), containerTable.end());
    return set;
}

const std::unordered_set<std::string_view>& platformContainerSet() {
    static const std::unordered_set<std::string_view> set = [] {
        std::unordered_set<std::string_view> paths;
        for (const auto& location : platform::SystemLocations::containers()) paths.insert(location.path);
        return paths;
    }();
    return set;
}

std::string joinHome(const std::string& home, std::string_view relative) {
    if (relative.empty()) return home;
    std::string joined = home;
    if (joined != "/") joined.push_back('/');  // a home of "/" gives "/.ssh", not "//.ssh"
    joined.append(relative);
    return joined;
}

ProtectionReason reason(ProtectionReason::Rule rule, std::string match, const std::string& path) {
    return ProtectionReason{rule, std::move(match), path, false, {}};
}

// ": it holds ..." for an operating system folder, ending the sentence.
std::string why(const std::string& location) {
    const auto reason = platform::SystemLocations::reasonFor(location);
    return reason ? ": it " + std::string(*reason) + "." : ".";
}

std::shared_ptr<const PathProtection::StringList> emptyList() {
    static const auto empty = std::make_shared<const PathProtection::StringList>();
    return empty;
}

}  // namespace

std::string_view ProtectionReason::ruleName(Rule rule) {
    switch (rule) {
        case Rule::emptyPath: return "emptyPath";
        case Rule::protectedContainer: return "protectedContainer";
        case Rule::protectedSubtree: return "protectedSubtree";
        case Rule::ancestorOfProtectedSubtree: return "ancestorOfProtectedSubtree";
        case Rule::platformContainer: return "platformContainer";
        case Rule::platformSubtree: return "platformSubtree";
        case Rule::ancestorOfPlatformSubtree: return "ancestorOfPlatformSubtree";
        case Rule::homeContainer: return "homeContainer";
        case Rule::homeSubtree: return "homeSubtree";
        case Rule::ancestorOfHomeSubtree: return "ancestorOfHomeSubtree";
        case Rule::platformHomeContainer: return "platformHomeContainer";
        case Rule::platformHomeSubtree: return "platformHomeSubtree";
        case Rule::ancestorOfPlatformHomeSubtree: return "ancestorOfPlatformHomeSubtree";
        case Rule::userFolder: return "userFolder";
        case Rule::trashFolder: return "trashFolder";
        case Rule::exclusion: return "exclusion";
        case Rule::ancestorOfExclusion: return "ancestorOfExclusion";
        case Rule::securitySoftware: return "securitySoftware";
    }
    return "emptyPath";
}

std::string ProtectionReason::description() const {
    std::string text;
    switch (rule) {
        case Rule::emptyPath: text = "An empty path is always protected."; break;
        case Rule::protectedContainer: text = "The system folder " + match + " itself is protected."; break;
        case Rule::protectedSubtree: text = "Inside the protected system folder " + match + "."; break;
        case Rule::ancestorOfProtectedSubtree: text = "Contains the protected system folder " + match + "."; break;
        case Rule::platformContainer:
            text = "The operating system folder " + match + " itself is protected" + why(match);
            break;
        case Rule::platformSubtree: text = "Inside the protected operating system folder " + match + why(match); break;
        case Rule::ancestorOfPlatformSubtree:
            text = "Contains the protected operating system folder " + match + why(match);
            break;
        case Rule::homeContainer: text = "The home folder " + match + " itself is protected."; break;
        case Rule::homeSubtree: text = "Inside the protected home folder " + match + "."; break;
        case Rule::ancestorOfHomeSubtree: text = "Contains the protected home folder " + match + "."; break;
        case Rule::platformHomeContainer:
        case Rule::trashFolder:
            text = "The folder " + match + " itself is protected: it " + explanation + ".";
            break;
        case Rule::platformHomeSubtree:
            text = judgedPath == match ? match + " is protected: it " + explanation + "."
                                       : "Inside " + match + ", which " + explanation + ".";
            break;
        case Rule::ancestorOfPlatformHomeSubtree: text = "Contains " + match + ", which " + explanation + "."; break;
        case Rule::userFolder: text = "The user folder " + match + " itself is protected: it " + explanation + "."; break;
        case Rule::exclusion: text = "Excluded by " + match + "."; break;
        case Rule::ancestorOfExclusion: text = "Contains the excluded path " + match + "."; break;
        case Rule::securitySoftware: text = "Belongs to security or device-management software (" + match + ")."; break;
    }
    if (throughSymbolicLink) text += " The path leads there through a symbolic link (" + judgedPath + ").";
    return text;
}

PathProtection::StringListProvider PathProtection::defaultExclusions() {
    return [] { return ExclusionStore::shared().normalisedPaths(); };
}

PathProtection::StringListProvider PathProtection::defaultExtraBundlePrefixes() {
    // Asked at every judged path, so a run of thousands of items would look at the managed file
    // thousands of times; an administrator's change is seen within a second instead.
    struct Cache {
        std::mutex lock;
        std::shared_ptr<const StringList> prefixes;
        std::chrono::steady_clock::time_point readAt;
    };
    static Cache cache;
    return [] {
        const auto now = std::chrono::steady_clock::now();
        {
            std::lock_guard guard(cache.lock);
            if (cache.prefixes && now - cache.readAt < std::chrono::seconds(1)) return cache.prefixes;
        }
        auto read = std::make_shared<const StringList>(ManagedPolicy::shared().protectedBundlePrefixes());
        std::lock_guard guard(cache.lock);
        cache.prefixes = read;
        cache.readAt = now;
        return read;
    };
}

PathProtection::StringListProvider PathProtection::noStrings() {
    return [] { return emptyList(); };
}

namespace {

// Joined once per rules object: every question compares against all of them. Candidates are
// judged both as written and resolved, so the home is joined in both spellings too.
template <std::size_t count>
std::vector<std::string> joinedWithHome(const std::vector<std::string>& homes,
                                        const std::array<std::string_view, count>& table) {
    std::vector<std::string> joined;
    joined.reserve(table.size() * homes.size());
    for (const auto& home : homes) {
        for (const auto relative : table) joined.push_back(joinHome(home, relative));
    }
    return joined;
}

// The home as given and, when it differs, the place its links lead to. A relative home is
// resolved against nothing: it stays as it is.
std::vector<std::string> homeSpellings(const std::string& home, const platform::FileManager& fileManager) {
    if (home.empty() || home.front() != '/') return {home};
    const auto resolved = PathProtection::normalise(fileManager.resolvingSymlinksInPath(home));
    if (resolved == home || resolved.empty()) return {home};
    return {home, resolved};
}

}  // namespace

PathProtection::PathProtection(const std::filesystem::path& home, StringListProvider exclusions,
                               StringListProvider extraBundlePrefixes, const platform::FileManager& fileManager)
    : PathProtection(platform::UserFolders::standard(home.native()), std::move(exclusions),
                     std::move(extraBundlePrefixes), fileManager) {}

PathProtection::PathProtection(const platform::UserFolders& folders, StringListProvider exclusions,
                               StringListProvider extraBundlePrefixes, const platform::FileManager& fileManager)
    : home_(normalise(folders.home)),
      exclusions_(exclusions ? std::move(exclusions) : noStrings()),
      extraBundlePrefixes_(extraBundlePrefixes ? std::move(extraBundlePrefixes) : noStrings()),
      fileManager_(fileManager) {
    const auto homes = homeSpellings(home_, fileManager_);
    homeContainers_ = joinedWithHome(homes, homeContainerTable);
    homeSubtrees_ = joinedWithHome(homes, homeSubtreeTable);
    joinLinuxRows(folders, homes);
}

const PathProtection& PathProtection::shared() {
    static const PathProtection protection(platform::UserFolders::currentUser(), defaultExclusions(),
                                           defaultExtraBundlePrefixes());
    return protection;
}

namespace {

// `path` with its leading `from` (a home spelling) replaced by `to`; nothing when it does not lie
// within `from`.
std::optional<std::string> respelled(const std::string& path, const std::string& from, const std::string& to) {
    if (!liesWithin(path, from) || from == to) return std::nullopt;
    return joinHome(to, std::string_view(path).substr(std::min(path.size(), from.size() + 1)));
}

void addPlace(std::vector<std::string>& paths, std::string path) {
    path = PathProtection::normalise(path);
    if (std::ranges::find(paths, path) == paths.end()) paths.push_back(std::move(path));
}

}  // namespace

// Each row joined with every spelling of its base: below each spelling of the home, and the
// relocated base folder (and its form through the resolved home) when an XDG variable moved it.
void PathProtection::joinLinuxRows(const platform::UserFolders& folders, const std::vector<std::string>& homes) {
    using Base = platform::UserFolders::Base;
    const auto spellings = [&](Base base, std::string_view relative) {
        std::vector<std::string> paths;
        const auto rest = [&](const std::string& root) { return joinHome(root, relative); };
        for (const auto& home : homes) {
            const auto below = platform::UserFolders::defaultRelativePath(base);
            addPlace(paths, rest(below.empty() ? home : joinHome(home, below)));
        }
        const auto relocated = normalise(folders.folder(base));
        addPlace(paths, rest(relocated));
        for (const auto& home : homes) {
            if (auto other = respelled(relocated, home_, home)) addPlace(paths, rest(*other));
        }
        return paths;
    };
    for (const auto& row : platform::SystemLocations::homeContainers()) {
        for (auto& path : spellings(row.base, row.path)) linuxContainers_.push_back({std::move(path), std::string(row.reason)});
    }
    for (const auto& row : platform::SystemLocations::homeSubtrees()) {
        const auto star = row.path.find("/*/");
        if (star == std::string_view::npos) {
            for (auto& path : spellings(row.base, row.path)) linuxSubtrees_.push_back({std::move(path), std::string(row.reason)});
            continue;
        }
        for (auto& prefix : spellings(row.base, row.path.substr(0, star))) {
            linuxPatterns_.push_back({std::move(prefix) + "/", std::string(row.path.substr(star + 3)), row.reason});
        }
    }
    // The application's own log folder, which the home table names by its place on the other platform.
    for (auto& path : spellings(Base::state, "vornelo")) linuxSubtrees_.push_back({std::move(path), "holds Vornelo's own operation log"});
    for (const auto& folder : folders.userDirectories) {
        const auto explanation = "is the " + std::string(folder.role) + " folder" +
                                 (folder.named ? " that user-dirs.dirs names" : "");
        std::vector<std::string> paths;
        addPlace(paths, folder.path);
        for (const auto& home : homes) {
            if (auto other = respelled(normalise(folder.path), home_, home)) addPlace(paths, *other);
        }
        for (auto& path : paths) userFolders_.push_back({std::move(path), explanation});
    }
}

std::optional<ProtectionReason> PathProtection::linuxHomeReason(const std::string& path) const {
    using Rule = ProtectionReason::Rule;
    const auto found = [&](Rule rule, const std::string& match, std::string_view explanation) {
        auto result = reason(rule, match, path);
        result.explanation = explanation;
        return result;
    };
    for (const auto& place : linuxContainers_) {
        if (path == place.path) return found(Rule::platformHomeContainer, place.path, place.explanation);
    }
    for (const auto& place : userFolders_) {
        if (path == place.path) return found(Rule::userFolder, place.path, place.explanation);
    }
    if (const auto trash = platform::SystemLocations::trashFolderReason(path)) return found(Rule::trashFolder, path, *trash);
    for (const auto& place : linuxSubtrees_) {
        if (liesWithin(path, place.path)) return found(Rule::platformHomeSubtree, place.path, place.explanation);
        if (liesWithin(place.path, path)) return found(Rule::ancestorOfPlatformHomeSubtree, place.path, place.explanation);
    }
    // "<prefix><any name>/<suffix>": the name is the one the path gives. Only a place that exists
    // makes its folders ancestors, or every application's folder would be protected.
    for (const auto& pattern : linuxPatterns_) {
        if (!Text::hasPrefix(path, pattern.prefix)) continue;
        const auto rest = std::string_view(path).substr(pattern.prefix.size());
        const auto name = rest.substr(0, rest.find('/'));
        if (name.empty()) continue;
        const auto instance = pattern.prefix + std::string(name) + "/" + pattern.suffix;
        if (liesWithin(path, instance)) return found(Rule::platformHomeSubtree, instance, pattern.explanation);
        if (liesWithin(instance, path) && fileManager_.fileExists(instance)) {
            return found(Rule::ancestorOfPlatformHomeSubtree, instance, pattern.explanation);
        }
    }
    return std::nullopt;
}

std::span<const std::string_view> PathProtection::protectedContainers() { return containerTable; }
std::span<const std::string_view> PathProtection::protectedSubtrees() { return subtreeTable; }
std::span<const std::string_view> PathProtection::protectedHomeContainers() { return homeContainerTable; }
std::span<const std::string_view> PathProtection::protectedHomeSubtrees() { return homeSubtreeTable; }
std::span<const std::string_view> PathProtection::systemCriticalBundles() { return systemCriticalTable; }

std::span<const std::string> PathProtection::endpointPrefixesLowercased() {
    static const std::vector<std::string> prefixes = [] {
        std::vector<std::string> lowered;
        for (const auto prefix : endpointPrefixTable) lowered.push_back(Text::lowercased(prefix));
        return lowered;
    }();
    return prefixes;
}

std::string PathProtection::normalise(std::string_view path) {
    while (path.size() >= 2 && path.back() == '/') path.remove_suffix(1);
    constexpr std::string_view privatePrefix = "/private";
    if (Text::hasPrefix(path, privatePrefix)) {
        const auto rest = path.substr(privatePrefix.size());
        for (const auto alias : aliasRoots) {
            if (liesWithin(rest, alias)) return std::string(rest);
        }
    }
    return std::string(path);
}

std::string PathProtection::strippingTeamID(std::string_view text) {
    const auto dot = text.find('.');
    if (dot != 10) return std::string(text);
    for (std::size_t i = 0; i < dot; ++i) {
        const char c = text[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return std::string(text);
    }
    return std::string(text.substr(dot + 1));
}

bool PathProtection::matches(std::string_view bundleID, std::string_view pattern) {
    if (pattern.find('*') == std::string_view::npos) return bundleID == pattern;
    std::vector<std::string_view> segments;
    std::size_t start = 0;
    for (;;) {
        const auto star = pattern.find('*', start);
        segments.push_back(pattern.substr(start, star == std::string_view::npos ? std::string_view::npos : star - start));
        if (star == std::string_view::npos) break;
        start = star + 1;
    }
    if (!Text::hasPrefix(bundleID, segments.front())) return false;
    std::size_t position = segments.front().size();
    for (std::size_t i = 1; i + 1 < segments.size(); ++i) {
        const auto found = bundleID.find(segments[i], position);
        if (found == std::string_view::npos) return false;
        position = found + segments[i].size();
    }
    const auto last = segments.back();
    return bundleID.size() - position >= last.size() && bundleID.ends_with(last);
}

std::vector<std::string> PathProtection::extraPrefixesLowercased() const {
    std::vector<std::string> prefixes;
    if (const auto extra = extraBundlePrefixes_()) {
        prefixes.reserve(extra->size());
        for (const auto& prefix : *extra) prefixes.push_back(Text::lowercased(prefix));
    }
    return prefixes;
}

// The administrator's extra prefixes first, then the built-in ones.
bool PathProtection::beginsWithSecurityPrefix(std::string_view lowered, const std::vector<std::string>& extra) {
    const auto starts = [&](const std::string& prefix) { return Text::hasPrefix(lowered, prefix); };
    return std::ranges::any_of(extra, starts) || std::ranges::any_of(endpointPrefixesLowercased(), starts);
}

std::optional<std::string> PathProtection::endpointSecurityComponent(std::string_view path) const {
    return endpointSecurityComponent(path, extraPrefixesLowercased());
}

std::optional<std::string> PathProtection::endpointSecurityComponent(std::string_view path,
                                                                     const std::vector<std::string>& extra) {
    std::size_t start = 0;
    while (start < path.size()) {
        auto slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        const auto component = path.substr(start, slash - start);
        start = slash + 1;
        if (component.empty()) continue;
        if (beginsWithSecurityPrefix(Text::lowercased(component), extra) ||
            beginsWithSecurityPrefix(Text::lowercased(strippingTeamID(component)), extra)) {
            return std::string(component);
        }
    }
    return std::nullopt;
}

std::optional<ProtectionReason> PathProtection::isProtected(const std::string& path, std::string_view installRoot) const {
    using Rule = ProtectionReason::Rule;
    // A subtree that holds the whole install root makes no verdict on the items directly in it.
    const auto covers = [&](std::string_view subtree) { return !installRoot.empty() && liesWithin(installRoot, subtree); };
    if (path.empty()) return reason(Rule::emptyPath, "", path);
    if (containerSet().contains(path)) return reason(Rule::protectedContainer, path, path);
    for (const auto subtree : subtreeTable) {
        if (liesWithin(path, subtree) && !covers(subtree)) return reason(Rule::protectedSubtree, std::string(subtree), path);
        if (liesWithin(subtree, path)) return reason(Rule::ancestorOfProtectedSubtree, std::string(subtree), path);
    }
    if (platformContainerSet().contains(path)) return reason(Rule::platformContainer, path, path);
    for (const auto& location : platform::SystemLocations::subtrees()) {
        const auto subtree = location.path;
        if (liesWithin(path, subtree) && !covers(subtree)) return reason(Rule::platformSubtree, std::string(subtree), path);
        if (liesWithin(subtree, path)) return reason(Rule::ancestorOfPlatformSubtree, std::string(subtree), path);
    }
    for (const auto& full : homeContainers_) {
        if (path == full) return reason(Rule::homeContainer, full, path);
    }
    for (const auto& full : homeSubtrees_) {
        if (liesWithin(path, full)) return reason(Rule::homeSubtree, full, path);
        if (liesWithin(full, path)) return reason(Rule::ancestorOfHomeSubtree, full, path);
    }
    if (auto found = linuxHomeReason(path)) return found;
    if (const auto exclusions = exclusions_(); exclusions && !exclusions->empty()) {
        const auto lowered = Text::lowercased(path);
        for (const auto& exclusion : *exclusions) {
            const auto loweredExclusion = Text::lowercased(exclusion);
            if (liesWithin(lowered, loweredExclusion)) return reason(Rule::exclusion, exclusion, path);
            if (liesWithin(loweredExclusion, lowered)) return reason(Rule::ancestorOfExclusion, exclusion, path);
        }
    }
    if (auto component = endpointSecurityComponent(path)) {
        return reason(Rule::securitySoftware, std::move(*component), path);
    }
    return std::nullopt;
}

std::optional<ProtectionReason> PathProtection::protectionReason(const std::filesystem::path& url) const {
    // Made absolute, an empty path would silently become the current directory.
    if (url.empty()) return reason(ProtectionReason::Rule::emptyPath, "", "");
    const auto standardized = platform::FileManager::absoluteStandardizedPath(url.native());
    const auto judged = normalise(standardized);
    if (auto found = isProtected(judged)) return found;
    const auto resolved = normalise(fileManager_.resolvingSymlinksInPath(standardized));
    if (resolved == judged) return std::nullopt;
    auto found = isProtected(resolved);
    if (found) found->throughSymbolicLink = true;
    return found;
}

bool PathProtection::shouldProtect(const std::filesystem::path& url) const { return protectionReason(url).has_value(); }

bool PathProtection::shouldProtectLinkFreePath(const std::filesystem::path& url) const {
    if (url.empty()) return true;
    return isProtected(normalise(platform::FileManager::absoluteStandardizedPath(url.native()))).has_value();
}

bool PathProtection::shouldProtectInInstallRoot(const std::filesystem::path& url, std::string_view installRoot) const {
    if (url.empty() || installRoot.empty()) return true;
    const auto path = normalise(platform::FileManager::absoluteStandardizedPath(url.native()));
    const auto root = normalise(installRoot);
    if (!liesWithin(path, root) || path == root) return true;
    return isProtected(path, root).has_value();
}

bool PathProtection::isSystemCriticalBundle(std::string_view bundleID) const {
    return std::ranges::any_of(systemCriticalTable, [&](std::string_view pattern) { return matches(bundleID, pattern); });
}

bool PathProtection::isEndpointSecurityBundle(std::string_view bundleID) const {
    return beginsWithSecurityPrefix(Text::lowercased(bundleID), extraPrefixesLowercased());
}

bool PathProtection::isEndpointSecurityPath(const std::filesystem::path& url) const {
    return endpointSecurityComponent(normalise(platform::FileManager::absoluteStandardizedPath(url.native()))).has_value();
}

bool PathProtection::containsEndpointSecurityItem(const std::filesystem::path& folder,
                                                  const platform::FileManager& fileManager) const {
    const auto entries = fileManager.contentsOfDirectory(folder);
    if (!entries) return false;
    // One question, one prefix list: the provider is not called once per name.
    const auto prefixes = extraPrefixesLowercased();
    const auto count = std::min(entries->size(), maxListedEntries);
    for (std::size_t i = 0; i < count; ++i) {
        const auto& entry = (*entries)[i];
        if (endpointSecurityComponent("/" + entry.url.filename().native(), prefixes)) return true;
        if (!entry.isDirectory.value_or(false)) continue;
        const auto names = fileManager.contentsOfDirectoryAtPath(entry.url);
        if (!names) continue;
        const auto innerCount = std::min(names->size(), maxListedEntries);
        for (std::size_t j = 0; j < innerCount; ++j) {
            if (endpointSecurityComponent("/" + (*names)[j], prefixes)) return true;
        }
    }
    return false;
}

}  // namespace vornelo

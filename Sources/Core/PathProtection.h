#pragma once
// The single authority on which locations must never be deleted, trashed or overwritten, and on
// which bundle identifiers belong to the operating system or to security software.
//
// A PathProtection value is immutable and may be shared between threads; the two provider
// functions it holds are called from any thread, concurrently.

#include "Platform/Files/FileManager.h"
#include "Platform/System/UserFolders.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo {

// Why a path is protected: the rule that decided it and the table entry, exclusion or path
// component that it matched.
struct ProtectionReason {
    enum class Rule {
        emptyPath,
        protectedContainer,
        protectedSubtree,
        ancestorOfProtectedSubtree,
        platformContainer,  // the operating system's own folders (platform::SystemLocations)
        platformSubtree,
        ancestorOfPlatformSubtree,
        homeContainer,
        homeSubtree,
        ancestorOfHomeSubtree,
        platformHomeContainer,  // the Linux home's own folders (platform::SystemLocations::homeContainers)
        platformHomeSubtree,    // keyrings, credentials, mail and browser profiles
        ancestorOfPlatformHomeSubtree,
        userFolder,             // an XDG user folder, as user-dirs.dirs names it
        trashFolder,            // a Trash folder of another file system, or its files/ or info/
        exclusion,
        ancestorOfExclusion,
        securitySoftware,
    };

    Rule rule = Rule::emptyPath;
    std::string match;         // the container, subtree, exclusion or component that applied
    std::string judgedPath;    // the normalised path the rule applied to
    bool throughSymbolicLink = false;  // judgedPath is where the given path really leads
    std::string explanation;  // for the Linux rules: what the place holds, as a phrase ("holds ...")

    [[nodiscard]] static std::string_view ruleName(Rule rule);
    // One sentence for the user, e.g. "Inside the protected folder /usr."
    [[nodiscard]] std::string description() const;
};

class PathProtection {
public:
    using StringList = std::vector<std::string>;
    using StringListProvider = std::function<std::shared_ptr<const StringList>()>;

    // Defaults: ExclusionStore::shared().normalisedPaths() and the forced "ProtectedBundlePrefixes".
    static StringListProvider defaultExclusions();
    static StringListProvider defaultExtraBundlePrefixes();
    static StringListProvider noStrings();

    // The Linux home rows are joined with platform::UserFolders::standard(home): the default XDG
    // base folders below the home and the user folders of its ".config/user-dirs.dirs".
    explicit PathProtection(const std::filesystem::path& home, StringListProvider exclusions = defaultExclusions(),
                            StringListProvider extraBundlePrefixes = defaultExtraBundlePrefixes(),
                            const platform::FileManager& fileManager = platform::FileManager::defaultManager());
    // The same with the given folders (their home is the home); base folders that lie elsewhere
    // are protected in both spellings, theirs and the default one below the home.
    PathProtection(const platform::UserFolders& folders, StringListProvider exclusions,
                   StringListProvider extraBundlePrefixes,
                   const platform::FileManager& fileManager = platform::FileManager::defaultManager());

    // The current user's home and folders (platform::UserFolders::currentUser()) with the default
    // providers; built once, on first use.
    static const PathProtection& shared();

    // The home as given, normalised. The home tables also match it with its links resolved, so
    // that a HOME reached through a link protects the real folders too.
    const std::string& home() const { return home_; }

    [[nodiscard]] bool shouldProtect(const std::filesystem::path& url) const;
    // The same decision as shouldProtect, with the rule that made it; nothing when unprotected.
    [[nodiscard]] std::optional<ProtectionReason> protectionReason(const std::filesystem::path& url) const;
    // The same decision for a path its caller has just found to reach its item through no link,
    // which resolving again would only give back: decided from the spelling alone.
    [[nodiscard]] bool shouldProtectLinkFreePath(const std::filesystem::path& url) const;
    // The same for a link-free path inside a folder vendors install into (/usr/local/bin, /opt):
    // the subtree rules that hold that whole folder (/usr, /etc) make no verdict, every other rule
    // does. A path outside the folder, or the folder itself, is protected.
    [[nodiscard]] bool shouldProtectInInstallRoot(const std::filesystem::path& url, std::string_view installRoot) const;

    [[nodiscard]] bool isSystemCriticalBundle(std::string_view bundleID) const;
    [[nodiscard]] bool isEndpointSecurityBundle(std::string_view bundleID) const;
    [[nodiscard]] bool isEndpointSecurityPath(const std::filesystem::path& url) const;
    // Names only, two levels deep, at most 2000 entries per listing.
    [[nodiscard]] bool containsEndpointSecurityItem(const std::filesystem::path& folder,
                                                    const platform::FileManager& fileManager) const;

    // The canonical spelling used for every path comparison: trailing separators dropped and
    // "/private/var", "/private/tmp", "/private/etc" folded onto their aliases.
    [[nodiscard]] static std::string normalise(std::string_view path);
    // "AB12CD34EF.com.example.agent" -> "com.example.agent"; anything else unchanged.
    [[nodiscard]] static std::string strippingTeamID(std::string_view text);
    // Identifier against a pattern whose "*" matches any run of characters; case-sensitive.
    [[nodiscard]] static bool matches(std::string_view bundleID, std::string_view pattern);

    // The fixed tables, in their order.
    static std::span<const std::string_view> protectedContainers();
    static std::span<const std::string_view> protectedSubtrees();
    static std::span<const std::string_view> protectedHomeContainers();
    static std::span<const std::string_view> protectedHomeSubtrees();
    static std::span<const std::string> endpointPrefixesLowercased();
    static std::span<const std::string_view> systemCriticalBundles();

private:
    std::optional<ProtectionReason> isProtected(const std::string& path, std::string_view installRoot = {}) const;
    std::optional<std::string> endpointSecurityComponent(std::string_view path) const;
    static std::optional<std::string> endpointSecurityComponent(std::string_view path,
                                                                const std::vector<std::string>& extraPrefixes);
    static bool beginsWithSecurityPrefix(std::string_view lowered, const std::vector<std::string>& extraPrefixes);
    // One call of the provider per question.
    std::vector<std::string> extraPrefixesLowercased() const;

    // A Linux home row joined with the home (and its resolved form, and a relocated base folder).
    struct Place {
        std::string path;
        std::string explanation;
    };
    // A row with a "*" component: the part before it (ending in "/") and the part after it.
    struct Pattern {
        std::string prefix;
        std::string suffix;
        std::string_view explanation;
    };
    void joinLinuxRows(const platform::UserFolders& folders, const std::vector<std::string>& homes);
    std::optional<ProtectionReason> linuxHomeReason(const std::string& path) const;

    std::string home_;
    std::vector<std::string> homeContainers_;  // the home tables joined with home_ (and its resolved form)
    std::vector<std::string> homeSubtrees_;
    std::vector<Place> linuxContainers_;
    std::vector<Place> userFolders_;
    std::vector<Place> linuxSubtrees_;
    std::vector<Pattern> linuxPatterns_;
    StringListProvider exclusions_;
    StringListProvider extraBundlePrefixes_;
    const platform::FileManager& fileManager_;
};

}  // namespace vornelo

#include "Core/HelperPolicy.h"

#include "Core/ManagedPolicy.h"
#include "Core/PrivilegedHelperConstants.h"
#include "Platform/Encoding/PropertyList.h"
#include "Platform/Files/RegularFile.h"
#include "Platform/Encoding/Text.h"
#include "Core/HelperPolicy+Internal.h"

namespace vornelo {

namespace {

using platform::FileManager;
using platform::FileType;
using platform::Text;
using Rejection = HelperPolicy::Rejection;
using helper_policy::refuse;
using helper_policy::linuxInstallation;
using helper_policy::linuxRules;

// The path without its last component; "/" stays "/". The path has no trailing separator.
std::string_view parentOf(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

// The exact extension of a name, without its period; a leading period starts no extension.
std::string_view extensionOf(std::string_view name) {
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

// The bundle's identifier, read without following a link on the way: a bundle owner must not
// make root read a file elsewhere.
std::optional<std::string> bundleIdentifier(const std::string& bundle) {
    const auto bytes = platform::RegularFile::contentsThroughNoLink(bundle + "/Contents/Info.plist", HelperPolicy::maxInfoPlistBytes);
    if (!bytes) return std::nullopt;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes->data());
    const auto value = platform::PropertyList::parse({data, bytes->size()});
    const auto* dictionary = value ? value->get<platform::PlistValue::Dictionary>() : nullptr;
    if (!dictionary) return std::nullopt;
    const auto found = dictionary->find("CFBundleIdentifier");
    if (found == dictionary->end()) return std::nullopt;
    const auto* identifier = found->second.get<std::string>();
    if (!identifier || identifier->empty()) return std::nullopt;
    return *identifier;
}

std::expected<void, Rejection> applicationRules(const HelperPolicy::Judgement& item, const PathProtection& protection) {
    if (extensionOf(item.name) != "app" || item.type != FileType::directory) return refuse(HelperPolicy::onlyBundles);
    const auto identifier = bundleIdentifier(item.location.native());
    if (!identifier) return refuse(HelperPolicy::invalidBundle);
    if (*identifier == AppDefaults::appDomain) return refuse(HelperPolicy::removesItself);
    if (protection.isSystemCriticalBundle(*identifier)) return refuse(HelperPolicy::partOfMacOS);
    if (protection.isEndpointSecurityBundle(*identifier)) return refuse(HelperPolicy::securitySoftware);
    return {};
}

std::expected<void, Rejection> launchItemRules(const HelperPolicy::Judgement& item, const PathProtection& protection) {
    if (item.type != FileType::regular || extensionOf(item.name) != "plist") return refuse(HelperPolicy::notLaunchPlist);
    const auto label = std::string_view(item.name).substr(0, item.name.size() - std::string_view(".plist").size());
    return HelperPolicy::validateIdentifier(label, protection);
}

std::expected<void, Rejection> helperToolRules(const HelperPolicy::Judgement& item, const PathProtection& protection) {
    if (item.type != FileType::regular) return refuse(HelperPolicy::notHelperTool);
    return HelperPolicy::validateIdentifier(item.name, protection);
}

// Steps 1 to 5: the spelling of the path, and the item it names.
std::expected<HelperPolicy::Judgement, Rejection> examine(std::string_view path, const FileManager& fileManager) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) {
        return refuse(HelperPolicy::notAbsolute);
    }
    const auto standardized = PathProtection::normalise(FileManager::standardizedPath(path));
    if (PathProtection::normalise(path) != standardized || path.back() == '/') return refuse(HelperPolicy::notCanonical);
    if (PathProtection::normalise(fileManager.resolvingSymlinksInPath(path)) != standardized) {
        return refuse(HelperPolicy::throughSymbolicLink);
    }
    const auto attributes = fileManager.attributesOfItem(std::string(path));
    if (!attributes) return refuse(HelperPolicy::noLongerExists);
    if (attributes->type == FileType::symbolicLink) return refuse(HelperPolicy::isSymbolicLink);
    const auto parent = parentOf(path);
    return HelperPolicy::Judgement{HelperPolicy::Kind::application,
                                   std::string(path),
                                   std::string(parent),
                                   std::string(path.substr(parent.size() == 1 ? 1 : parent.size() + 1)),
                                   attributes->type,
                                   attributes->device,
                                   attributes->fileNumber};
}

}  // namespace

std::string_view HelperPolicy::rawValue(Kind kind) {
    switch (kind) {
        case Kind::application: return "application";
        case Kind::launchItem: return "launchItem";
        case Kind::helperTool: return "helperTool";
    }
    return "application";
}

const PathProtection& HelperPolicy::defaultProtection() {
    static const PathProtection protection("/var/empty", PathProtection::noStrings(), PathProtection::noStrings());
    return protection;
}

std::expected<HelperPolicy::Kind, HelperPolicy::Rejection> HelperPolicy::validateRemoval(
    std::string_view path, std::string_view applicationsRoot, std::string_view libraryRoot,
    const PathProtection& protection, const platform::FileManager& fileManager) {
    const auto judged = judgeRemoval(path, Roots{std::string(applicationsRoot), std::string(libraryRoot), std::nullopt},
                                     protection, fileManager);
    if (!judged) return std::unexpected(judged.error());
    return judged->kind;
}

std::expected<HelperPolicy::Judgement, HelperPolicy::Rejection> HelperPolicy::judgeRemoval(
    std::string_view path, std::string_view applicationsRoot, std::string_view libraryRoot,
    const PathProtection& protection, const platform::FileManager& fileManager) {
    return judgeRemoval(path, Roots{std::string(applicationsRoot), std::string(libraryRoot), std::nullopt}, protection,
                        fileManager);
}

std::expected<HelperPolicy::Kind, HelperPolicy::Rejection> HelperPolicy::validateRemoval(
    std::string_view path, const Roots& roots, const PathProtection& protection, const platform::FileManager& fileManager) {
    const auto judged = judgeRemoval(path, roots, protection, fileManager);
    if (!judged) return std::unexpected(judged.error());
    return judged->kind;
}

std::expected<HelperPolicy::Judgement, HelperPolicy::Rejection> HelperPolicy::judgeRemoval(
    std::string_view path, const Roots& roots, const PathProtection& protection, const platform::FileManager& fileManager) {
    auto item = examine(path, fileManager);
    if (!item) return item;
    const auto parent = PathProtection::normalise(item->parent.native());
    if (roots.linuxRoots) {
        if (auto elsewhere = linuxInstallation(PathProtection::normalise(item->location.native()), *roots.linuxRoots)) {
            return refuse(*elsewhere);
        }
    }
    // examine() found the path free of links, so the protection rules need not resolve it again.
    const bool linuxItem = roots.linuxRoots && roots.linuxRoots->holds(PathProtection::normalise(item->location.native()));
    if (linuxItem ? protection.shouldProtectInInstallRoot(item->location, parent)
                  : protection.shouldProtectLinkFreePath(item->location)) {
        return refuse(protectedPath);
    }
    const auto grandparent = PathProtection::normalise(parentOf(item->parent.native()));
    const auto applications = PathProtection::normalise(roots.applications);
    const auto library = PathProtection::normalise(roots.library);
    std::expected<void, Rejection> verdict;
    if (parent == applications || (grandparent == applications && !parent.ends_with(".app"))) {
        item->kind = Kind::application;
        verdict = applicationRules(*item, protection);
    } else if (parent == library + "/LaunchDaemons" || parent == library + "/LaunchAgents") {
        item->kind = Kind::launchItem;
        verdict = launchItemRules(*item, protection);
    } else if (parent == library + "/PrivilegedHelperTools") {
        item->kind = Kind::helperTool;
        verdict = helperToolRules(*item, protection);
    } else if (linuxItem) {
        verdict = linuxRules(*item, parent, *roots.linuxRoots);
    } else {
        return refuse(outsideLocations);
    }
    if (!verdict) return std::unexpected(verdict.error());
    return item;
}

std::expected<void, HelperPolicy::Rejection> HelperPolicy::validateIdentifier(std::string_view name,
                                                                               const PathProtection& protection) {
    const bool emptyPiece = name.empty() || name.front() == '.' || name.back() == '.' ||
                            name.find("..") != std::string_view::npos;
    if (name.find('.') == std::string_view::npos || emptyPiece) return refuse(notBundleIdentifier);
    if (Text::hasPrefix(Text::lowercased(name), "com.apple.")) return refuse(partOfMacOS);
    if (Text::hasPrefix(name, PrivilegedHelperConstants::machServiceName)) return refuse(ownHelper);
    if (protection.isSystemCriticalBundle(name)) return refuse(protectedItem);
    if (protection.isEndpointSecurityBundle(name)) return refuse(securitySoftware);
    return {};
}

}  // namespace vornelo

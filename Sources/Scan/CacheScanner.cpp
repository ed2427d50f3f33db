#include "Scan/CacheScanner.h"

#include "Platform/Files/FileManager.h"

#include <array>

namespace vornelo::scan {

namespace {

using platform::FileManager;
using platform::FileType;

struct KnownCache {
    std::string_view name;  // an entry of the XDG cache folder
    std::string_view reason;
};

constexpr std::array knownCaches{
    KnownCache{"thumbnails", "Thumbnails of pictures and videos; file managers draw them again when needed."},
    KnownCache{"mozilla", "Firefox's cache; Firefox rebuilds it when needed."},
    KnownCache{"google-chrome", "Google Chrome's cache; Chrome rebuilds it when needed."},
    KnownCache{"chromium", "Chromium's cache; Chromium rebuilds it when needed."},
    KnownCache{"BraveSoftware", "Brave's cache; Brave rebuilds it when needed."},
    KnownCache{"microsoft-edge", "Microsoft Edge's cache; Edge rebuilds it when needed."},
    KnownCache{"vivaldi", "Vivaldi's cache; Vivaldi rebuilds it when needed."},
    KnownCache{"opera", "Opera's cache; Opera rebuilds it when needed."},
    KnownCache{"pip", "pip's download cache; pip downloads packages again when needed."},
    KnownCache{"yarn", "Yarn's package cache; Yarn downloads packages again when needed."},
    KnownCache{"pnpm", "pnpm's metadata cache; pnpm fetches it again when needed."},
    KnownCache{"go-build", "Go's build cache; go builds again what it needs."},
    KnownCache{"node-gyp", "Headers node-gyp downloaded to build native modules; it downloads them again."},
    KnownCache{"fontconfig", "Font lists that fontconfig builds again when needed."},
    KnownCache{"mesa_shader_cache", "Compiled graphics shaders; the graphics driver compiles them again."},
    KnownCache{"JetBrains", "Indexes of JetBrains IDEs; an IDE rebuilds them when it opens a project."},
    KnownCache{"ccache", "Compiler results kept by ccache; the next builds fill it again."},
};

enum class Base { home, dataHome };

// Caches kept outside the XDG cache folder, each one folder.
struct CachePlace {
    Base base;
    std::string_view relative;
    std::string_view reason;
    Confidence confidence;
};

constexpr std::array cachePlaces{
    CachePlace{Base::home, ".npm/_cacache", "npm's package cache; npm downloads packages again when needed.", Confidence::safe},
    CachePlace{Base::home, ".npm/_npx", "Packages npx fetched to run once; npx fetches them again.", Confidence::safe},
    CachePlace{Base::home, ".cargo/registry/cache", "Crates Cargo downloaded; cargo downloads them again when needed.",
               Confidence::safe},
    CachePlace{Base::home, ".cargo/registry/src", "Crate sources Cargo unpacked; cargo unpacks them again when needed.",
               Confidence::safe},
    CachePlace{Base::home, ".gradle/caches", "Gradle's caches; Gradle downloads and builds them again when needed.",
               Confidence::safe},
    CachePlace{Base::home, "go/pkg/mod/cache/download", "Go's module downloads; go downloads modules again when needed.",
               Confidence::safe},
    CachePlace{Base::home, ".yarn/berry/cache", "Yarn's package cache; Yarn downloads packages again when needed.",
               Confidence::safe},
    CachePlace{Base::home, ".m2/repository",
               "Maven's local repository; Maven downloads it again, which takes a network connection.", Confidence::review},
    CachePlace{Base::dataHome, "pnpm/store",
               "pnpm's package store; pnpm downloads it again, and projects installed from it need “pnpm install”.",
               Confidence::review},
};

}  // namespace

std::string CacheScanner::reasonForCacheEntry(std::string_view name) {
    for (const auto& known : knownCaches) {
        if (known.name == name) return std::string(known.reason);
    }
    return "The cache of \u201C" + std::string(name) +
           "\u201D; by the XDG Base Directory rules, programs make again what they keep in the cache folder.";
}

std::vector<Candidate> CacheScanner::scan(const ScanContext& context) const {
    const auto& places = context.places();
    std::vector<Candidate> found;
    for (auto& entry : context.list(places.cacheHome)) {
        auto reason = reasonForCacheEntry(entry.name());
        found.push_back(propose(context, std::move(entry), std::move(reason), Confidence::safe));
    }
    for (const auto& place : cachePlaces) {
        const auto path = FileManager::joinedPath(place.base == Base::home ? places.home : places.dataHome, place.relative);
        const auto parent = FileManager::parentPath(path);
        for (auto& entry : context.list(parent)) {
            if (entry.path != path || !entry.isFolder()) continue;
            found.push_back(propose(context, std::move(entry), std::string(place.reason), place.confidence));
        }
    }
    // Each Flatpak application keeps its cache in its own XDG cache folder.
    for (const auto& application : context.list(places.inHome(".var/app"))) {
        if (!application.isFolder()) continue;
        for (auto& entry : context.list(application.path)) {
            if (entry.name() != "cache" || !entry.isFolder()) continue;
            auto reason = "The cache of the Flatpak application " + std::string(application.name()) +
                          "; it makes again what it keeps there.";
            found.push_back(propose(context, std::move(entry), std::move(reason), Confidence::safe));
        }
    }
    if (places.isAdministrator && context.coversTheSystem()) {
        for (auto& entry : context.list(places.system("/var/cache/apt/archives"))) {
            if (entry.type != FileType::regular || !entry.name().ends_with(".deb")) continue;
            found.push_back(propose(context, std::move(entry),
                                    "A package apt downloaded to install; apt downloads it again when needed.",
                                    Confidence::safe));
        }
    }
    return found;
}

}  // namespace vornelo::scan

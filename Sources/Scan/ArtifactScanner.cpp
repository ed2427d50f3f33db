#include "Scan/ArtifactScanner.h"

#include "Platform/Files/FileManager.h"

#include <array>

namespace vornelo::scan {

namespace {

using platform::FileManager;
using platform::FileType;

enum class Marker { none, beside, inside };

struct ArtifactRow {
    std::string_view name;  // the folder; a trailing "*" matches any ending
    Marker where;
    std::array<std::string_view, 3> markers;  // any one of them, a regular file
    std::string_view reason;
    Confidence confidence;
};

constexpr std::array artifactRows{
    ArtifactRow{"node_modules", Marker::beside, {"package.json"},
                "Packages npm installed for this project; \u201Cnpm install\u201D puts them back.", Confidence::safe},
    ArtifactRow{"target", Marker::beside, {"Cargo.toml"}, "Cargo's build output; \u201Ccargo build\u201D makes it again.",
                Confidence::safe},
    ArtifactRow{"target", Marker::beside, {"pom.xml"}, "Maven's build output; \u201Cmvn package\u201D makes it again.",
                Confidence::safe},
    ArtifactRow{"build", Marker::inside, {"CMakeCache.txt"}, "A CMake build folder; CMake makes it again.", Confidence::safe},
    ArtifactRow{"cmake-build-*", Marker::inside, {"CMakeCache.txt"},
                "A CMake build folder of a JetBrains IDE; the IDE makes it again.", Confidence::safe},
    ArtifactRow{"build", Marker::beside, {"build.gradle", "build.gradle.kts"},
                "Gradle's build output; \u201Cgradle build\u201D makes it again.", Confidence::safe},
    ArtifactRow{".gradle", Marker::beside, {"build.gradle", "build.gradle.kts", "settings.gradle"},
                "Gradle's project cache; Gradle makes it again.", Confidence::safe},
    ArtifactRow{"__pycache__", Marker::none, {}, "Python's compiled bytecode; Python writes it again when needed.",
                Confidence::safe},
    ArtifactRow{".pytest_cache", Marker::none, {}, "pytest's cache of its last run; pytest writes it again.", Confidence::safe},
    ArtifactRow{".mypy_cache", Marker::none, {}, "mypy's cache; mypy writes it again.", Confidence::safe},
    ArtifactRow{".ruff_cache", Marker::none, {}, "Ruff's cache; Ruff writes it again.", Confidence::safe},
    ArtifactRow{".tox", Marker::beside, {"tox.ini", "pyproject.toml", "setup.cfg"},
                "tox's test environments; tox makes them again.", Confidence::safe},
    ArtifactRow{".nox", Marker::beside, {"noxfile.py"}, "nox's test environments; nox makes them again.", Confidence::safe},
    ArtifactRow{".next", Marker::beside, {"package.json"}, "Next.js's build output; \u201Cnext build\u201D makes it again.",
                Confidence::safe},
    ArtifactRow{".nuxt", Marker::beside, {"package.json"}, "Nuxt's build output; Nuxt makes it again.", Confidence::safe},
    ArtifactRow{".svelte-kit", Marker::beside, {"package.json"}, "SvelteKit's generated files; SvelteKit makes them again.",
                Confidence::safe},
    ArtifactRow{".parcel-cache", Marker::beside, {"package.json"}, "Parcel's cache; Parcel makes it again.", Confidence::safe},
    ArtifactRow{".angular", Marker::beside, {"angular.json"}, "Angular's build cache; Angular makes it again.",
                Confidence::safe},
    ArtifactRow{".dart_tool", Marker::beside, {"pubspec.yaml"},
                "Dart's tool cache; \u201Cdart pub get\u201D makes it again.", Confidence::safe},
    ArtifactRow{".zig-cache", Marker::beside, {"build.zig"}, "Zig's build cache; zig makes it again.", Confidence::safe},
    ArtifactRow{"zig-cache", Marker::beside, {"build.zig"}, "Zig's build cache; zig makes it again.", Confidence::safe},
    ArtifactRow{".stack-work", Marker::beside, {"stack.yaml"}, "Stack's build output; stack makes it again.",
                Confidence::safe},
    ArtifactRow{"dist-newstyle", Marker::beside, {"cabal.project"}, "Cabal's build output; cabal makes it again.",
                Confidence::safe},
    ArtifactRow{"_build", Marker::beside, {"mix.exs"}, "Mix's build output; \u201Cmix compile\u201D makes it again.",
                Confidence::safe},
    ArtifactRow{".build", Marker::beside, {"Package.swift"}, "SwiftPM's build output; \u201Cswift build\u201D makes it again.",
                Confidence::safe},
    ArtifactRow{".venv", Marker::inside, {"pyvenv.cfg"},
                "A Python virtual environment; it is made again from the project's requirements.", Confidence::review},
};

bool nameMatches(std::string_view name, std::string_view pattern) {
    if (pattern.ends_with('*')) return name.size() >= pattern.size() && name.starts_with(pattern.substr(0, pattern.size() - 1));
    return name == pattern;
}

bool isRegularFile(const platform::FileManager& files, const std::string& path) {
    const auto attributes = files.attributesOfItem(path);
    return attributes && attributes->type == FileType::regular;
}

}  // namespace

bool ArtifactScanner::mayBeArtifact(std::string_view name) {
    for (const auto& row : artifactRows) {
        if (nameMatches(name, row.name)) return true;
    }
    return false;
}

std::optional<Candidate> ArtifactScanner::folder(const platform::TreeWalkItem& item, const ScanContext& context) const {
    if (!mayBeArtifact(item.name)) return std::nullopt;
    const std::string parent(item.parentPath);
    const auto path = FileManager::joinedPath(parent, item.name);
    for (const auto& row : artifactRows) {
        if (!nameMatches(item.name, row.name)) continue;
        bool found = row.where == Marker::none;
        for (const auto marker : row.markers) {
            if (found || marker.empty()) break;
            found = isRegularFile(context.files(), FileManager::joinedPath(row.where == Marker::beside ? parent : path, marker));
        }
        if (!found) continue;
        Candidate candidate;
        candidate.item = ScanItem::from(item);
        candidate.category = Category::artifact;
        candidate.reason = std::string(row.reason);
        candidate.confidence = row.confidence;
        candidate.minimumAgeDays = context.ageDays(Category::artifact);
        return candidate;
    }
    return std::nullopt;
}

}  // namespace vornelo::scan

#include "Scan/InstallerScanner.h"

#include "Platform/Encoding/Text.h"

#include <array>

namespace vornelo::scan {

namespace {

struct InstallerSuffix {
    std::string_view suffix;  // lower case
    InstallerScanner::Kind kind;
};

constexpr std::array installerSuffixes{
    InstallerSuffix{".deb", {"A Debian package; once it is installed, the package manager no longer needs the file.", Confidence::safe}},
    InstallerSuffix{".rpm", {"An RPM package; once it is installed, the package manager no longer needs the file.", Confidence::safe}},
    InstallerSuffix{".flatpak", {"A Flatpak bundle; once it is installed, Flatpak no longer needs the file.", Confidence::safe}},
    InstallerSuffix{".flatpakref", {"A Flatpak reference; once it is installed, Flatpak no longer needs it.", Confidence::safe}},
    InstallerSuffix{".snap", {"A Snap package; once it is installed, snapd no longer needs the file.", Confidence::safe}},
    InstallerSuffix{".appimage", {"An AppImage left in Downloads; if you run it, keep it where you run it from.", Confidence::review}},
    InstallerSuffix{".iso", {"A disk image, such as an operating system's installer.", Confidence::review}},
    InstallerSuffix{".img", {"A disk image, such as an operating system's installer.", Confidence::review}},
    InstallerSuffix{".dmg", {"A macOS disk image, which Linux does not install.", Confidence::safe}},
    InstallerSuffix{".pkg", {"A macOS installer package, which Linux does not install.", Confidence::safe}},
    InstallerSuffix{".msi", {"A Windows installer, which Linux does not run.", Confidence::safe}},
    InstallerSuffix{".exe", {"A Windows program or installer, which Linux does not run.", Confidence::review}},
};

constexpr std::array archiveSuffixes{
    std::string_view(".tar.gz"), std::string_view(".tgz"),     std::string_view(".tar.xz"), std::string_view(".txz"),
    std::string_view(".tar.bz2"), std::string_view(".tar.zst"), std::string_view(".zip"),
};

// Words that name an archive as a program download rather than someone's documents.
constexpr std::array installerWords{
    std::string_view("setup"),   std::string_view("install"), std::string_view("linux-x64"), std::string_view("linux-x86_64"),
    std::string_view("linux64"), std::string_view("amd64"),   std::string_view("x86_64"),    std::string_view("x64"),
};

constexpr InstallerScanner::Kind archiveKind{
    "An archive named like a program download; once unpacked or installed it is no longer needed.", Confidence::review};

}  // namespace

std::optional<InstallerScanner::Kind> InstallerScanner::kindOf(std::string_view name) {
    const auto lowered = platform::Text::lowercased(name);
    for (const auto& row : installerSuffixes) {
        if (lowered.ends_with(row.suffix) && lowered.size() > row.suffix.size()) return row.kind;
    }
    for (const auto suffix : archiveSuffixes) {
        if (!lowered.ends_with(suffix)) continue;
        for (const auto word : installerWords) {
            if (lowered.find(word) != std::string::npos) return archiveKind;
        }
    }
    return std::nullopt;
}

std::vector<Candidate> InstallerScanner::scan(const ScanContext& context) const {
    std::vector<Candidate> found;
    for (auto& entry : context.list(context.places().downloadDir)) {
        if (entry.type != platform::FileType::regular) continue;
        const auto kind = kindOf(entry.name());
        if (kind) found.push_back(propose(context, std::move(entry), std::string(kind->reason), kind->confidence));
    }
    return found;
}

}  // namespace vornelo::scan

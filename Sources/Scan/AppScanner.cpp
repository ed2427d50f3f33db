#include "Scan/AppScanner.h"

#include "Platform/Encoding/Text.h"
#include "Platform/Files/FileManager.h"

#include <array>

namespace vornelo::scan {

namespace {

using platform::FileManager;

constexpr std::size_t maxDesktopEntryBytes = 64 * 1024;

constexpr std::array appFolders{std::string_view("Applications"), std::string_view(".local/bin")};

bool isAppImage(std::string_view name) {
    return name.size() > 9 && platform::Text::lowercased(name.substr(name.size() - 9)) == ".appimage";
}

}  // namespace

std::vector<Candidate> AppScanner::scan(const ScanContext& context) const {
    const auto& places = context.places();
    std::vector<Candidate> found;
    for (const auto folder : appFolders) {
        for (auto& entry : context.list(places.inHome(folder))) {
            if (entry.type != platform::FileType::regular || !isAppImage(entry.name())) continue;
            auto candidate = propose(context, std::move(entry),
                                     "An AppImage that has not been run for a long time; download it again to use it.",
                                     Confidence::review);
            candidate.basis = AgeBasis::used;
            found.push_back(std::move(candidate));
        }
    }
    if (found.empty()) return found;
    // A launcher that starts an AppImage counts as a use of it when the launcher was read later.
    for (const auto& entry : context.list(FileManager::joinedPath(places.dataHome, "applications"))) {
        if (entry.type != platform::FileType::regular || !entry.name().ends_with(".desktop")) continue;
        const auto bytes = context.files().contentsOfFile(entry.path, maxDesktopEntryBytes);
        if (!bytes) continue;
        const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
        for (auto& candidate : found) {
            if (text.find(candidate.item.path) == std::string_view::npos) continue;
            if (!candidate.knownDate || *candidate.knownDate < entry.accessDate) candidate.knownDate = entry.accessDate;
        }
    }
    return found;
}

}  // namespace vornelo::scan

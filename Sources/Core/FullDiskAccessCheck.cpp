#include "Core/FullDiskAccessCheck.h"

namespace vornelo {

const std::vector<std::filesystem::path>& FullDiskAccessCheck::probePaths() {
    static const std::vector<std::filesystem::path> paths = [] {
        const auto home = platform::FileManager::defaultManager().homeDirectoryForCurrentUser();
        return std::vector<std::filesystem::path>{
            "/Library/Application Support/com.apple.TCC/TCC.db",
            home + "/Library/Safari/CloudTabs.db",
        };
    }();
    return paths;
}

bool FullDiskAccessCheck::probe() { return probe(probePaths(), platform::FileManager::defaultManager()); }

bool FullDiskAccessCheck::probe(const std::vector<std::filesystem::path>& paths,
                                const platform::FileManager& fileManager) {
    for (const auto& path : paths) {
        if (!fileManager.fileExists(path)) continue;
        if (fileManager.tryOpeningForReading(path)) return true;
    }
    return false;
}

}  // namespace vornelo

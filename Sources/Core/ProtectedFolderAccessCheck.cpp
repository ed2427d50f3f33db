#include "Core/ProtectedFolderAccessCheck.h"

namespace vornelo {

std::vector<std::string> ProtectedFolderAccessCheck::deniedFolders() {
    const auto& fileManager = platform::FileManager::defaultManager();
    return deniedFolders(fileManager.homeDirectoryForCurrentUser(), fileManager);
}

std::vector<std::string> ProtectedFolderAccessCheck::deniedFolders(const std::filesystem::path& home,
                                                                   const platform::FileManager& fileManager) {
    std::vector<std::string> denied;
    for (const auto name : folderNames) {
        const auto folder = home / name;
        if (!fileManager.fileExists(folder)) continue;
        if (!fileManager.contentsOfDirectoryAtPath(folder)) denied.emplace_back(name);
    }
    return denied;
}

bool ProtectedFolderAccessCheck::probe() { return deniedFolders().empty(); }

}  // namespace vornelo

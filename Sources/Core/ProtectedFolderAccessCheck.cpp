#include "Core/ProtectedFolderAccessCheck.h"

namespace vornelo {

namespace {

constexpr std::array<std::string_view, 3> folderKeys = {"XDG_DESKTOP_DIR", "XDG_DOCUMENTS_DIR", "XDG_DOWNLOAD_DIR"};

}  // namespace

std::vector<ProtectedFolderAccessCheck::Folder> ProtectedFolderAccessCheck::folders(const platform::UserFolders& folders) {
    std::vector<Folder> found;
    for (std::size_t i = 0; i < folderKeys.size(); ++i) {
        const auto* directory = folders.userDirectory(folderKeys[i]);
        if (!directory || directory->path == folders.home) continue;
        found.push_back({folderNames[i], directory->path});
    }
    return found;
}

std::vector<std::string> ProtectedFolderAccessCheck::deniedFolders() {
    return deniedFolders(folders(platform::UserFolders::currentUser()), platform::FileManager::defaultManager());
}

std::vector<std::string> ProtectedFolderAccessCheck::deniedFolders(const std::vector<Folder>& folders,
                                                                   const platform::FileManager& fileManager) {
    std::vector<std::string> denied;
    for (const auto& folder : folders) {
        if (!fileManager.fileExists(folder.path)) continue;
        if (!fileManager.contentsOfDirectoryAtPath(folder.path)) denied.emplace_back(folder.name);
    }
    return denied;
}

bool ProtectedFolderAccessCheck::probe() { return deniedFolders().empty(); }

}  // namespace vornelo

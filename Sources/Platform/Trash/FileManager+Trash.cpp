// FileManager's way into the Trash lives with the Trash, so that the file layer never depends on it.
#include "Platform/Files/FileManager.h"
#include "Platform/Files/HeldItem.h"
#include "Platform/Trash/Trash.h"

#include <unistd.h>

#include <cerrno>

namespace vornelo::platform {

std::expected<std::filesystem::path, FileError> FileManager::trashItem(const std::filesystem::path& item) const {
    auto held = holdItem(item);
    if (!held) return std::unexpected(held.error());
    return trashHeldItem(*held);
}

std::expected<std::filesystem::path, FileError> FileManager::trashHeldItem(const HeldItem& item, std::string_view session) const {
    if (auto unchanged = item.checkUnchanged(); !unchanged) return std::unexpected(unchanged.error());
    // A volume mounted here is not an item that can be moved. Held, the item's file system and
    // its folder's are already known.
    if (item.isMountPoint()) return std::unexpected(FileError::fromErrno(EBUSY, FileOperation::write, item.place()));
    return Trash::moveToTrash(item.folder().fd(), item.place(), item.device(), homeDirectoryForCurrentUser(), ::geteuid(),
                              session);
}

}  // namespace vornelo::platform

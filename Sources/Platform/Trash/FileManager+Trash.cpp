// FileManager's way into the Trash lives with the Trash, so that the file layer never depends on it.
#include "Platform/Files/FileManager.h"
#include "Platform/Files/HeldItem.h"
#include "Platform/Trash/Trash.h"

#include <unistd.h>

namespace vornelo::platform {

std::expected<std::filesystem::path, FileError> FileManager::trashItem(const std::filesystem::path& item) const {
    auto held = holdItem(item);
    if (!held) return std::unexpected(held.error());
    return trashHeldItem(*held);
}

std::expected<std::filesystem::path, FileError> FileManager::trashHeldItem(const HeldItem& item, std::string_view session) const {
    if (auto unchanged = item.checkUnchanged(); !unchanged) return std::unexpected(unchanged.error());
    return Trash::moveToTrash(item.folder().fd(), item.place(), homeDirectoryForCurrentUser(), ::geteuid(), session);
}

}  // namespace vornelo::platform

// Putting a trashed item back where it was, only when it is still the very item in a Trash and
// its old place is free and not protected.

#include "Core/SafeFileDeleter.h"

#include "Platform/Files/HeldItem.h"
#include "Platform/Trash/Trash.h"

#include <chrono>

namespace vornelo {

std::optional<SafeFileDeleter::PutBackError> SafeFileDeleter::putBackProblem(
    const std::filesystem::path& trashedPath, const std::filesystem::path& originalPath,
    std::optional<std::uint64_t> fileNumber) const {
    using Kind = PutBackError::Kind;
    if (protection_.shouldProtect(originalPath)) return PutBackError(Kind::protectedLocation);
    if (!isInsideTrash(trashedPath)) return PutBackError(Kind::noLongerInTrash);
    // A parent that is a link leading out of the Trash does not make its contents trashed items.
    const std::filesystem::path trashed = platform::FileManager::absoluteStandardizedPath(trashedPath.native());
    const std::filesystem::path resolved =
        std::filesystem::path(fileManager_.resolvingSymlinksInPath(trashed.parent_path().native())) / trashed.filename();
    if (!isInsideTrash(resolved)) return PutBackError(Kind::noLongerInTrash);
    // The item itself is examined, not what it leads to: a trashed link whose target has gone is
    // still the item that was trashed.
    const auto current = fileManager_.attributesOfItem(trashedPath);
    if (!current) return PutBackError(Kind::noLongerInTrash);
    if (fileNumber && current->fileNumber != *fileNumber) return PutBackError(Kind::noLongerInTrash);
    if (fileManager_.attributesOfItem(originalPath)) return PutBackError(Kind::originalLocationOccupied);
    return std::nullopt;
}

bool SafeFileDeleter::canPutBack(const std::filesystem::path& trashedPath, const std::filesystem::path& originalPath,
                                 std::optional<std::uint64_t> fileNumber) const {
    return !putBackProblem(trashedPath, originalPath, fileNumber).has_value();
}

// The trashed item and the folder it goes back to are each held once and judged by the places
// they were reached at; the move then goes through those two folders only. On the way back, a
// link is followed only when root or this user owns it: anyone else's could lead anywhere.
void SafeFileDeleter::putBack(const std::filesystem::path& trashedPath, const std::filesystem::path& originalPath,
                              std::optional<std::uint64_t> fileNumber, std::optional<Uuid> sessionID,
                              std::stop_token stop) const {
    using Kind = PutBackError::Kind;
    if (const auto problem = putBackProblem(trashedPath, originalPath, fileNumber)) throw *problem;
    auto item = fileManager_.holdItem(trashedPath);
    if (!item) {
        if (item.error().isCocoa(platform::FileError::noSuchFile)) throw PutBackError(Kind::noLongerInTrash);
        throw FileOperationError(item.error());
    }
    if (!isInsideTrash(item->place()) || (fileNumber && item->fileNumber() != *fileNumber)) {
        throw PutBackError(Kind::noLongerInTrash);
    }
    const std::string original = platform::FileManager::absoluteStandardizedPath(originalPath.native());
    const auto slash = original.rfind('/');
    if (slash == std::string::npos || slash + 1 == original.size()) throw PutBackError(Kind::originalLocationOccupied);
    const std::string name = original.substr(slash + 1);
    auto folder = platform::HeldFolder::open(slash == 0 ? std::string("/") : original.substr(0, slash),
                                             platform::LinkRule::ownedByRootOrUser, true);
    if (!folder) throw FileOperationError(folder.error());
    const std::string placed = (folder->path() == "/" ? std::string() : folder->path()) + "/" + name;
    if (placed != original && protection_.shouldProtect(placed)) {
        throw PutBackError(Kind::protectedLocation);
    }
    if (const auto moved = fileManager_.moveHeldItem(*item, *folder, name, std::move(stop)); !moved) throw FileOperationError(moved.error());
    platform::Trash::forgetInfo(trashedPath);
    opLog_.append(OperationLog::Entry(std::chrono::system_clock::now(), sessionID,
                                      std::string(OperationLog::putBackAction), originalPath.native(), 0,
                                      OperationLog::Mode::trash, OperationLog::Outcome::success, false));
}

}  // namespace vornelo

// Putting a trashed item back where it was, only when it is still the very item in a Trash and
// its old place is free and not protected.

#include "Core/SafeFileDeleter.h"
#include "Platform/Trash.h"

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

void SafeFileDeleter::putBack(const std::filesystem::path& trashedPath, const std::filesystem::path& originalPath,
                              std::optional<std::uint64_t> fileNumber, std::optional<Uuid> sessionID) const {
    if (const auto problem = putBackProblem(trashedPath, originalPath, fileNumber)) throw *problem;
    if (const auto made = fileManager_.createDirectory(originalPath.parent_path(), true); !made) {
        throw FileOperationError(made.error());
    }
    if (const auto moved = fileManager_.moveItem(trashedPath, originalPath); !moved) {
        throw FileOperationError(moved.error());
    }
    platform::Trash::forgetInfo(trashedPath);
    opLog_.append(OperationLog::Entry(std::chrono::system_clock::now(), sessionID,
                                      std::string(OperationLog::putBackAction), originalPath.native(), 0,
                                      OperationLog::Mode::trash, OperationLog::Outcome::success, false));
}

}  // namespace vornelo

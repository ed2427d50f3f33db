#pragma once
// The file-system seam. Core reaches files only through this class; tests subclass it to inject
// failures (see Tests/Support). Attributes never follow a final symbolic link.
//
// Thread safety: the default manager holds no mutable state and may be used from any thread.

#include "Platform/Files/FileError.h"
#include "Platform/Encoding/Iso8601.h"

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::platform {

struct TreeWalkVisitor;
enum class TreeWalkEnd;
class HeldItem;
class HeldFolder;

enum class FileType { regular, directory, symbolicLink, other };

struct FileAttributes {
    FileType type = FileType::other;
    uid_t owner = 0;
    gid_t group = 0;
    mode_t permissions = 0;       // the permission bits only
    std::int64_t size = 0;        // logical size in bytes
    std::int64_t allocatedSize = 0;  // blocks x 512
    std::uint64_t fileNumber = 0;    // inode
    dev_t device = 0;
    TimePoint modificationDate{};
};

struct DirectoryEntry {
    std::filesystem::path url;           // the folder's path joined with the name
    std::optional<bool> isDirectory;     // a link to a folder is not a folder; absent when unreadable
};

struct AtomicWriteOptions {
    mode_t mode = 0644;
    bool synchronize = true;  // fsync before the rename, so a crash never leaves an empty file
};

class FileManager {
public:
    virtual ~FileManager() = default;

    // The process-wide manager on the real file system.
    static FileManager& defaultManager();

    // Removes "." components, resolves ".." lexically and drops repeated and trailing separators.
    // A relative path stays relative. Pure string work.
    [[nodiscard]] static std::string standardizedPath(std::string_view path);
    // `folder` + "/" + `name`, without doubling a separator. Pure string work.
    [[nodiscard]] static std::string joinedPath(const std::string& folder, std::string_view name);
    // Everything before the last separator; "/" for a name at the root or without one.
    [[nodiscard]] static std::string parentPath(const std::string& path);
    // A relative path is taken against the current directory; the result is standardised.
    [[nodiscard]] static std::string absoluteStandardizedPath(std::string_view path);

    // Resolves every symbolic link that exists along the (absolute, standardised) path; the part
    // from the first missing component on is kept as written. Loops end the resolution, leaving
    // the rest of the path unresolved.
    [[nodiscard]] virtual std::string resolvingSymlinksInPath(std::string_view path) const;

    // $HOME when it is absolute, else the password database entry of the real user ID.
    [[nodiscard]] virtual std::string homeDirectoryForCurrentUser() const;
    [[nodiscard]] virtual std::optional<std::string> homeDirectory(uid_t user) const;
    // "~" and "~/x" use the current user's home, "~name/x" that user's; anything else is unchanged.
    [[nodiscard]] virtual std::string expandingTildeInPath(std::string_view path) const;
    // $TMPDIR when it is absolute, else "/tmp".
    [[nodiscard]] virtual std::string temporaryDirectory() const;

    [[nodiscard]] virtual std::expected<std::vector<DirectoryEntry>, FileError> contentsOfDirectory(
        const std::filesystem::path& folder) const;
    [[nodiscard]] virtual std::expected<std::vector<std::string>, FileError> contentsOfDirectoryAtPath(
        const std::filesystem::path& folder) const;

    // lstat: a symbolic link is described, not followed.
    [[nodiscard]] virtual std::expected<FileAttributes, FileError> attributesOfItem(
        const std::filesystem::path& path) const;
    // True for anything lstat finds, dangling links included.
    [[nodiscard]] virtual bool fileExists(const std::filesystem::path& path) const;

    virtual std::expected<void, FileError> createDirectory(const std::filesystem::path& path, bool intermediates,
                                                           mode_t mode = 0755) const;
    // Reads a whole regular file, refusing files larger than maxBytes.
    [[nodiscard]] virtual std::expected<std::vector<std::uint8_t>, FileError> contentsOfFile(
        const std::filesystem::path& path, std::size_t maxBytes) const;
    // Writes to a temporary file in the same folder and renames it over the target.
    virtual std::expected<void, FileError> writeAtomically(const std::filesystem::path& path,
                                                           std::span<const std::uint8_t> bytes,
                                                           AtomicWriteOptions options = {}) const;
    // Opens the item for reading and closes it at once, reading nothing. Non-blocking, so a FIFO
    // or a terminal cannot stall the caller; follows symbolic links, as opening a file does.
    virtual std::expected<void, FileError> tryOpeningForReading(const std::filesystem::path& path) const;

    // ---- Trees, the Trash, removal and moves ----
    // Errors carry the Cocoa write codes (4 no such file, 513 no permission, 516 exists, ...)
    // with errno underneath, as FileError::fromErrno maps them.

    // Walks below a folder on directory descriptors, never following a link (Platform/TreeWalk.h).
    [[nodiscard]] virtual std::expected<TreeWalkEnd, FileError> walkTree(const std::filesystem::path& start,
                                                                         const TreeWalkVisitor& visitor) const;
    // stat: true when the path leads to something after following every link (false for a
    // dangling link).
    [[nodiscard]] virtual bool fileExistsFollowingLinks(const std::filesystem::path& path) const;
    // Moves the item into the Trash of its file system (Platform/Trash/Trash.h) for the effective user
    // and the current user's home; returns where it went. Never replaces anything.
    virtual std::expected<std::filesystem::path, FileError> trashItem(const std::filesystem::path& item) const;
    // Removes the item and, for a folder, everything inside it. A symbolic link is removed, never
    // followed, at any depth, and a file system mounted inside is never entered (the removal then
    // fails with EBUSY underneath). Goes on past a failing entry and returns the first error.
    virtual std::expected<void, FileError> removeItem(const std::filesystem::path& item) const;
    // Moves an item to a path that must be free: an existing destination is never replaced (error
    // 516). Across file systems the item is copied (owner, mode, times and extended attributes kept;
    // ownership only where the process may give it) into a private folder beside the destination
    // (FileTree.h, StagedCopy), renamed into place without replacing, and only then removed from
    // its source.
    virtual std::expected<void, FileError> moveItem(const std::filesystem::path& source,
                                                    const std::filesystem::path& destination) const;

    // ---- Acting on what was judged (Platform/HeldItem.h) ----
    // The item's folder opened once, links on the way resolved by hand (only those owned by root or
    // the effective user); judge item.place(), then act with the calls below, which go through
    // that folder only and fail when it changed.
    [[nodiscard]] virtual std::expected<HeldItem, FileError> holdItem(const std::filesystem::path& item) const;
    // holdItem for one of many items: `folder` holds on between calls, so the items of one folder
    // share one descriptor (HeldItem::hold).
    [[nodiscard]] virtual std::expected<HeldItem, FileError> holdItem(const std::filesystem::path& item,
                                                                      std::optional<HeldFolder>& folder) const;
    // trashItem for a held item: the Trash of the effective user with the current user's home.
    // A `session` is recorded with the item in the Trash before it moves (Platform/Trash/Trash.h).
    virtual std::expected<std::filesystem::path, FileError> trashHeldItem(const HeldItem& item,
                                                                          std::string_view session = {}) const;
    // removeItem for a held item; `removedEntries` counts what went, also when the removal failed.
    // A stop requested on `stop` ends it at the next entry (ECANCELED), the rest left in place.
    virtual std::expected<void, FileError> removeHeldItem(const HeldItem& item, std::int64_t* removedEntries = nullptr,
                                                          std::stop_token stop = {}) const;
    // moveItem for a held item into a held folder under `name`. A stop requested on `stop` ends a
    // copy across file systems (ECANCELED); the item then stays where it was and the copy goes.
    virtual std::expected<void, FileError> moveHeldItem(const HeldItem& item, const HeldFolder& destination,
                                                        const std::string& name, std::stop_token stop = {}) const;

    // getuid(): whose files this process acts on behalf of.
    [[nodiscard]] virtual uid_t realUserID() const;
    // rename(2): replaces an item already at `to`; a link is moved, not followed.
    virtual std::expected<void, FileError> renameItem(const std::filesystem::path& from,
                                                      const std::filesystem::path& to) const;
    // unlink(2): one file or link, never a folder.
    virtual std::expected<void, FileError> removeFile(const std::filesystem::path& path) const;
    // rmdir(2): one empty folder, never anything in it.
    virtual std::expected<void, FileError> removeEmptyDirectory(const std::filesystem::path& path) const;
};

}  // namespace vornelo::platform

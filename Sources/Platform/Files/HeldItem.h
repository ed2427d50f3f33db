#pragma once
// An item judged once and acted on only through the folder that held it when it was judged.
//
// Contract:
//  1. hold() resolves the way to the item's folder once: the whole path is opened with
//     openat2(RESOLVE_NO_SYMLINKS), or, when a link lies on the way, walked one component at a
//     time with O_NOFOLLOW, each link read and followed by hand. The folder stays open; place()
//     is the path it was reached by, without any link, and the item's identity (device, inode)
//     is recorded. Links are only followed as the LinkRule allows.
//  2. The caller judges place() (protection, Trash membership), never the path it was given.
//  3. Every action goes through the held folder: renameat2(RENAME_NOREPLACE), unlinkat and the
//     descriptor-based removal walk. Each first checks that the folder is still reached at its
//     resolved path without links and that the same item is under its name; if not, it fails
//     with changedError() and touches nothing. Nothing outside the held folder (and, for a move,
//     the held destination folder) is ever touched, whatever is swapped in on the way later.
//
// A folder held for one item may be held on for the next items in it (hold() with a folder
// already held for that spelling): each item is then judged and re-checked as above, through the
// same descriptor, without opening the folder again.
//
// Thread safety: a value; copies share one descriptor, which may be used from any thread, one
// action at a time.

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileError.h"

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace vornelo::platform {

// Which symbolic links on the way to a folder may be followed.
enum class LinkRule {
    any,
    // Only links owned by root or by the effective user: a link someone else planted in a shared
    // folder is refused, as the kernel's own rule for links in sticky folders does.
    ownedByRootOrUser,
};

// An open folder and the link-free path it was reached by.
class HeldFolder {
public:
    // Opens `folder` (absolute, or taken against the current directory). With `createMissing`,
    // missing folders on the way are made with the process's default permissions (0777 less the
    // umask).
    [[nodiscard]] static std::expected<HeldFolder, FileError> open(std::string_view folder, LinkRule links,
                                                                   bool createMissing = false);

    int fd() const { return fd_->get(); }
    const std::string& path() const { return path_; }
    // The path as it was asked for (absolute, standardised), links and all.
    const std::string& requested() const { return requested_; }
    dev_t device() const { return device_; }
    // Whether the folder is still the one reached at path() without links.
    [[nodiscard]] bool stillInPlace() const;

private:
    friend class HeldItem;
    HeldFolder(FileDescriptor fd, std::string path, std::string requested, LinkRule links, dev_t device, ino_t inode);
    std::shared_ptr<const FileDescriptor> fd_;
    std::string path_;
    std::string requested_;
    LinkRule links_ = LinkRule::any;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

class HeldItem {
public:
    // Chooses the name of the nth attempt (from 1) inside a destination; empty ends the search.
    using NameChooser = std::function<std::string(unsigned attempt)>;

    // Holds the item at `path` (its last component is not followed). Fails with the errno of the
    // walk, ENOENT when the item is missing, EBUSY for "/".
    [[nodiscard]] static std::expected<HeldItem, FileError> hold(std::string_view path, LinkRule links = LinkRule::any);
    // The same, with `folder` holding on between calls: used when it was opened for the item's
    // folder as spelled here, replaced by the folder opened now otherwise.
    [[nodiscard]] static std::expected<HeldItem, FileError> hold(std::string_view path, LinkRule links,
                                                                 std::optional<HeldFolder>& folder);

    const HeldFolder& folder() const { return folder_; }
    const std::string& name() const { return name_; }
    const std::string& place() const { return place_; }  // the folder's path joined with the name
    std::uint64_t fileNumber() const { return inode_; }
    bool isFolder() const { return isFolder_; }
    bool isLink() const { return isLink_; }
    dev_t device() const { return device_; }
    // Whether a file system is mounted here (then it is no item to move).
    bool isMountPoint() const { return isMountPoint_; }

    // Fails with changedError() unless the folder is still in place and holds the same item.
    [[nodiscard]] std::expected<void, FileError> checkUnchanged() const;
    // Removes the item and everything inside it (never following a link, never entering another
    // file system); `removedEntries`, when given, counts what went even if the removal failed.
    // A stop requested on `stop` ends it at the next entry (ECANCELED).
    [[nodiscard]] std::expected<void, FileError> remove(std::int64_t* removedEntries = nullptr, std::stop_token stop = {}) const;
    // Moves the item into `destination` under the first free name `names` offers and returns
    // that name. Never replaces anything. Across file systems the item is copied under a
    // temporary name inside the destination, renamed into place, and then removed from here; a
    // stop requested on `stop` during that copy leaves the item here and removes the copy.
    [[nodiscard]] std::expected<std::string, FileError> moveInto(const HeldFolder& destination, const NameChooser& names,
                                                                 std::stop_token stop = {}) const;
    [[nodiscard]] std::expected<void, FileError> moveTo(const HeldFolder& destination, const std::string& name,
                                                        std::stop_token stop = {}) const;

    // The sentence for an item whose place changed after it was judged.
    [[nodiscard]] static FileError changedError(std::string_view path);

private:
    [[nodiscard]] std::expected<std::string, FileError> copyInto(const HeldFolder& destination, const NameChooser& names,
                                                                 unsigned attempt, std::stop_token stop) const;
    HeldItem(HeldFolder folder, std::string name, dev_t device, ino_t inode, mode_t mode, bool isMountPoint);
    HeldFolder folder_;
    std::string name_;
    std::string place_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    bool isFolder_ = false;
    bool isLink_ = false;
    bool isMountPoint_ = false;
};

}  // namespace vornelo::platform

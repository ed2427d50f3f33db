#pragma once
// A depth-first walk below a folder on directory descriptors: each folder is opened relative to its
// parent (openat, O_NOFOLLOW), each entry examined relative to its folder (statx), and a path is
// spelled out only to report a problem. No allocation per entry; memory grows with the depth of the
// tree, never with the number of entries.
//
// Symbolic links are never followed: a link is reported as a link and never descended into.
// Links and special files (fifos, sockets, devices) are described from the directory entry alone,
// with their sizes zero. Every folder and regular file is examined, so their attributes are
// those of the item itself.
//
// Thread safety: each call has its own state; any number of walks may run at once. A sequential
// walk calls the visitor's functions on the caller's thread; a parallel one (below) from the
// platform's worker threads too.

#include "Platform/Encoding/Iso8601.h"
#include "Platform/Files/FileError.h"
#include "Platform/Files/FileManager.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <string_view>

namespace vornelo::platform {

struct TreeWalkItem {
    std::string_view parentPath;  // the folder holding the item, as reached from the start
    std::string_view name;        // both views are valid only during the visit
    FileType type = FileType::other;
    std::int64_t size = 0;           // logical length
    std::int64_t allocatedSize = 0;  // allocated blocks x 512
    std::uint64_t fileNumber = 0;
    dev_t device = 0;             // with fileNumber, the file's identity; examined items only
    std::uint32_t linkCount = 1;  // hard links to the file; examined items only
    bool isVolumeRoot = false;  // a folder on which another file system (or a bind mount) sits
    std::size_t depth = 1;      // 1 for the items directly inside the start
    // The caller's own mark for the folder holding the item: what the visitor set as `tag` when it
    // visited that folder, 0 for the items directly inside the start. A visitor that builds a tree
    // finds its parent node through it, without looking the folder's path up.
    std::uintptr_t parentTag = 0;
    mutable std::uintptr_t tag = 0;  // a folder's visitor may set it for the items inside
    // Examined items only, like the sizes.
    TimePoint modificationDate{};
    TimePoint accessDate{};
    TimePoint statusChangeDate{};
    // Which of the walk's threads makes the visit, from 0 to treeWalkThreadCount() - 1, so that a
    // visitor can keep what it gathers per thread instead of behind a lock.
    std::size_t worker = 0;
};

enum class TreeWalkAction {
    proceed,          // descend into a folder; go on with the next item otherwise
    skipDescendants,  // do not descend into this folder
    stop,             // end the walk now
};

enum class TreeWalkEnd { completed, stopped };

struct TreeWalkVisitor {
    // Called for every item below the start that could be examined. Required.
    std::function<TreeWalkAction(const TreeWalkItem&)> visit;
    // Called with the full path of every item that could not be examined, every folder that could
    // not be opened or read; the walk then goes on. Optional.
    std::function<void(const std::filesystem::path&, const FileError&)> failed;
    // Consulted once every `checkInterval` entries met (counting each entry before it is examined,
    // unreadable ones included); an answer of false ends the walk before that entry. Optional.
    std::function<bool()> shouldContinue;
    std::uint64_t checkInterval = 512;
    // Walk with the threads of the platform's parallel-for: a folder met while another thread is
    // idle is handed to that thread. visit and failed are then called from several threads at
    // once and must allow that; shouldContinue is still asked by one thread at a time, and once it
    // has said no, each thread makes at most the visit it was already starting. The order of items differs from run to run.
    // Folders are handed out only to idle threads, so memory still grows with the depth of the
    // tree and the number of threads only.
    bool parallel = false;
    // Open folders without updating their access times where the kernel allows it (the caller
    // owns them, or may act for any owner), so that looking changes nothing.
    bool noAccessTime = false;
};

// How many threads a walk uses, so a visitor can size what it keeps per thread.
[[nodiscard]] std::size_t treeWalkThreadCount(bool parallel);

// Walks everything below `start`, which must be a folder (a final symbolic link is not followed).
// The start itself is not visited. Fails only when the start cannot be opened as a folder.
[[nodiscard]] std::expected<TreeWalkEnd, FileError> walkTree(const std::filesystem::path& start,
                                                             const TreeWalkVisitor& visitor);

}  // namespace vornelo::platform

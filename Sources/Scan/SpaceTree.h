#pragma once
// Where the space below a folder went: every folder with the disk space of all it holds, and in
// each folder its largest files by name, the rest of its files as a count and a sum. One node per
// folder and none per file keeps a tree of millions of files small; names are stored once.
//
// Sizes are those the deletion engine frees: allocated blocks of regular files (their logical
// length as the apparent size), symbolic links never followed and counting nothing, file systems
// mounted below never entered, a file with several hard links counted once in the tree.
//
// Thread safety: measure() fills the tree from the walk's threads. While it runs, one other thread,
// the tree's owner, may read it and may remove(): it sees every folder and file met so far, with
// the sizes measured so far. replace() and exportTo() wait until measuring has ended. Folders are
// never freed before the tree, so a Folder pointer stays valid for the tree's life.

#include "Core/ScanCoverage.h"
#include "Platform/Files/FileError.h"
#include "Platform/Files/FileManager.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo {

class SpaceTree {
public:
    static constexpr std::size_t unlimited = std::numeric_limits<std::size_t>::max();

    struct Options {
        // Files kept by name in each folder: the largest, by the size below.
        std::size_t filesPerFolder = 200;
        // Folders deeper than this (the start is 0) get no node of their own: what they hold counts
        // in their nearest ancestor that has one.
        std::size_t folderDepth = unlimited;
        // Rank files by apparent size rather than allocated size when choosing whom to keep.
        bool keepByApparentSize = false;
    };

    struct Totals {
        std::int64_t sizeBytes = 0;      // allocated
        std::int64_t apparentBytes = 0;  // logical lengths
        std::int64_t files = 0;          // everything that is not a folder: files, links, devices, ...
        std::int64_t folders = 0;

        [[nodiscard]] std::int64_t bytes(bool apparent) const { return apparent ? apparentBytes : sizeBytes; }
        bool operator==(const Totals&) const = default;
    };

    enum class Kind : std::uint8_t { folder, file, symbolicLink, other };
    enum class Order { size, name, count };
    // The kind's name in exports and JSON output.
    [[nodiscard]] static std::string_view kindName(Kind kind);

private:
    struct Counters {
        std::atomic<std::int64_t> sizeBytes{0};
        std::atomic<std::int64_t> apparentBytes{0};
        std::atomic<std::int64_t> files{0};
        std::atomic<std::int64_t> folders{0};

        void add(const Totals& amount);
        [[nodiscard]] Totals load() const;
    };
    struct KeptFiles;

public:
    class Folder {
    public:
        Folder(Folder* parent, std::string_view name);
        ~Folder();
        Folder(const Folder&) = delete;
        Folder& operator=(const Folder&) = delete;

        [[nodiscard]] const Folder* parent() const { return parent_; }
        [[nodiscard]] std::string_view name() const { return name_; }
        [[nodiscard]] bool unreadable() const { return flags_.load(std::memory_order_relaxed) & unreadableFlag; }
        [[nodiscard]] bool otherFileSystem() const { return flags_.load(std::memory_order_relaxed) & otherFileSystemFlag; }
        [[nodiscard]] bool removed() const { return flags_.load(std::memory_order_relaxed) & removedFlag; }

    private:
        friend class SpaceTree;
        static constexpr std::uint8_t unreadableFlag = 1, otherFileSystemFlag = 2, removedFlag = 4;

        void setFlag(std::uint8_t flag) { flags_.fetch_or(flag, std::memory_order_relaxed); }
        // Folders directly inside, newest first; a new one is published with a release store, so a
        // reader that loads the head with acquire sees every folder completely built.
        const Folder* firstChild() const { return firstChild_.load(std::memory_order_acquire); }

        Folder* parent_;
        std::string_view name_;
        std::atomic<Folder*> firstChild_{nullptr};
        Folder* nextSibling_ = nullptr;
        Counters content_;  // files and folders directly inside, and all below folders without a node
        Totals total_;      // everything below, once complete
        std::unique_ptr<KeptFiles> kept_;  // under the tree's lock for this folder
        std::atomic<std::uint8_t> flags_{0};
    };

    // One line of a folder's listing: a folder below it or one of its kept files.
    struct Entry {
        std::string name;
        Kind kind = Kind::file;
        Totals totals;
        const Folder* folder = nullptr;  // for folders
        bool unreadable = false;         // part of the folder could not be read: its size is too small
        bool otherFileSystem = false;    // another file system is mounted here; not entered
    };

    enum class Outcome { completed, stopped, failed };

    explicit SpaceTree(std::filesystem::path root);
    SpaceTree(std::filesystem::path root, Options options);
    ~SpaceTree();
    SpaceTree(const SpaceTree&) = delete;
    SpaceTree& operator=(const SpaceTree&) = delete;

    // ---- Measuring ----

    // Walks below the root, once, on the platform's parallel walk. Unreadable items are reported to
    // the recorder; shouldContinue is asked every 512 items (from one walking thread at a time) and
    // ends the walk with `stopped` when it answers false. `failed` when the root is no folder that
    // can be read (reported to the recorder as well).
    Outcome measure(const platform::FileManager& fileManager, ScanCoverageRecorder* coverage,
                    const std::function<bool()>& shouldContinue);
    // Measuring has ended (or the tree was imported): totals are final until the next change.
    [[nodiscard]] bool isComplete() const { return complete_.load(std::memory_order_acquire); }
    // Items met so far, in steps of 512 while measuring.
    [[nodiscard]] std::uint64_t itemsSeen() const { return itemsSeen_.load(std::memory_order_relaxed); }
    [[nodiscard]] const Options& options() const { return options_; }

    // ---- Reading ----

    [[nodiscard]] const Folder& root() const { return *root_; }
    [[nodiscard]] const std::filesystem::path& rootPath() const { return rootPath_; }
    // The folder's full path: the root's path and the names below it.
    [[nodiscard]] std::string path(const Folder& folder) const;
    // Everything below the folder.
    [[nodiscard]] Totals totals(const Folder& folder) const;
    // The folder's files that are not kept by name.
    [[nodiscard]] Totals otherFiles(const Folder& folder) const;
    // The folders and kept files directly inside, in the order asked for: largest first (size and
    // count, by apparent size when asked), or by name. Ties are broken by name.
    [[nodiscard]] std::vector<Entry> entries(const Folder& folder, Order order, bool apparent) const;
    // The folder at a path below (or at) the root, when it has a node.
    [[nodiscard]] const Folder* find(std::string_view path) const;
    // The folder and every folder above it are still part of the tree (not removed or replaced).
    [[nodiscard]] bool contains(const Folder& folder) const;

    // ---- Changing, by the owner ----

    // Takes out an item that is gone from disk: a folder below `parent` or one of its kept files.
    // Its size no longer counts anywhere. False when there is no such item.
    bool remove(const Folder& parent, std::string_view name);
    // Puts a fresh measurement of the same folder in place of what `folder` held. Both trees must
    // be complete; `fresh` is kept alive inside this tree.
    void replace(const Folder& folder, std::unique_ptr<SpaceTree> fresh);

    // ---- Export and import (SpaceTree+Export.cpp) ----

    // One JSON document, replacing the file as a whole. Only a complete tree.
    [[nodiscard]] std::expected<void, platform::FileError> exportTo(const std::filesystem::path& file) const;
    // Reads what exportTo wrote. Every value is checked: a damaged or hostile file is refused with
    // one sentence saying what is wrong.
    [[nodiscard]] static std::expected<std::unique_ptr<SpaceTree>, std::string> importFrom(
        const std::filesystem::path& file);
    // When an imported tree was measured, as exported; nothing for a tree measured here.
    [[nodiscard]] const std::optional<std::string>& measuredAt() const { return measuredAt_; }

private:
    Folder& newFolder(Folder* parent, std::string_view name);
    std::string_view storeName(std::string_view name);
    void keepFile(Folder& folder, std::string_view name, Kind kind, std::int64_t sizeBytes, std::int64_t apparentBytes);
    void markUnreadable(const std::filesystem::path& path);
    // The deepest folder with a node on the way to `path`, and whether it is the path itself.
    std::pair<const Folder*, bool> deepest(std::string_view path) const;
    void finish();
    Totals sumBelow(const Folder& folder) const;
    std::mutex& lockFor(const Folder& folder) const;
    void addToAncestors(const Folder& folder, const Totals& amount, bool subtract);

    std::filesystem::path rootPath_;
    Options options_;
    std::optional<std::string> measuredAt_;

    std::mutex changeMutex_;   // the totals of a complete tree: finish(), remove() and replace()
    std::mutex storageMutex_;  // folders_ and names_ only
    std::deque<Folder> folders_;
    std::vector<std::unique_ptr<char[]>> names_;
    char* nameCursor_ = nullptr;
    std::size_t nameSpaceLeft_ = 0;
    std::vector<std::unique_ptr<SpaceTree>> grafts_;  // fresh measurements put in place by replace()

    Folder* root_ = nullptr;
    std::atomic<bool> complete_{false};
    std::atomic<std::uint64_t> itemsSeen_{0};
    // The kept files of a folder are guarded by one of these, chosen by the folder's address.
    mutable std::array<std::mutex, 32> fileLocks_;
};

}  // namespace vornelo

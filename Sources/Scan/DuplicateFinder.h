#pragma once
// Which files have equal contents, reading as little as it can: files are grouped by size, then
// by a hash of their first block (and, past 64 KiB, of their last block, read in the same
// opening), then of their whole content, and each stage reads only the files still sharing a
// group. A file of at most two blocks is read whole by the first stage. The hash is XXH3-128 with a secret of the
// run's own (platform::ContentHash), computed on the platform's pool.
//
// Every file is read through its root's ContentRoot (no link followed, access times untouched),
// by its name in its folder, each folder opened once for the files of it read together, and only
// while it is the file that was walked: a file whose stamp differs from the walk's when it is
// opened, or changes while its whole content is read, is dropped from its group and reported as
// changed. (A file of one or two blocks is read in one call; a write racing that call is what the
// cleanup's own comparison of each copy with the copy that stays is there for.)
//
// Thread safety: find() may be called from any thread; the source is read from the pool's threads
// at once and must allow that.

#include "Platform/Encoding/ContentHash.h"
#include "Platform/Files/ContentReader.h"
#include "Platform/Files/FileError.h"

#include <cstdint>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vornelo::scan {

class DuplicateFinder {
public:
    static constexpr std::int64_t blockSize = 4096;

    // The files to compare, by index. Different indices must be different files (hard links to
    // one file are the caller's to fold into one).
    class Source {
    public:
        virtual ~Source() = default;
        [[nodiscard]] virtual std::size_t count() const = 0;
        [[nodiscard]] virtual platform::FileStamp stamp(std::size_t index) const = 0;  // as walked
        [[nodiscard]] virtual const platform::ContentRoot& root(std::size_t index) const = 0;
        // The files of one folder below one root share a folder key.
        [[nodiscard]] virtual std::uint64_t folder(std::size_t index) const = 0;
        // The folder's path below the root ("" for the root itself).
        virtual void folderPath(std::size_t index, std::string& out) const = 0;
        [[nodiscard]] virtual std::string_view name(std::size_t index) const = 0;
    };

    struct Outcome {
        // Groups of indices with equal contents: each of at least two, in ascending order; the
        // groups ordered by their first index.
        std::vector<std::vector<std::uint32_t>> groups;
        std::vector<std::pair<std::uint32_t, platform::FileError>> unreadable;
        std::vector<std::uint32_t> changed;  // dropped: not the file that was walked any more
        bool stopped = false;                // a stop ended a stage; files not read were dropped
    };

    DuplicateFinder(const platform::ContentHash& hash, std::stop_token stop) : hash_(hash), stop_(std::move(stop)) {}

    // Compares the files of `indices` (all of the source when empty is not wanted: pass them).
    [[nodiscard]] Outcome find(const Source& source, std::vector<std::uint32_t> indices) const;

private:
    enum class Stage { blocks, whole };
    struct Read;

    void runStage(const Source& source, Stage stage, std::vector<std::vector<std::uint32_t>>& groups,
                  Outcome& outcome) const;

    const platform::ContentHash& hash_;
    std::stop_token stop_;
};

}  // namespace vornelo::scan

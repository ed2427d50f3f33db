#include "Scan/DuplicateFinder.h"

#include "Platform/Concurrency/ConcurrentPerform.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <optional>

namespace vornelo::scan {

namespace {

using platform::ContentReader;
using platform::Hash128;

constexpr std::size_t filesPerTask = 32;
constexpr std::size_t wholeBufferBytes = 128 * 1024;
// Past this size the first stage reads the last block too, in the same opening: files that large
// sharing a size are nearly always copies, whose last blocks would be read anyway. Below it the
// whole content costs about what a last block does.
constexpr std::int64_t lastBlockFrom = 64 * 1024;

using Group = std::vector<std::uint32_t>;

// Splits each group into runs of equal key, dropping members without one and runs of one.
std::vector<Group> regrouped(const std::vector<Group>& groups, const std::vector<std::optional<Hash128>>& keys,
                             const std::vector<bool>& inStage) {
    std::vector<Group> result;
    for (const auto& group : groups) {
        if (!inStage[group.front()]) {  // the whole group skips this stage (sizes are equal)
            result.push_back(group);
            continue;
        }
        Group kept;
        for (const auto index : group) {
            if (keys[index]) kept.push_back(index);
        }
        std::stable_sort(kept.begin(), kept.end(), [&](std::uint32_t a, std::uint32_t b) { return *keys[a] < *keys[b]; });
        for (std::size_t start = 0; start < kept.size();) {
            std::size_t end = start + 1;
            while (end < kept.size() && *keys[kept[end]] == *keys[kept[start]]) ++end;
            if (end - start >= 2) {
                Group run(kept.begin() + static_cast<std::ptrdiff_t>(start), kept.begin() + static_cast<std::ptrdiff_t>(end));
                std::sort(run.begin(), run.end());
                result.push_back(std::move(run));
            }
            start = end;
        }
    }
    return result;
}

}  // namespace

// One file's read in one stage.
struct DuplicateFinder::Read {
    enum class Result { hashed, unreadable, changed };
    Result result = Result::hashed;
    Hash128 key;
    std::optional<platform::FileError> error;
};

DuplicateFinder::Outcome DuplicateFinder::find(const Source& source, std::vector<std::uint32_t> indices) const {
    Outcome outcome;
    std::vector<std::pair<std::int64_t, std::uint32_t>> bySize;
    bySize.reserve(indices.size());
    for (const auto index : indices) bySize.emplace_back(source.stamp(index).size, index);
    std::vector<std::uint32_t>().swap(indices);
    std::sort(bySize.begin(), bySize.end());
    std::vector<Group> groups;
    for (std::size_t start = 0; start < bySize.size();) {
        std::size_t end = start + 1;
        const auto size = bySize[start].first;
        while (end < bySize.size() && bySize[end].first == size) ++end;
        if (end - start >= 2 && size > 0) {
            Group group;
            for (auto at = start; at < end; ++at) group.push_back(bySize[at].second);
            groups.push_back(std::move(group));
        }
        start = end;
    }
    std::vector<std::pair<std::int64_t, std::uint32_t>>().swap(bySize);
    for (const auto stage : {Stage::blocks, Stage::whole}) {
        if (groups.empty()) break;
        runStage(source, stage, groups, outcome);
    }
    std::sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) { return a.front() < b.front(); });
    outcome.groups = std::move(groups);
    std::sort(outcome.changed.begin(), outcome.changed.end());
    return outcome;
}

void DuplicateFinder::runStage(const Source& source, Stage stage, std::vector<Group>& groups, Outcome& outcome) const {
    // A file of at most two blocks is read whole by the first stage; a larger one by the second.
    const auto needs = [stage](std::int64_t size) { return stage == Stage::blocks || size > 2 * blockSize; };
    std::vector<bool> inStage(source.count(), false);
    // Folder by folder, each in the order of its files' numbers, which on most file systems is
    // close to their order on disk.
    struct Work {
        const platform::ContentRoot* root;
        std::uint64_t folder;
        std::uint64_t fileNumber;
        std::uint32_t index;
        auto operator<=>(const Work&) const = default;
    };
    std::vector<Work> work;
    for (const auto& group : groups) {
        if (!needs(source.stamp(group.front()).size)) continue;
        for (const auto index : group) {
            inStage[index] = true;
            work.push_back({&source.root(index), source.folder(index), source.stamp(index).fileNumber, index});
        }
    }
    if (work.empty()) return;
    std::sort(work.begin(), work.end());

    std::vector<std::optional<Hash128>> keys(source.count());
    std::mutex lock;  // guards outcome's lists
    const auto tasks = (work.size() + filesPerTask - 1) / filesPerTask;
    // Read-ahead is asked for where a file takes more than one read.
    const auto accessFor = [stage](std::int64_t size) {
        return stage == Stage::whole && size > static_cast<std::int64_t>(wholeBufferBytes) ? ContentReader::Access::whole
                                                                                           : ContentReader::Access::blocks;
    };
    platform::concurrentPerform(tasks, [&](std::size_t task) {
        std::string path;
        std::vector<std::byte> buffer(stage == Stage::whole ? wholeBufferBytes : static_cast<std::size_t>(3 * blockSize));
        std::optional<std::expected<platform::ContentFolder, platform::FileError>> folder;
        const Work* folderOf = nullptr;
        const auto end = std::min(work.size(), (task + 1) * filesPerTask);
        for (auto at = task * filesPerTask; at < end; ++at) {
            if (stop_.stop_requested()) return;
            const auto& item = work[at];
            if (!folderOf || folderOf->root != item.root || folderOf->folder != item.folder) {
                source.folderPath(item.index, path);
                folder = item.root->openFolder(path);
                folderOf = &item;
            }
            const auto index = item.index;
            const auto expected = source.stamp(index);
            Read read;
            auto reader = *folder ? (*folder)->openFile(source.name(index), accessFor(expected.size))
                                  : std::expected<ContentReader, platform::FileError>(std::unexpected(folder->error()));
            if (!reader) {
                read.result = Read::Result::unreadable;
                read.error = reader.error();
            } else if (reader->stamp() != expected) {
                read.result = Read::Result::changed;
            } else if (stage == Stage::whole) {
                platform::ContentHash::Stream stream(hash_);
                std::int64_t offset = 0;
                while (read.result == Read::Result::hashed && offset < expected.size) {
                    const auto got = reader->read(offset, buffer);
                    if (!got) {
                        read.result = Read::Result::unreadable;
                        read.error = got.error();
                    } else if (*got == 0) {
                        read.result = Read::Result::changed;  // shorter than it was
                    } else {
                        stream.update(std::span(buffer).first(*got));
                        offset += static_cast<std::int64_t>(*got);
                    }
                }
                read.key = stream.digest();
                // Written to while it was read: what was hashed is not what was walked.
                const auto after = reader->currentStamp();
                if (read.result == Read::Result::hashed && (!after || *after != expected)) read.result = Read::Result::changed;
            } else {
                // The whole of a small file; the first block, and past lastBlockFrom the last one too.
                const auto first = std::min(expected.size, expected.size <= 2 * blockSize ? 2 * blockSize : blockSize);
                const auto last = expected.size > lastBlockFrom ? blockSize : 0;
                const auto head = reader->read(0, std::span(buffer).first(static_cast<std::size_t>(first)));
                const auto tail = last == 0 ? head : reader->read(expected.size - last, std::span(buffer).subspan(static_cast<std::size_t>(first), static_cast<std::size_t>(last)));
                if (!head || !tail) {
                    read.result = Read::Result::unreadable;
                    read.error = head ? tail.error() : head.error();
                } else if (static_cast<std::int64_t>(*head) != first || (last > 0 && static_cast<std::int64_t>(*tail) != last)) {
                    read.result = Read::Result::changed;
                } else {
                    read.key = hash_.hash(std::span(buffer).first(static_cast<std::size_t>(first + last)));
                }
            }
            switch (read.result) {
                case Read::Result::hashed: keys[index] = read.key; break;
                case Read::Result::changed: {
                    std::lock_guard guard(lock);
                    outcome.changed.push_back(index);
                    break;
                }
                case Read::Result::unreadable: {
                    std::lock_guard guard(lock);
                    outcome.unreadable.emplace_back(index, *read.error);
                    break;
                }
            }
        }
    });
    if (stop_.stop_requested()) outcome.stopped = true;
    groups = regrouped(groups, keys, inStage);
}

}  // namespace vornelo::scan

#include "Scan/DuplicateFinder.h"
#include "Platform/Files/TreeWalk.h"
#include "Support/FileChecks.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <set>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using scan::DuplicateFinder;
using Groups = std::vector<std::vector<std::uint32_t>>;

// The files of a folder as the walk saw them, handed to the finder; `onRead` runs each time the
// finder asks for a file's name, that is each time it is about to open the file.
class FolderSource final : public DuplicateFinder::Source {
public:
    explicit FolderSource(const fs::path& folder) : root_(*platform::ContentRoot::open(folder)) {
        platform::TreeWalkVisitor visitor;
        visitor.visit = [this](const platform::TreeWalkItem& item) {
            if (item.type == platform::FileType::regular) files_.push_back({std::string(item.name), platform::FileStamp::of(item)});
            return platform::TreeWalkAction::proceed;
        };
        EXPECT_TRUE(platform::walkTree(folder, visitor));
        std::sort(files_.begin(), files_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    }

    std::size_t count() const override { return files_.size(); }
    platform::FileStamp stamp(std::size_t index) const override { return files_[index].second; }
    const platform::ContentRoot& root(std::size_t) const override { return root_; }
    std::uint64_t folder(std::size_t) const override { return 0; }
    void folderPath(std::size_t, std::string& out) const override { out.clear(); }
    std::string_view name(std::size_t index) const override {
        if (onRead) onRead(files_[index].first);
        return files_[index].first;
    }

    std::uint32_t indexOf(const std::string& name) const {
        for (std::size_t i = 0; i < files_.size(); ++i) {
            if (files_[i].first == name) return static_cast<std::uint32_t>(i);
        }
        return UINT32_MAX;
    }
    std::vector<std::uint32_t> all() const {
        std::vector<std::uint32_t> indices(files_.size());
        for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<std::uint32_t>(i);
        return indices;
    }
    // The groups as sets of names, for comparing.
    std::set<std::set<std::string>> named(const Groups& groups) const {
        std::set<std::set<std::string>> result;
        for (const auto& group : groups) {
            std::set<std::string> names;
            for (const auto index : group) names.insert(files_[index].first);
            result.insert(names);
        }
        return result;
    }

    std::function<void(const std::string&)> onRead;

private:
    platform::ContentRoot root_;
    std::vector<std::pair<std::string, platform::FileStamp>> files_;
};

void write(const fs::path& path, const std::string& contents) { std::ofstream(path, std::ios::binary) << contents; }

std::string pattern(std::size_t size, unsigned seed) {
    std::string text(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& c : text) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
    return text;
}

// Sizes around the block boundaries: within one block, within two, larger; each base has an
// exact copy and variants that differ only in the first, a middle or the last byte.
TEST(DuplicateFinder, GroupsOnlyEqualContentsWhereverTheyDiffer) {
    test::TempDirectory folder;
    const std::size_t block = DuplicateFinder::blockSize;
    std::set<std::set<std::string>> expected;
    for (const std::size_t size : {std::size_t{1}, std::size_t{100}, block, block + 1, 2 * block, 2 * block + 1, std::size_t{50000}, std::size_t{65537}, std::size_t{200000}}) {
        const auto name = std::to_string(size);
        const auto base = pattern(size, static_cast<unsigned>(size));
        write(folder / (name + "-a"), base);
        write(folder / (name + "-b"), base);
        expected.insert({name + "-a", name + "-b"});
        for (const std::size_t at : {std::size_t{0}, size / 2, size - 1}) {
            auto changed = base;
            changed[at] = static_cast<char>(changed[at] ^ 0x5A);
            write(folder / (name + "-at" + std::to_string(at)), changed);
        }
    }
    write(folder / "empty-a", "");
    write(folder / "empty-b", "");  // files of no size are never compared
    const FolderSource source(folder.path());
    const platform::ContentHash hash(1);
    const auto outcome = DuplicateFinder(hash, {}).find(source, source.all());
    EXPECT_EQ(source.named(outcome.groups), expected);
    EXPECT_TRUE(outcome.changed.empty());
    EXPECT_TRUE(outcome.unreadable.empty());
    EXPECT_FALSE(outcome.stopped);
}

// A file changed after the walk, or between two stages, is dropped rather than grouped; one that
// cannot be read is reported.
TEST(DuplicateFinder, AFileChangedBetweenStagesIsDroppedAndAnUnreadableOneReported) {
    test::TempDirectory folder;
    const auto big = pattern(100000, 3);
    for (const auto* name : {"x1", "x2", "x3", "x4"}) write(folder / name, big);
    write(folder / "y1", pattern(200, 4));
    write(folder / "y2", pattern(200, 4));
    FolderSource source(folder.path());
    // x3 is rewritten, same bytes and size, when the whole-content stage is about to read it: its
    // stamp no longer matches the walk's, so it is dropped. y2 goes away.
    std::map<std::string, int> reads;
    source.onRead = [&](const std::string& name) {
        if (++reads[name] == 2 && name == "x3") {
            write(folder / "x3", big);
            struct timespec later[2] = {{0, UTIME_NOW}, {time(nullptr) + 5, 0}};
            ::utimensat(AT_FDCWD, (folder / "x3").c_str(), later, 0);
        }
        if (name == "y2") fs::remove(folder / "y2");
    };
    const platform::ContentHash hash(2);
    const auto outcome = DuplicateFinder(hash, {}).find(source, source.all());
    EXPECT_EQ(source.named(outcome.groups), (std::set<std::set<std::string>>{{"x1", "x2", "x4"}}));
    EXPECT_EQ(outcome.changed, std::vector<std::uint32_t>{source.indexOf("x3")});
    ASSERT_EQ(outcome.unreadable.size(), 1u);
    EXPECT_EQ(outcome.unreadable[0].first, source.indexOf("y2"));
    EXPECT_EQ(reads["x1"], 2) << "first and last blocks in one opening, then the whole content";
    EXPECT_EQ(reads["y1"], 1) << "a small file is settled by its first read";
}

TEST(DuplicateFinder, AStopDropsWhatWasNotRead) {
    test::TempDirectory folder;
    for (int i = 0; i < 100; ++i) write(folder / ("f" + std::to_string(i)), "same");
    const FolderSource source(folder.path());
    std::stop_source stop;
    stop.request_stop();
    const platform::ContentHash hash(3);
    const auto outcome = DuplicateFinder(hash, stop.get_token()).find(source, source.all());
    EXPECT_TRUE(outcome.groups.empty());
    EXPECT_TRUE(outcome.stopped);
}

}  // namespace
}  // namespace vornelo

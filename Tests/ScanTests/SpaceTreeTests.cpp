#include "Scan/SpaceTree.h"

#include "Core/FileSizing.h"
#include "Support/ChildProcess.h"
#include "Support/DeleterHarness.h"
#include "Support/FileChecks.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using test::allocatedSizeOf;
using test::writeFile;
using Order = SpaceTree::Order;
using Totals = SpaceTree::Totals;

// Delayed allocation may still change block counts until the data is written back.
void settle(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::syncfs(fd);
    ::close(fd);
}

std::unique_ptr<SpaceTree> measured(const fs::path& root, SpaceTree::Options options = {},
                                    ScanCoverageRecorder* coverage = nullptr) {
    settle(root);
    auto tree = std::make_unique<SpaceTree>(root, options);
    EXPECT_EQ(tree->measure(platform::FileManager::defaultManager(), coverage, {}), SpaceTree::Outcome::completed);
    EXPECT_TRUE(tree->isComplete());
    return tree;
}

std::vector<std::string> names(const SpaceTree& tree, const SpaceTree::Folder& folder, Order order, bool apparent = false) {
    std::vector<std::string> list;
    for (const auto& entry : tree.entries(folder, order, apparent)) list.push_back(entry.name);
    return list;
}

std::int64_t engineSize(const fs::path& path) {
    return FileSizing::allocatedSize(path, platform::FileManager::defaultManager(), nullptr, [] { return true; });
}

class SpaceTreeTest : public ::testing::Test {
protected:
    fs::path at(const std::string& relative) const { return directory / "root" / relative; }
    fs::path root() const { return directory / "root"; }
    test::TempDirectory directory;
};

TEST_F(SpaceTreeTest, EveryFolderGetsItsTotalAndTheLargestFilesAreKeptByNameTheRestAsASum) {
    const std::vector<std::pair<std::string, std::size_t>> files{
        {"big/a", 40960}, {"big/b", 20480}, {"big/c", 12288}, {"big/d", 8192}, {"big/e", 4096},
        {"big/inner/x", 8192}, {"Top.bin", 28672}, {"hard", 16384}};
    for (const auto& [name, bytes] : files) writeFile(at(name), std::string(bytes, 'v'));
    fs::create_directories(at("empty"));
    fs::create_hard_link(at("hard"), at("hard twin"));
    fs::create_symlink(at("big"), at("link"));
    ASSERT_EQ(::mkfifo(at("pipe").c_str(), 0600), 0);

    SpaceTree::Options options;
    options.filesPerFolder = 3;
    const auto tree = measured(root(), options);
    const auto& top = tree->root();
    std::int64_t expected = 0;
    for (const auto& [name, bytes] : files) expected += allocatedSizeOf(at(name));
    // Links count nothing, the hard link's second name nothing more; every item is counted.
    EXPECT_EQ(tree->totals(top), (Totals{expected, 139264, 11, 3}));

    const auto* big = tree->find(at("big").native());
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(tree->path(*big), at("big").native());
    EXPECT_EQ(names(*tree, *big, Order::size), (std::vector<std::string>{"a", "b", "c", "inner"}));
    EXPECT_EQ(tree->otherFiles(*big), (Totals{allocatedSizeOf(at("big/d")) + allocatedSizeOf(at("big/e")), 12288, 2, 0}));
    EXPECT_EQ(tree->totals(*big).sizeBytes, engineSize(at("big")));
    // Root: the hard link's bytes go to whichever name came first, once.
    const auto listing = tree->entries(top, Order::size, false);
    ASSERT_EQ(listing.size(), 2u + 3u);  // folders big, empty; the three largest of five files
    EXPECT_EQ(listing[0].name, "big");
    EXPECT_EQ(listing[0].kind, SpaceTree::Kind::folder);
    EXPECT_EQ(listing[0].folder, big);
    EXPECT_EQ(listing[1].name, "Top.bin");
    EXPECT_TRUE(listing[2].name.starts_with("hard"));
    EXPECT_EQ(listing[2].totals.sizeBytes, allocatedSizeOf(at("hard")));
    EXPECT_EQ(tree->otherFiles(top), (Totals{0, 0, 2, 0}));  // two of the other name, the link and the pipe

    SpaceTree::Options everything;
    const auto whole = measured(root(), everything);
    EXPECT_EQ(names(*whole, whole->root(), Order::name),
              (std::vector<std::string>{"big", "empty", "hard", "hard twin", "link", "pipe", "Top.bin"}));
    EXPECT_EQ(names(*whole, whole->root(), Order::count).front(), "big");  // six files below
    std::map<std::string, SpaceTree::Kind> kinds;
    for (const auto& entry : whole->entries(whole->root(), Order::name, false)) kinds[entry.name] = entry.kind;
    EXPECT_EQ(kinds["link"], SpaceTree::Kind::symbolicLink);
    EXPECT_EQ(kinds["pipe"], SpaceTree::Kind::other);
    EXPECT_EQ(kinds["empty"], SpaceTree::Kind::folder);
    // Sorted by apparent size, the 1-byte-long file ranks by its length, not its block.
    writeFile(at("sparse/long"), "");
    fs::resize_file(at("sparse/long"), 1 << 20);
    writeFile(at("sparse/short"), std::string(5000, 's'));
    const auto sparse = measured(at("sparse"));
    EXPECT_EQ(names(*sparse, sparse->root(), Order::size, true), (std::vector<std::string>{"long", "short"}));
    EXPECT_EQ(names(*sparse, sparse->root(), Order::size, false), (std::vector<std::string>{"short", "long"}));

    EXPECT_NE(tree->find(at("big/inner").native()), nullptr);
    EXPECT_EQ(tree->find(at("nothing").native()), nullptr);
    EXPECT_EQ(tree->find(at("bigger").native()), nullptr);
    EXPECT_EQ(tree->find("/elsewhere"), nullptr);
    EXPECT_EQ(tree->find(root().native() + "/"), &top);
}

TEST_F(SpaceTreeTest, AParallelWalkAgreesWithTheEngineOnEveryFolderWhileTheOwnerReadsAlong) {
    for (int folder = 0; folder < 20; ++folder) {
        for (int file = 0; file < 30; ++file) {
            writeFile(at("f" + std::to_string(folder) + "/s" + std::to_string(file % 3) + "/" + std::to_string(file)),
                      std::string(static_cast<std::size_t>(100 * file + folder), 'p'));
        }
    }
    settle(root());
    SpaceTree tree(root());
    std::atomic<bool> done{false};
    std::int64_t largestSeen = 0;
    std::thread reader([&] {
        // What the owner sees while the walk runs only ever grows towards the final figure.
        while (!done) {
            for (const auto& entry : tree.entries(tree.root(), Order::size, false)) (void)tree.otherFiles(*entry.folder);
            largestSeen = std::max(largestSeen, tree.totals(tree.root()).sizeBytes);
        }
    });
    EXPECT_EQ(tree.measure(platform::FileManager::defaultManager(), nullptr, {}), SpaceTree::Outcome::completed);
    done = true;
    reader.join();
    EXPECT_LE(largestSeen, tree.totals(tree.root()).sizeBytes);
    EXPECT_EQ(tree.totals(tree.root()), (Totals{engineSize(root()), 20 * 100 * 435 + 30 * 190, 600, 80}));
    std::size_t folders = 0;
    std::vector<const SpaceTree::Folder*> pending{&tree.root()};
    while (!pending.empty()) {
        const auto* folder = pending.back();
        pending.pop_back();
        ++folders;
        EXPECT_EQ(tree.totals(*folder).sizeBytes, engineSize(tree.path(*folder))) << tree.path(*folder);
        for (const auto& entry : tree.entries(*folder, Order::name, false)) {
            if (entry.folder) pending.push_back(entry.folder);
        }
    }
    EXPECT_EQ(folders, 81u);

    // Told to stop, the walk ends early and says so.
    SpaceTree stopped(root());
    EXPECT_EQ(stopped.measure(platform::FileManager::defaultManager(), nullptr, [] { return false; }),
              SpaceTree::Outcome::stopped);
    EXPECT_TRUE(stopped.isComplete());
    EXPECT_LT(stopped.totals(stopped.root()).files, 600);
    EXPECT_EQ(stopped.itemsSeen(), 512u);

    ScanCoverageRecorder coverage;
    SpaceTree missing(at("gone"));
    EXPECT_EQ(missing.measure(platform::FileManager::defaultManager(), &coverage, {}), SpaceTree::Outcome::failed);
    EXPECT_TRUE(missing.root().unreadable());
    EXPECT_EQ(coverage.snapshot().missingCount(), 1);
}

TEST_F(SpaceTreeTest, BelowTheDepthAskedForFoldersCountInTheirAncestorAndTheirFilesAreNotListedThere) {
    writeFile(at("a/b/c/deep"), std::string(9000, 'd'));
    writeFile(at("a/near"), std::string(3000, 'n'));
    writeFile(at("top"), "t");
    SpaceTree::Options options;
    options.folderDepth = 1;
    const auto tree = measured(root(), options);
    const auto* a = tree->find(at("a").native());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(tree->find(at("a/b").native()), nullptr);
    EXPECT_EQ(tree->totals(*a), (Totals{allocatedSizeOf(at("a/b/c/deep")) + allocatedSizeOf(at("a/near")), 12000, 2, 2}));
    EXPECT_EQ(names(*tree, *a, Order::size), (std::vector<std::string>{"near"}));
    EXPECT_EQ(tree->totals(tree->root()).folders, 3);

    options.folderDepth = 0;
    options.filesPerFolder = 0;
    const auto flat = measured(root(), options);
    EXPECT_EQ(tree->totals(tree->root()), flat->totals(flat->root()));
    EXPECT_TRUE(flat->entries(flat->root(), Order::size, false).empty());
}

TEST_F(SpaceTreeTest, RemovedItemsLeaveEveryTotalAboveThemAndAFreshMeasurementTakesAFolderOver) {
    writeFile(at("keep/file"), std::string(8192, 'k'));
    writeFile(at("keep/sub/one"), std::string(4096, 'o'));
    writeFile(at("drop/x"), std::string(12288, 'x'));
    writeFile(at("loose"), std::string(4096, 'l'));
    auto tree = measured(root());
    const auto before = tree->totals(tree->root());
    const auto* drop = tree->find(at("drop").native());
    const auto* keep = tree->find(at("keep").native());
    ASSERT_TRUE(drop && keep);

    EXPECT_TRUE(tree->remove(tree->root(), "drop"));
    EXPECT_FALSE(tree->contains(*drop));
    EXPECT_EQ(tree->find(at("drop").native()), nullptr);
    EXPECT_TRUE(tree->remove(*keep, "file"));
    EXPECT_FALSE(tree->remove(*keep, "file"));
    EXPECT_FALSE(tree->remove(tree->root(), "nothing"));
    const Totals gone{allocatedSizeOf(at("drop/x")) + allocatedSizeOf(at("keep/file")), 12288 + 8192, 2, 1};
    EXPECT_EQ(tree->totals(tree->root()),
              (Totals{before.sizeBytes - gone.sizeBytes, before.apparentBytes - gone.apparentBytes, before.files - 2, before.folders - 1}));
    EXPECT_EQ(names(*tree, *keep, Order::size), (std::vector<std::string>{"sub"}));

    // The folder changed on disk; measured again, it replaces what the tree held, and only it.
    const auto* sub = tree->find(at("keep/sub").native());
    writeFile(at("keep/sub/two/new"), std::string(20480, 'n'));
    writeFile(at("keep/file"), std::string(8192, 'k'));
    settle(root());
    auto fresh = std::make_unique<SpaceTree>(at("keep"));
    ASSERT_EQ(fresh->measure(platform::FileManager::defaultManager(), nullptr, {}), SpaceTree::Outcome::completed);
    tree->replace(*keep, std::move(fresh));
    EXPECT_FALSE(tree->contains(*sub));
    EXPECT_TRUE(tree->contains(*keep));
    EXPECT_EQ(tree->totals(tree->root()).sizeBytes, engineSize(root()) - allocatedSizeOf(at("drop/x")));
    EXPECT_EQ(tree->totals(*keep).sizeBytes, engineSize(at("keep")));
    EXPECT_EQ(names(*tree, *keep, Order::size), (std::vector<std::string>{"sub", "file"}));
    const auto* newSub = tree->find(at("keep/sub/two").native());
    ASSERT_NE(newSub, nullptr);
    EXPECT_EQ(tree->path(*newSub), at("keep/sub/two").native());
    EXPECT_TRUE(tree->remove(*tree->find(at("keep/sub").native()), "two"));
    EXPECT_EQ(tree->totals(*keep).sizeBytes, allocatedSizeOf(at("keep/file")) + allocatedSizeOf(at("keep/sub/one")));
}

TEST_F(SpaceTreeTest, AFolderRemovedWhileTheWalkIsStillInsideItNeverCounts) {
    // Whichever folder is walked first, check points fall while the walk is inside the victim.
    for (int file = 0; file < 1200; ++file) {
        writeFile(at("victim/" + std::to_string(file)), "v");
        writeFile(at("other/" + std::to_string(file)), "o");
    }
    settle(root());
    SpaceTree tree(root());
    bool removed = false;
    const auto outcome = tree.measure(platform::FileManager::defaultManager(), nullptr, [&] {
        if (const auto* victim = tree.find(at("victim").native()); victim && !removed) removed = tree.remove(tree.root(), "victim");
        return true;
    });
    ASSERT_EQ(outcome, SpaceTree::Outcome::completed);
    ASSERT_TRUE(removed);
    EXPECT_EQ(tree.totals(tree.root()), (Totals{engineSize(at("other")), 1200, 1200, 1}));
    EXPECT_EQ(names(tree, tree.root(), Order::size), (std::vector<std::string>{"other"}));
}

TEST_F(SpaceTreeTest, NamesStayIntactAsTheirStorageGrowsAndAsLargerFilesPushSmallerOnesOut) {
    // More folder names than one block of name storage holds.
    std::vector<std::string> folders;
    for (int index = 0; index < 400; ++index) {
        folders.push_back(std::to_string(index) + std::string(200, 'n'));
        fs::create_directories(at("wide/" + folders.back()));
    }
    // Fifty files, two kept: whatever order the folder lists them in, the smaller ones make way.
    for (int index = 0; index < 50; ++index) {
        writeFile(at("files/" + std::to_string(index) + std::string(150, 'f')), std::string(4096u * (index + 1u), 'x'));
    }
    writeFile(at("sparse/dense"), std::string(8192, 'd'));
    writeFile(at("sparse/hollow"), "");
    fs::resize_file(at("sparse/hollow"), 1 << 20);
    SpaceTree::Options options;
    options.filesPerFolder = 2;
    const auto tree = measured(root(), options);

    const auto* wide = tree->find(at("wide").native());
    ASSERT_NE(wide, nullptr);
    auto listed = names(*tree, *wide, Order::name);
    std::ranges::sort(listed);
    std::ranges::sort(folders);
    EXPECT_EQ(listed, folders);
    for (const auto& name : folders) {
        const auto* folder = tree->find(at("wide/" + name).native());
        ASSERT_NE(folder, nullptr) << name;
        EXPECT_EQ(tree->path(*folder), at("wide/" + name).native());
    }
    const auto* files = tree->find(at("files").native());
    ASSERT_NE(files, nullptr);
    EXPECT_EQ(names(*tree, *files, Order::size), (std::vector<std::string>{"49" + std::string(150, 'f'), "48" + std::string(150, 'f')}));
    EXPECT_EQ(tree->otherFiles(*files).files, 48);

    // Kept by length, the hollow file stays; by blocks, the dense one.
    options.filesPerFolder = 1;
    const auto byBlocks = measured(at("sparse"), options);
    EXPECT_EQ(names(*byBlocks, byBlocks->root(), Order::size), (std::vector<std::string>{"dense"}));
    options.keepByApparentSize = true;
    const auto byLength = measured(at("sparse"), options);
    EXPECT_EQ(names(*byLength, byLength->root(), Order::size, true), (std::vector<std::string>{"hollow"}));
}

TEST_F(SpaceTreeTest, AnotherFileSystemBelowIsShownButNotEnteredAndAnUnreadableFolderIsMarkedShort) {
    VORNELO_REQUIRE_ROOT();
    writeFile(at("mounted/hidden"), std::string(8192, 'h'));
    writeFile(at("shut/secret"), std::string(8192, 's'));
    writeFile(at("open/file"), std::string(4096, 'f'));
    const auto outcome = test::withTmpfs(at("mounted"), "size=1m", [&]() -> std::string {
        writeFile(at("mounted/inside"), std::string(100000, 'i'));
        const auto tree = measured(root());
        const auto* mounted = tree->find(at("mounted").native());
        if (!mounted || !mounted->otherFileSystem()) return "the mount point is not marked";
        if (tree->totals(*mounted).sizeBytes != 0 || !tree->entries(*mounted, Order::size, false).empty()) {
            return "the other file system was entered";
        }
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;

    ::chmod(root().c_str(), 0755);
    ::chmod(directory.path().c_str(), 0755);
    const auto account = test::unprivilegedAccount();
    for (const auto& entry : fs::recursive_directory_iterator(root())) ::lchown(entry.path().c_str(), account.uid, account.gid);
    ::chmod(at("shut").c_str(), 0);
    const auto asUser = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        ScanCoverageRecorder coverage;
        SpaceTree tree(root());
        if (tree.measure(platform::FileManager::defaultManager(), &coverage, {}) != SpaceTree::Outcome::completed) return "walk failed";
        const auto* shut = tree.find(at("shut").native());
        const auto* open = tree.find(at("open").native());
        if (!shut || !shut->unreadable() || !open || open->unreadable()) return "the unreadable folder is not the one marked";
        const auto snapshot = coverage.snapshot();
        if (snapshot.unavailableCount() != 1 || snapshot.issues.at(0).path != at("shut").native()) return "coverage misses it";
        const auto listing = tree.entries(tree.root(), Order::name, false);
        if (listing.size() != 3 || !listing[2].unreadable || listing[2].name != "shut") return "the listing does not say so";
        return {};
    });
    EXPECT_TRUE(asUser.succeeded) << asUser.message;
}

}  // namespace
}  // namespace vornelo

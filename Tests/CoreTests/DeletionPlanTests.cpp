#include "Core/SafeFileDeleter.h"

#include "Support/DeleterHarness.h"
#include "Support/FailingFileManager.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace vornelo {
namespace {

namespace fs = std::filesystem;

using Category = SafeFileDeleter::Category;
using Item = SafeFileDeleter::Item;
using Plan = SafeFileDeleter::Plan;
using test::DeleterHarness;
using test::FailingFileManager;
using test::writeFile;

std::vector<std::string> idsOf(const std::vector<Item>& items) {
    std::vector<std::string> ids;
    for (const auto& item : items) ids.push_back(item.id());
    return ids;
}

Item item(const std::string& path, std::int64_t size, Category category = Category::cache) {
    return Item(fs::path(path), size, category, false);
}

// Every file-system question the plan builder may ask, counted without ever failing.
class CountingFileManager : public FailingFileManager {
public:
    CountingFileManager()
        : FailingFileManager(Operation::attributesOfItem, 0,
                             platform::FileError::fromErrno(EIO, platform::FileOperation::read, "")) {}
    int total() const {
        return calls(Operation::attributesOfItem) + calls(Operation::fileExistsFollowingLinks) +
               calls(Operation::walkTree);
    }
};

TEST(DeletionPlan, RepeatedCandidatesAreDroppedBeforeAnyWork) {
    CountingFileManager once;
    CountingFileManager twice;
    DeleterHarness harness(once);
    DeleterHarness repeated(twice);
    for (const auto* h : {&harness, &repeated}) {
        writeFile(h->home() / "a" / "inner", std::string(5000, 'a'));
        writeFile(h->home() / "b", "b");
    }
    const std::vector<fs::path> unique{harness.home() / "a", harness.home() / "b"};
    const std::vector<fs::path> withRepeat{repeated.home() / "a", repeated.home() / "a", repeated.home() / "b"};
    const auto plan = harness.deleter().preview(unique, Category::cache);
    const auto planWithRepeat = repeated.deleter().preview(withRepeat, Category::cache);
    EXPECT_EQ(idsOf(planWithRepeat.items()), (std::vector<std::string>{withRepeat[0], withRepeat[2]}));
    EXPECT_EQ(planWithRepeat.totalReclaimable(), plan.totalReclaimable());
    EXPECT_EQ(twice.total(), once.total());  // the repeat cost nothing

    // A stop requested before the first candidate: nothing is looked at, three empty lists.
    std::stop_source stop;
    stop.request_stop();
    const int before = twice.total();
    const auto cancelled = repeated.deleter().preview(withRepeat, Category::cache, nullptr, stop.get_token());
    EXPECT_TRUE(cancelled.isEmpty());
    EXPECT_EQ(twice.total(), before);
}

// Protected candidates are set aside unsized even when missing; missing ones are listed, and only
// real absences reported; the rest are sized by their allocated blocks, links not followed.
TEST(DeletionPlan, CandidatesAreSetAsideListedAsMissingOrSized) {
    DeleterHarness harness;
    const auto home = harness.home();
    const auto kept = home / "Projects" / "keep";
    writeFile(kept / "big", std::string(100000, 'k'));
    const auto gone = home / "Projects" / "gone";
    const auto agent = home / "Tools";
    writeFile(agent / "vendor" / "com.crowdstrike.falcon.plist");  // two levels down still counts
    harness.exclude(kept);
    harness.exclude(gone);
    const auto missing = home / "nothing-here";
    const auto dangling = home / "dangling";
    fs::create_symlink(home / "no-target", dangling);
    const auto file = home / "ten-bytes.txt";
    writeFile(file, "0123456789");
    const auto folder = home / "cache";
    writeFile(folder / "one", std::string(10000, '1'));
    writeFile(folder / "deeper" / "two", std::string(30000, '2'));
    const auto link = home / "link-to-cache";
    fs::create_symlink(folder, link);

    ScanCoverageRecorder coverage;
    const std::vector<fs::path> candidates{kept, missing, gone, file, agent, dangling, folder, link};
    const auto plan = harness.deleter().preview(candidates, Category::log, &coverage);
    EXPECT_EQ(plan.protectedItems(), (std::vector<Item>{Item(kept, 0, Category::log, true), Item(gone, 0, Category::log, true),
                                                        Item(agent, 0, Category::log, true)}));
    EXPECT_EQ(plan.missingItems(),
              (std::vector<Item>{Item(missing, 0, Category::log, false), Item(dangling, 0, Category::log, false)}));
    const auto fileSize = test::allocatedSizeOf(file);
    const auto folderSize = test::allocatedSizeOf(folder / "one") + test::allocatedSizeOf(folder / "deeper" / "two");
    EXPECT_GT(fileSize, 10);  // whole blocks, not the length
    EXPECT_EQ(plan.items(), (std::vector<Item>{Item(file, fileSize, Category::log, false), Item(folder, folderSize, Category::log, false),
                                               Item(link, 0, Category::log, false)}));
    EXPECT_EQ(plan.totalReclaimable(), fileSize + folderSize);
    // Protected candidates are neither measured nor reported; the dangling link is there to describe.
    EXPECT_EQ(coverage.snapshot().checkedPaths, (std::vector<std::string>{folder, link, file}));
    const auto issues = coverage.snapshot().issues;
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(std::tie(issues[0].path, issues[0].kind), std::tuple(missing.native(), ScanCoverage::Kind::missing));
    EXPECT_EQ(harness.deleter().preview(candidates, Category::log).missingItems(), plan.missingItems());
}

TEST(DeletionPlan, KeepingAndRemovingNarrowItemsInPlanOrder) {
    const Plan plan({item("/x/1", 1), item("/x/2", 2), item("/x/3", 4), item("/x/4", 8), item("/x/5", 16)},
                    {Item("/p", 0, Category::cache, true)}, {item("/m", 0)});
    EXPECT_EQ(plan.totalReclaimable(), 31);

    const auto kept = plan.keeping({"/x/4", "/x/2", "/not/in/plan"});
    EXPECT_EQ(idsOf(kept.items()), (std::vector<std::string>{"/x/2", "/x/4"}));
    EXPECT_EQ(kept.totalReclaimable(), 10);
    EXPECT_EQ(kept.protectedItems(), plan.protectedItems());
    EXPECT_EQ(kept.missingItems(), plan.missingItems());
    EXPECT_NE(kept.id(), plan.id());
    EXPECT_TRUE(plan.keeping({}).items().empty());

    const auto removed = plan.removing({"/x/1", "/x/5"});
    EXPECT_EQ(idsOf(removed.items()), (std::vector<std::string>{"/x/2", "/x/3", "/x/4"}));
    EXPECT_EQ(removed.totalReclaimable(), 14);
    EXPECT_EQ(removed.protectedItems(), plan.protectedItems());
    const auto everything = plan.removing({});
    EXPECT_EQ(everything.items(), plan.items());
    EXPECT_NE(everything.id(), plan.id());
}

TEST(DeletionPlan, MergedKeepsTheFirstOfEachItemAndConcatenatesTheRest) {
    const Item protectedItem("/p", 0, Category::cache, true);
    const std::vector<Plan> plans{Plan({item("/a", 1), item("/b", 2)}, {protectedItem}, {item("/m", 0)}),
                                  Plan({item("/b", 50), item("/c", 4)}, {protectedItem}, {item("/m", 0)})};
    const auto merged = Plan::merged(plans);
    EXPECT_EQ(merged.items(), (std::vector<Item>{item("/a", 1), item("/b", 2), item("/c", 4)}));
    EXPECT_EQ(merged.protectedItems(), (std::vector<Item>{protectedItem, protectedItem}));
    EXPECT_EQ(merged.missingItems(), (std::vector<Item>{item("/m", 0), item("/m", 0)}));
    EXPECT_EQ(merged.totalReclaimable(), 7);
    EXPECT_NE(merged.id(), plans[0].id());

    EXPECT_TRUE(Plan::merged({}).isEmpty());
    EXPECT_TRUE(Plan::empty().isEmpty());
    EXPECT_EQ(Plan::empty().id(), Plan::empty().id());
}

TEST(DeletionPlan, AnItemInsideAnotherItemGoesWithItAndIsCountedOnce) {
    // Judged on the spelling: "/x/yz" is beside "/x/y", not inside it.
    const Plan plan({item("/x/y/z", 1), item("/x/y/", 2), item("/x/yz", 4), item("/x/./y/w", 8), item("rel/a", 16),
                     item("rel", 32), item("/other", 64)},
                    {}, {});
    EXPECT_EQ(idsOf(plan.items()), (std::vector<std::string>{"/x/y/", "/x/yz", "rel", "/other"}));
    EXPECT_EQ(plan.totalReclaimable(), 102);
    // Narrowed to the inner item alone, it stays; merged with its folder, it goes again.
    EXPECT_EQ(idsOf(plan.keeping({"/x/y/z"}).items()), std::vector<std::string>{});
    const Plan inner({item("/x/y/z", 1)}, {}, {});
    EXPECT_EQ(idsOf(inner.items()), std::vector<std::string>{"/x/y/z"});
    const std::vector<Plan> parts{inner, Plan({item("/x", 10)}, {}, {})};
    EXPECT_EQ(idsOf(Plan::merged(parts).items()), std::vector<std::string>{"/x"});
    EXPECT_EQ(Plan::merged(parts).totalReclaimable(), 10);
    EXPECT_TRUE(Plan({item("/", 1), item("/x", 2)}, {}, {}).items().size() == 1);

    DeleterHarness harness;
    writeFile(harness.home() / "x" / "y" / "f", std::string(100'000, 'f'));
    writeFile(harness.home() / "x" / "g", std::string(100'000, 'g'));
    const auto previewed = harness.deleter().preview(std::vector<fs::path>{harness.home() / "x" / "y", harness.home() / "x"},
                                                     Category::cache);
    EXPECT_EQ(idsOf(previewed.items()), std::vector<std::string>{(harness.home() / "x").native()});
    EXPECT_EQ(previewed.totalReclaimable(), harness.deleter().directorySize(harness.home() / "x", nullptr));
}

TEST(DeletionPlan, InsideTrashMeansBelowATrashFolderAfterLinksAreResolved) {
    DeleterHarness harness;
    const auto home = harness.home();
    fs::create_directories(home / ".Trash" / "folder");
    fs::create_directories(home / "Documents");
    // A link into the Trash does not make a path trashed, nor does a Trash entry that leads out;
    // the link itself is trashed.
    fs::create_symlink(home / ".Trash", home / "shortcut");
    fs::create_symlink(home / "Documents", home / ".Trash" / "escape");
    const std::pair<fs::path, bool> cases[] = {
        {home / ".Trash" / "old.txt", true}, {home / ".Trash" / "folder" / "inner.txt", true},
        {"/some/volume/.Trashes/0/x", true}, {home / "Trash" / ".." / ".Trash" / "x", true},
        {home / ".Trash", false}, {"/some/volume/.Trashes", false}, {home / "Trash" / "x", false},
        {home / ".Trash" / ".." / "x", false}, {home / ".Trash-old" / "x", false},
        {home / "shortcut" / "old.txt", false}, {home / ".Trash" / "escape" / "report.txt", false},
        {home / ".Trash" / "escape", true}};
    for (const auto& [path, inside] : cases) EXPECT_EQ(SafeFileDeleter::isInsideTrash(path), inside) << path;

    EXPECT_TRUE(Item(home / ".Trash" / "old.txt", 1, Category::trash, false).isPermanentRemoval());
    EXPECT_FALSE(Item(home / ".Trash" / "old.txt", 1, Category::cache, false).isPermanentRemoval());
    EXPECT_FALSE(Item(home / "old.txt", 1, Category::trash, false).isPermanentRemoval());
    EXPECT_FALSE(Item(home / ".Trash" / "escape" / "x", 1, Category::trash, false).isPermanentRemoval());
}

}  // namespace
}  // namespace vornelo

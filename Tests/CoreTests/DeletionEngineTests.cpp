#include "Core/CleanupSession.h"
#include "Core/SafeFileDeleter.h"
#include "Support/ChildProcess.h"
#include "Support/DeleterHarness.h"
#include "Support/FailingFileManager.h"
#include "Support/LogCapture.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <optional>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using Category = SafeFileDeleter::Category;
using Item = SafeFileDeleter::Item;
using Plan = SafeFileDeleter::Plan;
using test::DeleterHarness;
using test::FailingFileManager;
using test::writeFile;
using Failure = SafeFileDeleter::Failure;
using LogMode = OperationLog::Mode;
using Mode = SafeFileDeleter::Mode;
using Outcome = OperationLog::Outcome;
using Progress = SafeFileDeleter::Progress;
using Counts = std::array<std::int64_t, 5>;
using Kind = SafeFileDeleter::PutBackError::Kind;
using test::readFile;

std::vector<std::string> idsOf(const std::vector<Item>& items) {
    std::vector<std::string> ids;
    for (const auto& item : items) ids.push_back(item.id());
    return ids;
}

Item itemAt(const fs::path& path, std::int64_t size = 10, Category category = Category::cache) {
    return Item(path, size, category, false);
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
    const Plan plan({itemAt("/x/1", 1), itemAt("/x/2", 2), itemAt("/x/3", 4), itemAt("/x/4", 8), itemAt("/x/5", 16)},
                    {Item("/p", 0, Category::cache, true)}, {itemAt("/m", 0)});
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
    const std::vector<Plan> plans{Plan({itemAt("/a", 1), itemAt("/b", 2)}, {protectedItem}, {itemAt("/m", 0)}),
                                  Plan({itemAt("/b", 50), itemAt("/c", 4)}, {protectedItem}, {itemAt("/m", 0)})};
    const auto merged = Plan::merged(plans);
    EXPECT_EQ(merged.items(), (std::vector<Item>{itemAt("/a", 1), itemAt("/b", 2), itemAt("/c", 4)}));
    EXPECT_EQ(merged.protectedItems(), (std::vector<Item>{protectedItem, protectedItem}));
    EXPECT_EQ(merged.missingItems(), (std::vector<Item>{itemAt("/m", 0), itemAt("/m", 0)}));
    EXPECT_EQ(merged.totalReclaimable(), 7);
    EXPECT_NE(merged.id(), plans[0].id());

    EXPECT_TRUE(Plan::merged({}).isEmpty());
    EXPECT_TRUE(Plan::empty().isEmpty());
    EXPECT_EQ(Plan::empty().id(), Plan::empty().id());
}

TEST(DeletionPlan, AnItemInsideAnotherItemGoesWithItAndIsCountedOnce) {
    // Judged on the spelling: "/x/yz" is beside "/x/y", not inside it.
    const Plan plan({itemAt("/x/y/z", 1), itemAt("/x/y/", 2), itemAt("/x/yz", 4), itemAt("/x/./y/w", 8), itemAt("rel/a", 16),
                     itemAt("rel", 32), itemAt("/other", 64)},
                    {}, {});
    EXPECT_EQ(idsOf(plan.items()), (std::vector<std::string>{"/x/y/", "/x/yz", "rel", "/other"}));
    EXPECT_EQ(plan.totalReclaimable(), 102);
    // Narrowed to the inner item alone, it stays; merged with its folder, it goes again.
    EXPECT_EQ(idsOf(plan.keeping({"/x/y/z"}).items()), std::vector<std::string>{});
    const Plan inner({itemAt("/x/y/z", 1)}, {}, {});
    EXPECT_EQ(idsOf(inner.items()), std::vector<std::string>{"/x/y/z"});
    const std::vector<Plan> parts{inner, Plan({itemAt("/x", 10)}, {}, {})};
    EXPECT_EQ(idsOf(Plan::merged(parts).items()), std::vector<std::string>{"/x"});
    EXPECT_EQ(Plan::merged(parts).totalReclaimable(), 10);
    EXPECT_TRUE(Plan({itemAt("/", 1), itemAt("/x", 2)}, {}, {}).items().size() == 1);

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

constexpr std::string_view emptyTrashSuggestion =
    "Open the Trash in Finder and choose Empty Trash. Finder can request administrator approval for items Vornelo "
    "cannot remove.";
constexpr std::string_view moveToTrashSuggestion =
    "Move this item to the Trash in Finder, which can request administrator approval.";

// A file with the given contents, as a plan item of its allocated size.
Item fileItem(const fs::path& path, Category category = Category::cache, std::string_view contents = "data") {
    writeFile(path, contents);
    return itemAt(path, test::allocatedSizeOf(path), category);
}

// Succeeded, failed, skipped, recoverable and freed bytes, to be checked at once.
Counts countsOf(const SafeFileDeleter::ExecutionResult& result) {
    return {result.succeeded, result.failed, result.skipped, result.recoverable, result.freedBytes};
}

std::string errorsOf(const SafeFileDeleter::ExecutionResult& result) {
    std::string text;
    for (const auto& line : result.errors) text += line + "; ";
    return text;
}

// One plan of items outside and inside the Trash, rehearsed and then run: the rehearsal predicts
// each item's way and touches nothing, and only what already lies in a Trash goes for good.
TEST(PlanExecution, TrashModeKeepsItemsRecoverableButWhatAlreadyLiesInATrash) {
    DeleterHarness harness;
    const auto trash = harness.trash();
    writeFile(harness.home() / "Projects" / "build" / "out.o", std::string(9000, 'o'));
    writeFile(harness.home() / "Documents" / "report.txt", "report");
    writeFile(harness.home() / "Projects" / "keep.txt", "keep");
    const std::vector<Item> items{fileItem(harness.home() / "Downloads" / "setup.tar.gz"),
                                  itemAt(harness.home() / "Projects" / "build", 9000, Category::artifact),
                                  fileItem(trash / "old.txt", Category::trash),
                                  fileItem(trash / "folder" / "inner.txt", Category::cache),
                                  // Named like a Trash entry, but the folder it lies in is a link to Documents.
                                  itemAt(trash / "escape" / "report.txt", 4096, Category::trash),
                                  // A link in the Trash goes for good by itself; what it leads to stays.
                                  itemAt(trash / "projects-link", 0, Category::trash)};
    fs::create_symlink(harness.home() / "Documents", trash / "escape");
    fs::create_symlink(harness.home() / "Projects", trash / "projects-link");
    const std::vector<std::optional<fs::path>> trashedTo{trash / "setup.tar.gz", trash / "build", std::nullopt,
                                                         trash / "inner.txt", trash / "report.txt", std::nullopt};
    const Item kept(harness.home() / "kept", 0, Category::cache, true);
    const Plan plan(items, {kept}, {});
    std::int64_t total = 0;
    std::set<std::string> ids;
    for (const auto& item : items) {
        total += item.sizeBytes();
        ids.insert(item.id());
    }

    test::LogCapture capture;
    const auto rehearsal = harness.run(plan, Mode::trash, true);
    ASSERT_FALSE(capture.records().empty());
    EXPECT_EQ(capture.records().back().message,
              "clean: 6 removed, 0 failed, 1 skipped, " + std::to_string(total) + " bytes (simulated)");
    EXPECT_TRUE(rehearsal.dryRun);
    EXPECT_EQ(countsOf(rehearsal), (Counts{6, 0, 1, 4, total}));
    EXPECT_TRUE(rehearsal.removedIDs.empty());
    for (const auto& item : items) EXPECT_TRUE(fs::exists(fs::symlink_status(item.url()))) << item.url();

    const Uuid session;
    const auto result = harness.run(plan, Mode::trash, false, session);
    EXPECT_EQ(countsOf(result), (Counts{6, 0, 1, 4, total}));
    EXPECT_EQ(result.removedIDs, ids);
    for (const auto& item : items) EXPECT_FALSE(fs::exists(fs::symlink_status(item.url()))) << item.url();
    EXPECT_EQ(test::readFile(trash / "build" / "out.o"), std::string(9000, 'o'));
    EXPECT_EQ(test::readFile(trash / "report.txt"), "report");  // trashed, not deleted through the link
    EXPECT_EQ(test::readFile(harness.home() / "Projects" / "keep.txt"), "keep");

    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 14u);
    // Path, size, action, way, detail, rehearsal, outcome, session and Trash place of each entry.
    const auto fieldsOf = [](const OperationLog::Entry& entry) {
        return std::tuple(entry.path(), entry.sizeBytes(), entry.action(), entry.mode(), entry.detail(), entry.dryRun(),
                          entry.outcome(), entry.sessionID(), entry.trashedPath(), entry.trashedFileNumber());
    };
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto mode = trashedTo[i] ? LogMode::trash : LogMode::permanent;
        EXPECT_EQ(fieldsOf(entries[i]), std::tuple(items[i].id(), items[i].sizeBytes(), "clean", mode, std::nullopt, true,
                                                   Outcome::dryRun, entries[i].sessionID(), std::nullopt, std::nullopt));
        EXPECT_EQ(fieldsOf(entries[i + 7]),
                  std::tuple(items[i].id(), items[i].sizeBytes(), "clean", mode, std::nullopt, false, Outcome::success,
                             std::optional(session), trashedTo[i].transform([](const fs::path& path) { return path.native(); }),
                             trashedTo[i].transform(test::inodeOf)));
    }
    for (const auto index : {6u, 13u}) {  // the plan's protected items come last
        EXPECT_EQ(entries[index].path(), kept.id());
        EXPECT_EQ(entries[index].outcome(), Outcome::skipped);
        EXPECT_EQ(entries[index].dryRun(), index == 6u);
    }
}

// Permanent mode: skipped entries show the requested mode, and vanished items still fail each way.
TEST(PlanExecution, ItemsThatCannotGoAreSkippedOrFailedAndLoggedWithWhy) {
    DeleterHarness harness;
    const auto nowExcluded = fileItem(harness.home() / "Projects" / "excluded-later");
    const auto removable = fileItem(harness.home() / "Projects" / "removable");
    const auto gone = fileItem(harness.home() / "gone.txt");
    const auto goneFromTrash = fileItem(harness.trash() / "gone-too.txt", Category::trash);
    fs::remove(gone.url());
    fs::remove(goneFromTrash.url());
    const Item plannedProtected(harness.home() / "Documents", 0, Category::cache, true);
    harness.exclude(nowExcluded.url());  // after planning: the item's own flag still says false
    test::LogCapture capture;
    const auto result =
        harness.run(Plan({nowExcluded, removable, gone, goneFromTrash}, {plannedProtected}, {}), Mode::permanent);

    EXPECT_EQ(countsOf(result), (Counts{1, 2, 2, 1, removable.sizeBytes()}));
    EXPECT_EQ(result.removedIDs, std::set<std::string>{removable.id()});
    EXPECT_TRUE(fs::exists(nowExcluded.url()));
    const std::string skip = "Protected path", vanished = "No longer exists.";
    EXPECT_EQ(result.errors,
              (std::vector<std::string>{gone.id() + ": " + vanished, goneFromTrash.id() + ": " + vanished}));
    EXPECT_EQ(result.failures,
              (std::vector<Failure>{{gone.id(), vanished, false}, {goneFromTrash.id(), vanished, false}}));
    // Path, way, outcome, size and detail of each entry; the plan's protected items come last.
    using Logged = std::tuple<std::string, LogMode, Outcome, std::int64_t, std::optional<std::string>>;
    std::vector<Logged> logged;
    for (const auto& entry : harness.entries()) {
        logged.emplace_back(entry.path(), entry.mode(), entry.outcome(), entry.sizeBytes(), entry.detail());
    }
    EXPECT_EQ(logged, (std::vector<Logged>{
                          {nowExcluded.id(), LogMode::permanent, Outcome::skipped, 0, skip},
                          {removable.id(), LogMode::trash, Outcome::success, removable.sizeBytes(), std::nullopt},
                          {gone.id(), LogMode::trash, Outcome::failed, gone.sizeBytes(), vanished},
                          {goneFromTrash.id(), LogMode::permanent, Outcome::failed, gone.sizeBytes(), vanished},
                          {plannedProtected.id(), LogMode::permanent, Outcome::skipped, 0, skip}}));
    std::vector<std::string> messages;
    for (const auto& record : capture.records()) {
        if (record.category == "deletion") messages.push_back(record.message);
    }
    // Paths of failed items stay private.
    const auto summary = "clean: 1 removed, 2 failed, 2 skipped, " + std::to_string(removable.sizeBytes()) + " bytes";
    EXPECT_EQ(messages, (std::vector<std::string>{"clean: could not remove <private>: No longer exists.",
                                                   "clean: could not remove <private>: No longer exists.", summary}));

    // Nothing to remove, two protected: one final report, two skipped entries.
    std::vector<Progress> reports;
    const auto empty = harness.deleter().execute(
        Plan({}, {plannedProtected, plannedProtected}, {}), Mode::trash, false, "clean", Uuid(),
        [&](const Progress& progress) { reports.push_back(progress); }, [] { return true; });
    EXPECT_EQ(reports, (std::vector<Progress>{{0, 0, ""}}));
    EXPECT_EQ(countsOf(empty), (Counts{0, 0, 2, 0, 0}));
    EXPECT_FALSE(empty.cancelled);
    EXPECT_EQ(harness.entries().size(), 7u);
}

TEST(PlanExecution, FailuresAreExplainedByTheErrorAndTheItemsOwner) {
    using platform::FileError;
    test::TempDirectory directory;
    const auto mine = directory / "mine";
    writeFile(mine);
    const auto failure = [](const fs::path& path, const FileError& error) {
        return SafeFileDeleter::failure(path, error, platform::FileManager::defaultManager());
    };
    const std::string denied(SafeFileDeleter::permissionDeniedReason);
    const auto accessDenied = FileError::fromErrno(EACCES, platform::FileOperation::write, mine.native());
    EXPECT_EQ(failure(mine, accessDenied), (Failure{mine, denied, false}));
    const auto full = FileError::fromErrno(ENOSPC, platform::FileOperation::write, mine.native());
    const std::vector<std::pair<FileError, std::string>> reasons{
        {FileError::make(FileError::posixDomain, 99, "odd", EPERM), denied},  // by the POSIX error underneath
        {FileError::make(FileError::cocoaDomain, FileError::readNoPermission, "no read"), denied},
        {full, full.description},
        {FileError::make(FileError::posixDomain, FileError::noSuchFile, "posix four"), "posix four"}};
    for (const auto& [error, reason] : reasons) EXPECT_EQ(failure(mine, error).reason, reason) << error.description;
    // Unreadable attributes never make it someone else's item.
    EXPECT_FALSE(failure(directory / "absent", accessDenied).needsAdministrator);

    EXPECT_EQ((Failure{"/home/a/.Trash/x", "r", true}).recoverySuggestion(), emptyTrashSuggestion);
    EXPECT_EQ((Failure{"/home/a/x", "r", false}).recoverySuggestion(), moveToTrashSuggestion);
}

// The user cannot write the folders that hold three items: one of root's and one of its own outside
// the Trash, and one of root's inside its Trash.
TEST(PlanExecution, PermissionFailuresSayWhetherAnAdministratorIsNeeded) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory directory;
    ::chmod(directory.path().c_str(), 0755);
    const auto account = test::unprivilegedAccount();
    const auto home = directory / "home";
    const auto locked = home / "locked";
    const auto trashLocked = home / ".Trash" / "locked";
    // Its own folder in its Trash, with a folder of root's inside: removed only in part.
    const auto mixed = home / ".Trash" / "mixed";
    for (const auto& path : {locked / "root-file", locked / "own-file", trashLocked / "root-file", mixed / "own-file",
                             mixed / "root-folder" / "root-file"}) {
        writeFile(path);
    }
    for (const auto& path : {home, home / ".Trash", locked / "own-file", mixed, mixed / "own-file"}) {
        ASSERT_EQ(::chown(path.c_str(), account.uid, account.gid), 0);
    }
    for (const auto& [path, mode] : std::vector<std::pair<fs::path, mode_t>>{
             {home, 0755}, {home / ".Trash", 0700}, {locked, 0755}, {trashLocked, 0755}}) {
        ::chmod(path.c_str(), mode);
    }

    const auto outcome = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        ::setenv("HOME", home.c_str(), 1);
        test::DeletionEngine engine(home, home / "operations.log");
        const auto result = engine.run(Plan({itemAt(locked / "root-file"), itemAt(locked / "own-file"),
                                             itemAt(trashLocked / "root-file", 10, Category::trash),
                                             itemAt(mixed, 10, Category::trash)},
                                            {}, {}),
                                       Mode::trash);
        const std::vector<Failure> expected{
            {(locked / "root-file").native(), std::string(SafeFileDeleter::ownedByAnotherUserReason), true},
            {(locked / "own-file").native(), std::string(SafeFileDeleter::permissionDeniedReason), false},
            {(trashLocked / "root-file").native(), std::string(SafeFileDeleter::ownedByAnotherUserReason), true},
            {mixed.native(),
             std::string(SafeFileDeleter::partlyRemovedPrefix) + std::string(SafeFileDeleter::permissionDeniedReason),
             false, true}};
        if (result.partlyRemoved != 1 || fs::exists(mixed / "own-file")) return "the partial removal was not reported";
        if (result.failures != expected) return "failures: " + errorsOf(result);
        if (result.failures[0].recoverySuggestion() != moveToTrashSuggestion) return "wrong suggestion outside the Trash";
        if (result.failures[2].recoverySuggestion() != emptyTrashSuggestion) return "wrong suggestion inside the Trash";
        const auto entries = engine.entries();
        if (entries.size() != 4 || entries[2].mode() != LogMode::permanent ||
            entries[2].detail() != SafeFileDeleter::ownedByAnotherUserReason) {
            return "the failures were not logged as such";
        }
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
    EXPECT_TRUE(fs::exists(locked / "root-file") && fs::exists(trashLocked / "root-file"));
}

// Wraps the real Trash but cannot say where the item went.
class SilentTrashFileManager : public platform::FileManager {
public:
    std::expected<fs::path, platform::FileError> trashHeldItem(const platform::HeldItem& item) const override {
        const auto trashed = FileManager::trashHeldItem(item);
        if (!trashed) return trashed;
        return fs::path();
    }
};

TEST(PlanExecution, AnUnknownTrashLocationIsLoggedAsSuchAndStillRecoverable) {
    const SilentTrashFileManager files{};
    DeleterHarness harness(files);
    const auto item = fileItem(harness.home() / "file.txt");
    const auto result = harness.run(Plan({item}, {}, {}), Mode::trash);
    EXPECT_EQ(std::tuple(result.recoverable, result.removedIDs), std::tuple(1, std::set<std::string>{item.id()}));
    EXPECT_TRUE(fs::exists(harness.trash() / "file.txt"));
    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(std::tuple(entries[0].outcome(), entries[0].trashedPath(), entries[0].trashedFileNumber()),
              std::tuple(Outcome::success, std::nullopt, std::nullopt));
}

TEST(PlanExecution, ProgressAndCancellationAreCheckedBeforeEachItem) {
    DeleterHarness harness;
    const auto path = [&](const char* name) { return (harness.home() / name).native(); };
    std::vector<Progress> reports;
    // Three fresh files and a protected item; cancelled once the check has said no `allowed` times.
    const auto runAllowing = [&](int allowed) {
        reports.clear();
        int asked = 0;
        const Plan plan({fileItem(path("a")), fileItem(path("b")), fileItem(path("c"))},
                        {Item(harness.home() / "Desktop", 0, Category::cache, true)}, {});
        return harness.deleter().execute(plan, Mode::trash, false, "clean", Uuid(),
                                         [&](const Progress& progress) { reports.push_back(progress); },
                                         [&] { return ++asked > allowed; });
    };

    test::LogCapture capture;
    const auto stoppedAtOnce = runAllowing(0);
    EXPECT_TRUE(stoppedAtOnce.cancelled);
    EXPECT_EQ(stoppedAtOnce.skipped, 1);  // the plan's protected item is still logged
    EXPECT_EQ(reports, (std::vector<Progress>{{3, 3, ""}}));
    EXPECT_TRUE(fs::exists(path("a")));
    ASSERT_FALSE(capture.records().empty());
    EXPECT_EQ(capture.records().back().message, "clean: 0 removed, 0 failed, 1 skipped, 0 bytes (cancelled)");

    const auto stoppedInTheMiddle = runAllowing(1);
    EXPECT_TRUE(stoppedInTheMiddle.cancelled);
    EXPECT_EQ(stoppedInTheMiddle.removedIDs, std::set<std::string>{path("a")});
    EXPECT_TRUE(fs::exists(path("b")));
    EXPECT_EQ(reports, (std::vector<Progress>{{0, 3, path("a")}, {3, 3, ""}}));

    const auto finished = runAllowing(3);
    EXPECT_FALSE(finished.cancelled);
    EXPECT_EQ(finished.succeeded, 3);
    EXPECT_EQ(reports, (std::vector<Progress>{{0, 3, path("a")}, {1, 3, path("b")}, {2, 3, path("c")}, {3, 3, ""}}));
}

TEST(PlanExecution, ExecuteAsyncRunsElsewhereWithAFreshSessionAndStopsWhenAsked) {
    DeleterHarness harness;
    const auto plan = [&](const std::string& prefix) {
        return Plan({fileItem(harness.home() / (prefix + "1")), fileItem(harness.home() / (prefix + "2"))}, {}, {});
    };
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> elsewhere = true;
    const auto onAnotherThread = [&](const Progress&) {
        elsewhere = elsewhere && std::this_thread::get_id() != caller;
    };
    const auto first =
        harness.deleter().executeAsync(plan("first"), Mode::trash, false, "clean", onAnotherThread).get();
    const auto second = harness.deleter().executeAsync(plan("second"), Mode::trash, true, "preview", {}).get();
    EXPECT_EQ(first.succeeded, 2);
    EXPECT_FALSE(first.cancelled);
    EXPECT_TRUE(second.dryRun);
    EXPECT_TRUE(elsewhere);

    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 4u);
    ASSERT_TRUE(entries[0].sessionID() && entries[2].sessionID());
    EXPECT_EQ(entries[0].sessionID(), entries[1].sessionID());
    EXPECT_EQ(entries[2].sessionID(), entries[3].sessionID());
    EXPECT_NE(entries[0].sessionID(), entries[2].sessionID());
    EXPECT_EQ(entries[2].action(), "preview");

    // A stop requested while the first item is reported: that item is finished, the next one not.
    std::stop_source stop;
    const auto stopOnFirstItem = [&](const Progress& progress) {
        if (!progress.currentPath.empty()) stop.request_stop();
    };
    auto running =
        harness.deleter().executeAsync(plan("third"), Mode::trash, false, "clean", stopOnFirstItem, stop.get_token());
    const auto stopped = running.get();
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_EQ(stopped.succeeded, 1);
    EXPECT_TRUE(fs::exists(harness.home() / "third2"));
}

TEST(PlanExecution, ItemsOnAnotherFileSystemGoToThatVolumesTrashAndCanComeBack) {
    VORNELO_REQUIRE_ROOT();
    test::TestHome home;
    const auto volume = home.root() / "volume";
    fs::create_directories(volume);
    const auto outcome = test::runInPrivateMountNamespace([&]() -> std::string {
        if (::mount("tmpfs", volume.c_str(), "tmpfs", 0, "size=4m") != 0) {
            return std::string("mount failed: ") + std::strerror(errno);
        }
        const auto original = volume / "photos" / "holiday.jpg";
        writeFile(original, "jpeg");
        test::DeletionEngine engine(home.home(), home.root() / "operations.log");
        const auto result = engine.run(Plan({itemAt(original)}, {}, {}), Mode::trash);
        const auto expected = volume / (".Trash-" + std::to_string(::geteuid())) / "files" / "holiday.jpg";
        if (result.succeeded != 1 || !fs::exists(expected)) return "not in the volume's Trash: " + errorsOf(result);
        const auto entries = engine.entries();
        if (entries.size() != 1 || entries[0].trashedPath() != expected.native()) return "trashed path not logged";
        if (entries[0].trashedFileNumber() != test::inodeOf(expected)) return "file number not logged";
        engine.deleter().putBack(expected, original, entries[0].trashedFileNumber(), entries[0].sessionID());
        if (test::readFile(original) != "jpeg" || fs::exists(expected)) return "not put back";
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

struct Trashed {
    fs::path original;
    fs::path trashed;
    std::optional<std::uint64_t> fileNumber;
};

// Trashes the item through the engine and returns what the log recorded for it.
Trashed trashThroughEngine(DeleterHarness& harness, const fs::path& original) {
    const SafeFileDeleter::Item item(original, 0, SafeFileDeleter::Category::cache, false);
    const auto result =
        harness.deleter().execute(Plan({item}, {}, {}), Mode::trash, false, "clean", Uuid(), {}, [] { return false; });
    EXPECT_EQ(result.succeeded, 1) << (result.errors.empty() ? "" : result.errors[0]);
    const auto entry = harness.entries().back();
    return {original, entry.trashedPath().value_or(""), entry.trashedFileNumber()};
}

std::optional<Kind> problemOf(const DeleterHarness& harness, const Trashed& item) {
    const auto problem = harness.deleter().putBackProblem(item.trashed, item.original, item.fileNumber);
    if (!problem) return std::nullopt;
    return problem->kind();
}

TEST(PutBack, RecreatesTheFolderChainMovesTheItemBackAndLogsIt) {
    DeleterHarness harness;
    const auto original = harness.home() / "Projects" / "deep" / "er" / "notes.txt";
    writeFile(original, "notes");
    const auto item = trashThroughEngine(harness, original);
    ASSERT_EQ(item.trashed, harness.trash() / "notes.txt");
    fs::remove_all(harness.home() / "Projects");

    EXPECT_TRUE(harness.deleter().canPutBack(item.trashed, item.original, item.fileNumber));
    const Uuid session;
    const mode_t previousMask = ::umask(027);
    harness.deleter().putBack(item.trashed, item.original, item.fileNumber, session);
    ::umask(previousMask);
    EXPECT_EQ(readFile(original), "notes");
    // Folders made on the way get what the umask leaves, as any folder the user makes.
    for (const auto& made : {harness.home() / "Projects", original.parent_path()}) {
        EXPECT_EQ(fs::status(made).permissions(), fs::perms(0750)) << made;
    }
    EXPECT_FALSE(fs::exists(item.trashed));

    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 2u);
    const auto& entry = entries[1];
    EXPECT_EQ(std::tuple(entry.action(), entry.path(), entry.sessionID(), entry.sizeBytes(), entry.mode(), entry.outcome(),
                         entry.dryRun(), entry.detail(), entry.trashedPath(), entry.trashedFileNumber()),
              std::tuple("putBack", original.native(), std::optional(session), 0, OperationLog::Mode::trash,
                         OperationLog::Outcome::success, false, std::nullopt, std::nullopt, std::nullopt));
}

TEST(PutBack, OnlyTheVeryItemStillInATrashCanGoBack) {
    DeleterHarness harness;
    // A file that exists, but outside any Trash.
    writeFile(harness.home() / "Trash" / "a.txt");
    EXPECT_EQ(problemOf(harness, {harness.home() / "a.txt", harness.home() / "Trash" / "a.txt", std::nullopt}),
              Kind::noLongerInTrash);
    EXPECT_EQ(problemOf(harness, {harness.home() / "t", harness.trash(), std::nullopt}), Kind::noLongerInTrash);

    // A folder in the Trash that is a link leading out of it.
    writeFile(harness.home() / "Documents" / "report.txt");
    fs::create_directories(harness.trash());
    fs::create_symlink(harness.home() / "Documents", harness.trash() / "escape");
    EXPECT_EQ(problemOf(harness, {harness.home() / "Projects" / "report.txt", harness.trash() / "escape" / "report.txt",
                                  std::nullopt}),
              Kind::noLongerInTrash);
}

TEST(PutBack, AnotherFileUnderTheTrashedNameIsCaughtByItsFileNumber) {
    DeleterHarness harness;
    const auto original = harness.home() / "report.txt";
    writeFile(original, "the trashed one");
    const auto item = trashThroughEngine(harness, original);
    ASSERT_TRUE(item.fileNumber);
    // Made before the first is gone, so it cannot be given the same inode.
    const auto impostor = harness.trash() / "impostor";
    writeFile(impostor, "another one");
    fs::rename(impostor, item.trashed);
    ASSERT_NE(test::inodeOf(item.trashed), *item.fileNumber);

    EXPECT_EQ(problemOf(harness, item), Kind::noLongerInTrash);
    EXPECT_THROW(harness.deleter().putBack(item.trashed, original, item.fileNumber, std::nullopt),
                 SafeFileDeleter::PutBackError);
    // Without a recorded number nothing can tell them apart.
    harness.deleter().putBack(item.trashed, original, std::nullopt, std::nullopt);
    EXPECT_EQ(readFile(original), "another one");
}

TEST(PutBack, AnythingAtTheOriginalPlaceBlocksItAndAFailureThrowsAndLogsNothing) {
    DeleterHarness harness;
    const auto original = harness.home() / "place";
    writeFile(original, "first");
    const auto item = trashThroughEngine(harness, original);
    std::filesystem::create_directories(original);
    EXPECT_EQ(problemOf(harness, item), Kind::originalLocationOccupied);
    fs::remove(original);
    fs::create_symlink(harness.home() / "nowhere", original);
    EXPECT_EQ(problemOf(harness, item), Kind::originalLocationOccupied);
    fs::remove(original);
    writeFile(original, "newcomer");
    EXPECT_EQ(problemOf(harness, item), Kind::originalLocationOccupied);
    try {
        harness.deleter().putBack(item.trashed, original, item.fileNumber, Uuid());
        ADD_FAILURE() << "put back over an existing file";
    } catch (const SafeFileDeleter::PutBackError& error) {
        EXPECT_EQ(error.kind(), Kind::originalLocationOccupied);
        EXPECT_EQ(error.description(), "Something else now exists at the original location.");
    }
    // A parent that cannot be made: a file stands where the folder should be.
    const auto underAFile = original / "inner.txt";
    try {
        harness.deleter().putBack(item.trashed, underAFile, item.fileNumber, Uuid());
        ADD_FAILURE() << "put back below a file";
    } catch (const SafeFileDeleter::FileOperationError& error) {
        EXPECT_FALSE(error.description().empty());
    }
    EXPECT_EQ(readFile(item.trashed), "first");
    EXPECT_EQ(readFile(original), "newcomer");
    EXPECT_EQ(harness.entries().size(), 1u);  // only the original removal
}

// The item in the Trash is judged by itself, not by what it points to, so a trashed link whose
// target has gone can still be put back.
TEST(PutBack, ATrashedDanglingLinkCanGoBack) {
    DeleterHarness harness;
    const auto link = harness.home() / "shortcut";
    fs::create_symlink(harness.home() / "gone", link);
    const auto item = trashThroughEngine(harness, link);
    ASSERT_TRUE(fs::is_symlink(item.trashed));
    EXPECT_EQ(item.fileNumber, test::inodeOf(item.trashed));

    harness.deleter().putBack(item.trashed, link, item.fileNumber, std::nullopt);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), harness.home() / "gone");
}

// Root puts back an item cleaned from a folder a user owns, after the user replaced a folder on the
// way with a link: it is followed only when root owns the link.
TEST(PutBack, ALinkOnTheWayIsFollowedOnlyWhenRootOrTheUserOwnsIt) {
    VORNELO_REQUIRE_ROOT();
    DeleterHarness harness;
    test::TempDirectory shared;
    ::chmod(shared.path().c_str(), 0755);
    const auto account = test::unprivilegedAccount();
    const auto bob = shared / "srv" / "bob";
    const auto rootOnly = shared / "root-only";
    fs::create_directories(rootOnly);
    for (const auto& [owner, followed] : std::vector<std::pair<uid_t, bool>>{{account.uid, false}, {0, true}}) {
        fs::remove_all(bob);
        writeFile(bob / "cache" / "evil", "bob's");
        ASSERT_EQ(::chown(bob.c_str(), account.uid, account.gid), 0);
        const auto item = trashThroughEngine(harness, bob / "cache" / "evil");
        fs::remove_all(bob / "cache");
        fs::create_symlink(rootOnly, bob / "cache");
        ASSERT_EQ(::lchown((bob / "cache").c_str(), owner, owner == 0 ? 0 : account.gid), 0);
        try {
            harness.deleter().putBack(item.trashed, item.original, item.fileNumber, std::nullopt);
            EXPECT_TRUE(followed) << "followed a link of uid " << owner;
        } catch (const SafeFileDeleter::FileOperationError& error) {
            EXPECT_FALSE(followed) << error.description();
            EXPECT_NE(error.description().find((bob / "cache").native()), std::string::npos) << error.description();
        }
        EXPECT_EQ(fs::exists(rootOnly / "evil"), followed) << "link of uid " << owner;
        EXPECT_EQ(fs::exists(item.trashed), !followed) << "link of uid " << owner;
    }
}

constexpr int attempts = 300;

// Exchanges two names in a loop in a forked child (as `account` when given) until destroyed.
class Swapper {
public:
    Swapper(const fs::path& first, const fs::path& second, std::optional<test::Account> account) : pid_(::fork()) {
        if (pid_ != 0) return;
        if (account && (::setgroups(0, nullptr) != 0 || ::setgid(account->gid) != 0 || ::setuid(account->uid) != 0)) {
            ::_exit(2);
        }
        for (;;) (void)::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE);
    }
    ~Swapper() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    Swapper(const Swapper&) = delete;
    Swapper& operator=(const Swapper&) = delete;

private:
    pid_t pid_;
};

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Race {
    const char* name;
    Mode mode;
    const char* folder;  // below the owner's home; the item is "victim" inside it
    bool otherUser;      // the folder belongs to another user, who swaps; the engine runs as root
};

class LinkSwapRace : public ::testing::TestWithParam<Race> {};

TEST_P(LinkSwapRace, ActsOnTheJudgedFolderOrNotAtAll) {
    const Race race = GetParam();
    if (race.otherUser) VORNELO_REQUIRE_ROOT();
    test::DeleterHarness harness;
    test::TempDirectory shared;
    ::chmod(shared.path().c_str(), 0755);
    const auto account = race.otherUser ? std::optional(test::unprivilegedAccount()) : std::nullopt;
    // Another user's home, or this user's own; the link leads to a folder only root can reach,
    // or to the user's protected ".ssh".
    const fs::path home = race.otherUser ? shared / "bob" : harness.home();
    const fs::path folder = home / race.folder;
    const fs::path outside = race.otherUser ? shared / "root-only" : harness.home() / ".ssh";
    fs::create_directories(folder);
    fs::create_directories(outside);
    std::ofstream(outside / "victim") << "outside";
    fs::create_symlink(outside, folder.parent_path() / "swap");
    if (account) {
        ::chmod(outside.c_str(), 0700);
        for (fs::path path = folder; path != shared.path(); path = path.parent_path()) {
            ASSERT_EQ(::lchown(path.c_str(), account->uid, account->gid), 0);
        }
        ASSERT_EQ(::lchown((folder.parent_path() / "swap").c_str(), account->uid, account->gid), 0);
    }
    const auto outsideInode = test::inodeOf(outside / "victim");
    const platform::FileDescriptor real(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(real);
    const auto insideExists = [&] {
        struct stat info {};
        return ::fstatat(real.get(), "victim", &info, AT_SYMLINK_NOFOLLOW) == 0;
    };

    const Category category = race.mode == Mode::permanent ? Category::trash : Category::cache;
    int linksSeen = 0;
    int foldersSeen = 0;
    int succeeded = 0;
    {
        const Swapper swapper(folder, folder.parent_path() / "swap", account);
        // On a busy machine the swapper may sleep through a whole run: go on until both states were met.
        const auto raced = [&] { return linksSeen > 0 && foldersSeen > 0 && succeeded > 0; };
        for (int attempt = 0; attempt < attempts || (!raced() && attempt < 20 * attempts); ++attempt) {
            if (!insideExists()) {
                const platform::FileDescriptor made(::openat(real.get(), "victim", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
                ASSERT_TRUE(made);
                ASSERT_EQ(::write(made.get(), "inside", 6), 6);
            }
            (fs::is_symlink(folder) ? linksSeen : foldersSeen)++;
            const auto result = harness.run(SafeFileDeleter::Plan({{folder / "victim", 6, category, false}}, {}, {}), race.mode);
            succeeded += static_cast<int>(result.succeeded);
            // A success is the judged item gone; anything else left it where it was.
            ASSERT_EQ(result.succeeded == 1, !insideExists()) << "attempt " << attempt << ": " << ::testing::PrintToString(result.errors);
            ASSERT_EQ(test::inodeOf(outside / "victim"), outsideInode) << "attempt " << attempt;
        }
    }
    EXPECT_EQ(contentsOf(outside / "victim"), "outside");
    // The race really ran, and the engine still got through while it did.
    EXPECT_GT(linksSeen, 0);
    EXPECT_GT(foldersSeen, 0);
    EXPECT_GT(succeeded, 0);
    if (race.mode == Mode::trash) {
        for (const auto& entry : fs::directory_iterator(harness.trash())) EXPECT_EQ(contentsOf(entry.path()), "inside") << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Races, LinkSwapRace,
                         ::testing::Values(Race{"PermanentInOwnTrash", Mode::permanent, ".Trash/d", false},
                                           Race{"PermanentInAnotherUsersTrash", Mode::permanent, ".Trash/d", true},
                                           Race{"TrashFromOwnCaches", Mode::trash, "Library/Caches/sub", false},
                                           Race{"TrashFromAnotherUsersCaches", Mode::trash, "Library/Caches/sub", true}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace vornelo

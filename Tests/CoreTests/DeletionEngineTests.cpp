#include "Core/CleanupSession.h"
#include "Core/SafeFileDeleter.h"
#include "Support/ChildProcess.h"
#include "Support/CoreScenario.h"
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
    return test::mapped(items, [](const Item& item) { return item.id(); });
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
    CountingFileManager counting;
    DeleterHarness harness(counting);
    writeFile(harness.home() / "a" / "inner", std::string(5000, 'a'));
    writeFile(harness.home() / "b", "b");
    const std::vector<fs::path> withRepeat{harness.home() / "a", harness.home() / "a", harness.home() / "b"};
    const auto plan = harness.deleter().preview(std::vector{withRepeat[0], withRepeat[2]}, Category::cache);
    const int once = counting.total();
    const auto planWithRepeat = harness.deleter().preview(withRepeat, Category::cache);
    EXPECT_EQ(idsOf(planWithRepeat.items()), (std::vector<std::string>{withRepeat[0], withRepeat[2]}));
    // The repeat cost nothing; nor does a preview stopped before the first candidate, which is empty.
    EXPECT_EQ(std::tuple(planWithRepeat.totalReclaimable(), counting.total()), std::tuple(plan.totalReclaimable(), 2 * once));
    std::stop_source stop;
    stop.request_stop();
    EXPECT_TRUE(harness.deleter().preview(withRepeat, Category::cache, nullptr, stop.get_token()).isEmpty());
    EXPECT_EQ(counting.total(), 2 * once);
}

// Protected candidates are set aside unsized, missing ones listed; the rest sized, links not followed.
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

// Judged on the spelling, an item inside another goes with it: "/x/yz" is beside "/x/y", not inside.
TEST(DeletionPlan, NarrowingMergingAndNestingKeepEachItemOnceInPlanOrder) {
    const Item protectedItem("/p", 0, Category::cache, true);
    const Plan plan({itemAt("/x/1", 1), itemAt("/x/2", 2), itemAt("/x/3", 4), itemAt("/x/4", 8), itemAt("/x/5", 16)},
                    {protectedItem}, {itemAt("/m", 0)});
    EXPECT_EQ(plan.totalReclaimable(), 31);
    const auto kept = plan.keeping({"/x/4", "/x/2", "/not/in/plan"});
    const auto removed = plan.removing({"/x/1", "/x/5"});
    EXPECT_EQ(std::tuple(idsOf(kept.items()), kept.totalReclaimable(), kept.protectedItems(), kept.missingItems()),
              std::tuple(std::vector<std::string>{"/x/2", "/x/4"}, 10, plan.protectedItems(), plan.missingItems()));
    EXPECT_EQ(std::tuple(idsOf(removed.items()), removed.totalReclaimable(), removed.protectedItems()),
              std::tuple(std::vector<std::string>{"/x/2", "/x/3", "/x/4"}, 14, plan.protectedItems()));
    EXPECT_TRUE(plan.keeping({}).items().empty());
    EXPECT_EQ(plan.removing({}).items(), plan.items());
    for (const auto& narrowed : {kept, plan.removing({})}) EXPECT_NE(narrowed.id(), plan.id());

    const std::vector<Plan> plans{Plan({itemAt("/a", 1), itemAt("/b", 2)}, {protectedItem}, {itemAt("/m", 0)}),
                                  Plan({itemAt("/b", 50), itemAt("/c", 4)}, {protectedItem}, {itemAt("/m", 0)})};
    const auto merged = Plan::merged(plans);
    EXPECT_EQ(merged.items(), (std::vector<Item>{itemAt("/a", 1), itemAt("/b", 2), itemAt("/c", 4)}));
    EXPECT_EQ(std::tuple(merged.protectedItems().size(), merged.missingItems().size(), merged.totalReclaimable()),
              std::tuple(2u, 2u, 7));
    EXPECT_NE(merged.id(), plans[0].id());
    EXPECT_TRUE(Plan::merged({}).isEmpty());
    EXPECT_EQ(Plan::empty().id(), Plan::empty().id());

    const Plan nested({itemAt("/x/y/z", 1), itemAt("/x/y/", 2), itemAt("/x/yz", 4), itemAt("/x/./y/w", 8),
                       itemAt("rel/a", 16), itemAt("rel", 32), itemAt("/other", 64)},
                      {}, {});
    EXPECT_EQ(idsOf(nested.items()), (std::vector<std::string>{"/x/y/", "/x/yz", "rel", "/other"}));
    EXPECT_EQ(nested.totalReclaimable(), 102);
    EXPECT_TRUE(nested.keeping({"/x/y/z"}).items().empty());
    // Alone the inner item stays; merged with its folder it goes again.
    const std::vector<Plan> parts{Plan({itemAt("/x/y/z", 1)}, {}, {}), Plan({itemAt("/x", 10)}, {}, {})};
    EXPECT_EQ(idsOf(parts[0].items()), std::vector<std::string>{"/x/y/z"});
    EXPECT_EQ(std::tuple(idsOf(Plan::merged(parts).items()), Plan::merged(parts).totalReclaimable()),
              std::tuple(std::vector<std::string>{"/x"}, 10));
    EXPECT_EQ(Plan({itemAt("/", 1), itemAt("/x", 2)}, {}, {}).items().size(), 1u);
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

    // Only an item of the Trash category inside a Trash goes for good.
    EXPECT_EQ(std::tuple(Item(home / ".Trash" / "old.txt", 1, Category::trash, false).isPermanentRemoval(),
                         Item(home / ".Trash" / "old.txt", 1, Category::cache, false).isPermanentRemoval(),
                         Item(home / "old.txt", 1, Category::trash, false).isPermanentRemoval(),
                         Item(home / ".Trash" / "escape" / "x", 1, Category::trash, false).isPermanentRemoval()),
              std::tuple(true, false, false, false));
}

// What the user can do about a failure, in this platform's words, naming the item.
std::string emptyTrashSuggestion(const fs::path& path) { return platform::PlatformTexts::removeFromTrashSuggestion(path.native()); }
std::string moveToTrashSuggestion(const fs::path& path) { return platform::PlatformTexts::moveToTrashSuggestion(path.native()); }

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

// Rehearsed, then run: the rehearsal predicts each item's way and touches nothing.
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
        EXPECT_EQ(std::tuple(entries[index].path(), entries[index].outcome(), entries[index].dryRun()),
                  std::tuple(kept.id(), Outcome::skipped, index == 6u));
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
    EXPECT_EQ(test::mapped(harness.entries(), [](const OperationLog::Entry& entry) {
                  return Logged(entry.path(), entry.mode(), entry.outcome(), entry.sizeBytes(), entry.detail());
              }),
              (std::vector<Logged>{
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
    EXPECT_EQ(std::tuple(reports, countsOf(empty), empty.cancelled, harness.entries().size()),
              std::tuple(std::vector<Progress>{{0, 0, ""}}, Counts{0, 0, 2, 0, 0}, false, 7u));
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

    EXPECT_EQ((Failure{"/home/a/.Trash/x", "r", true}).recoverySuggestion(), emptyTrashSuggestion("/home/a/.Trash/x"));
    EXPECT_EQ((Failure{"/home/a/x", "r", false}).recoverySuggestion(), moveToTrashSuggestion("/home/a/x"));
}

// The user cannot write the folders holding root's items and its own, outside and inside its Trash.
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

    EXPECT_TRUE(test::passesAsNobody([&]() -> std::string {
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
        const auto& [outside, inside] = std::tie(result.failures[0], result.failures[2]);
        if (outside.recoverySuggestion() != moveToTrashSuggestion(outside.path)) return "wrong suggestion outside the Trash";
        if (inside.recoverySuggestion() != emptyTrashSuggestion(inside.path)) return "wrong suggestion inside the Trash";
        const auto entries = engine.entries();
        if (entries.size() != 4 || entries[2].mode() != LogMode::permanent ||
            entries[2].detail() != SafeFileDeleter::ownedByAnotherUserReason) {
            return "the failures were not logged as such";
        }
        return {};
    }));
    EXPECT_TRUE(fs::exists(locked / "root-file") && fs::exists(trashLocked / "root-file"));
}

// Wraps the real Trash but cannot say where the item went.
class SilentTrashFileManager : public platform::FileManager {
public:
    std::expected<fs::path, platform::FileError> trashHeldItem(const platform::HeldItem& item, std::string_view session) const override {
        const auto trashed = FileManager::trashHeldItem(item, session);
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

// A stop asked for while an item is reported still finishes that item.
TEST(PlanExecution, ProgressAndCancellationAreCheckedBeforeEachItemAndAnAsyncRunHasItsOwnSession) {
    DeleterHarness harness;
    const auto path = [&](const std::string& name) { return (harness.home() / name).native(); };
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
    EXPECT_EQ(std::tuple(stoppedAtOnce.cancelled, stoppedAtOnce.skipped, fs::exists(path("a"))), std::tuple(true, 1, true));
    EXPECT_EQ(reports, (std::vector<Progress>{{3, 3, ""}}));
    ASSERT_FALSE(capture.records().empty());
    EXPECT_EQ(capture.records().back().message, "clean: 0 removed, 0 failed, 1 skipped, 0 bytes (cancelled)");
    const auto stoppedInTheMiddle = runAllowing(1);
    EXPECT_EQ(std::tuple(stoppedInTheMiddle.cancelled, stoppedInTheMiddle.removedIDs, fs::exists(path("b"))),
              std::tuple(true, std::set<std::string>{path("a")}, true));
    EXPECT_EQ(reports, (std::vector<Progress>{{0, 3, path("a")}, {3, 3, ""}}));
    const auto finished = runAllowing(3);
    EXPECT_EQ(std::tuple(finished.cancelled, finished.succeeded), std::tuple(false, 3));
    EXPECT_EQ(reports, (std::vector<Progress>{{0, 3, path("a")}, {1, 3, path("b")}, {2, 3, path("c")}, {3, 3, ""}}));

    const auto plan = [&](const std::string& prefix) { return Plan({fileItem(path(prefix + "1")), fileItem(path(prefix + "2"))}, {}, {}); };
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> elsewhere = true;
    const auto onAnotherThread = [&](const Progress&) { elsewhere = elsewhere && std::this_thread::get_id() != caller; };
    const auto first = harness.deleter().executeAsync(plan("first"), Mode::trash, false, "clean", onAnotherThread).get();
    const auto second = harness.deleter().executeAsync(plan("second"), Mode::trash, true, "preview", {}).get();
    EXPECT_EQ(std::tuple(first.succeeded, first.cancelled, second.dryRun, elsewhere.load()), std::tuple(2, false, true, true));
    auto entries = harness.entries();
    entries.erase(entries.begin(), entries.end() - 4);
    ASSERT_TRUE(entries[0].sessionID() && entries[2].sessionID());
    EXPECT_EQ(std::tuple(entries[1].sessionID(), entries[3].sessionID(), entries[2].action()),
              std::tuple(entries[0].sessionID(), entries[2].sessionID(), "preview"));
    EXPECT_NE(entries[0].sessionID(), entries[2].sessionID());
    std::stop_source stop;
    const auto stopOnFirstItem = [&](const Progress& progress) {
        if (!progress.currentPath.empty()) stop.request_stop();
    };
    const auto stopped = harness.deleter().executeAsync(plan("third"), Mode::trash, false, "clean", stopOnFirstItem, stop.get_token()).get();
    EXPECT_EQ(std::tuple(stopped.cancelled, stopped.succeeded, fs::exists(path("third2"))), std::tuple(true, 1, true));
}

// A stop that arrives while a large folder inside the Trash is being removed ends that removal
// at its next entry: the folder is logged as failed, saying how much went, and the run stops.
TEST(PlanExecution, AStopInsideALargeRemovalEndsItAndSaysWhatIsLeft) {
    DeleterHarness harness;
    const auto trashed = harness.home() / ".local/share/Trash/files";
    for (int index = 0; index < 2000; ++index) test::writeFile(trashed / "big" / ("f" + std::to_string(index)));
    test::writeFile(trashed / "next");
    const Plan plan({Item(trashed / "big", 0, Category::trash, false), Item(trashed / "next", 0, Category::trash, false)}, {}, {});
    std::stop_source stop;
    const auto stopOnFirstItem = [&](const Progress& progress) {
        if (!progress.currentPath.empty()) stop.request_stop();
    };
    const auto result = harness.deleter().execute(plan, Mode::permanent, false, "emptyTrash", Uuid(), stopOnFirstItem,
                                                  [] { return false; }, stop.get_token());
    EXPECT_EQ(std::tuple(result.cancelled, result.failed, result.succeeded), std::tuple(true, 1, 0));
    ASSERT_EQ(result.failures.size(), 1u);
    EXPECT_EQ(result.failures[0].reason,
              "Cancelled during its removal: nothing of it was removed, and the rest is still in the Trash.");
    EXPECT_EQ(std::distance(fs::directory_iterator(trashed / "big"), fs::directory_iterator()), 2000);
    EXPECT_TRUE(fs::exists(trashed / "next"));  // never reached
    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(std::tuple(entries[0].outcome(), entries[0].mode(), entries[0].detail()),
              std::tuple(OperationLog::Outcome::failed, OperationLog::Mode::permanent, result.failures[0].reason));
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

// A trashed link is judged by itself, so one whose target has gone still goes back.
TEST(PutBack, OnlyTheVeryItemStillInATrashGoesBackAndOnlyToAFreePlace) {
    DeleterHarness harness;
    writeFile(harness.home() / "Trash" / "a.txt");
    writeFile(harness.home() / "Documents" / "report.txt");
    fs::create_directories(harness.trash());
    fs::create_symlink(harness.home() / "Documents", harness.trash() / "escape");
    for (const auto& trashed : {harness.home() / "Trash" / "a.txt", harness.trash(), harness.trash() / "escape" / "report.txt"}) {
        EXPECT_EQ(problemOf(harness, {harness.home() / "back.txt", trashed, std::nullopt}), Kind::noLongerInTrash) << trashed;
    }

    const auto original = harness.home() / "report.txt";
    writeFile(original, "the trashed one");
    const auto item = trashThroughEngine(harness, original);
    // Made before the first is gone, so it cannot be given the same inode.
    writeFile(harness.trash() / "impostor", "another one");
    fs::rename(harness.trash() / "impostor", item.trashed);
    ASSERT_NE(test::inodeOf(item.trashed), item.fileNumber.value_or(0));
    EXPECT_EQ(problemOf(harness, item), Kind::noLongerInTrash);
    EXPECT_THROW(harness.deleter().putBack(item.trashed, original, item.fileNumber, std::nullopt), SafeFileDeleter::PutBackError);
    // Without a recorded number nothing can tell them apart.
    harness.deleter().putBack(item.trashed, original, std::nullopt, std::nullopt);
    EXPECT_EQ(readFile(original), "another one");

    const auto link = harness.home() / "shortcut";
    fs::create_symlink(harness.home() / "gone", link);
    const auto trashedLink = trashThroughEngine(harness, link);
    EXPECT_EQ(trashedLink.fileNumber, test::inodeOf(trashedLink.trashed));
    harness.deleter().putBack(trashedLink.trashed, link, trashedLink.fileNumber, std::nullopt);
    EXPECT_EQ(fs::read_symlink(link), harness.home() / "gone");

    const auto place = harness.home() / "place";
    writeFile(place, "first");
    const auto first = trashThroughEngine(harness, place);
    const std::function<void()> occupiers[] = {[&] { fs::create_directories(place); },
                                               [&] { fs::create_symlink(harness.home() / "nowhere", place); },
                                               [&] { writeFile(place, "newcomer"); }};
    for (const auto& occupy : occupiers) {
        fs::remove(place);
        occupy();
        EXPECT_EQ(problemOf(harness, first), Kind::originalLocationOccupied);
    }
    const auto logged = harness.entries().size();
    EXPECT_EQ(test::descriptionThrown<SafeFileDeleter::PutBackError>(
                  [&] { harness.deleter().putBack(first.trashed, place, first.fileNumber, Uuid()); }),
              "Something else now exists at the original location.");
    // A parent that cannot be made: a file stands where the folder should be.
    EXPECT_NE(test::descriptionThrown<SafeFileDeleter::FileOperationError>(
                  [&] { harness.deleter().putBack(first.trashed, place / "inner.txt", first.fileNumber, Uuid()); }),
              "nothing thrown");
    EXPECT_EQ(std::tuple(readFile(first.trashed), readFile(place), harness.entries().size()),
              std::tuple("first", "newcomer", logged));
}

// Root puts back an item of a user's folder after the user swapped a folder on the way for a link.
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
        const auto error = test::descriptionThrown<SafeFileDeleter::FileOperationError>(
            [&] { harness.deleter().putBack(item.trashed, item.original, item.fileNumber, std::nullopt); });
        EXPECT_EQ(error.find((bob / "cache").native()) != std::string::npos, !followed) << error;
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
    EXPECT_EQ(readFile(outside / "victim"), "outside");
    // The race really ran, and the engine still got through while it did.
    EXPECT_GT(linksSeen, 0);
    EXPECT_GT(foldersSeen, 0);
    EXPECT_GT(succeeded, 0);
    if (race.mode == Mode::trash) {
        for (const auto& entry : fs::directory_iterator(harness.trash())) EXPECT_EQ(readFile(entry.path()), "inside") << entry.path();
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

namespace vornelo {
namespace {

// Items of a few folders, more than a run hands to its log at once: one folder held per run of
// items in it, each item judged at its real place, and one line per item in plan order.
TEST(PlanExecution, AManyItemRunJudgesEachItemWhereItIsAndLogsEveryOneOnceInOrder) {
    DeleterHarness harness;
    const auto& home = harness.home();
    std::vector<Item> items;
    for (const char* folder : {"a", "b", "a"}) {
        for (int index = 0; index < 400; ++index) {
            const auto path = home / folder / ("f" + std::to_string(index) + (items.size() >= 800 ? "-again" : ""));
            writeFile(path, "x");
            items.push_back(itemAt(path, 1));
        }
    }
    writeFile(home / ".ssh" / "key", "secret");
    fs::create_symlink(home / ".ssh", home / "way");
    items.insert(items.begin() + 500, itemAt(home / "way" / "key", 1));  // protected only where it leads
    items.insert(items.begin() + 900, itemAt(home / "b" / "gone", 1));   // vanished after planning
    const auto preview = harness.deleter().preview(std::vector<fs::path>{home / "way" / "key", home / "a" / "f1"}, Category::cache);
    EXPECT_EQ(idsOf(preview.protectedItems()), (std::vector<std::string>{home / "way" / "key"}));

    const Uuid session;
    const auto result = harness.run(Plan(items, {}, {}), Mode::trash, false, session);
    EXPECT_EQ(std::tuple(result.succeeded, result.skipped, result.failed), std::tuple(1200, 1, 1));
    EXPECT_EQ(result.errors, (std::vector<std::string>{(home / "b" / "gone").native() + ": No longer exists."}));
    EXPECT_EQ(readFile(home / ".ssh" / "key"), "secret");
    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), items.size());
    for (std::size_t index = 0; index < items.size(); ++index) {
        const auto& entry = entries[index];
        ASSERT_EQ(entry.path(), items[index].id()) << index;
        EXPECT_EQ(entry.sessionID(), session);
        const auto expected = index == 500 ? Outcome::skipped : index == 900 ? Outcome::failed : Outcome::success;
        EXPECT_EQ(entry.outcome(), expected) << index;
        if (expected == Outcome::success) {
            EXPECT_EQ(readFile(*entry.trashedPath()), "x") << index;
        }
    }
    const auto chain = harness.log().verifyChain();
    EXPECT_TRUE(chain.isIntact());
    EXPECT_EQ(chain.verified, static_cast<std::int64_t>(items.size()) - 1);
}

// The folder a run holds on to is swapped for a link to a protected folder between its items: each
// item goes from the folder it was judged in, or stays, and nothing behind the link is touched.
TEST(PlanExecution, AFolderSwappedForALinkDuringARunRedirectsNoneOfItsLaterItems) {
    DeleterHarness harness;
    const fs::path folder = harness.home() / "Library/Caches/sub";
    const fs::path outside = harness.home() / ".ssh";
    constexpr int count = 100;
    fs::create_directories(folder);
    std::vector<Item> items;
    for (int index = 0; index < count; ++index) {
        const std::string name = "victim-" + std::to_string(index);
        writeFile(outside / name, "outside");
        items.push_back(itemAt(folder / name, 6));
    }
    fs::create_symlink(outside, folder.parent_path() / "swap");
    const platform::FileDescriptor real(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(real);
    const auto present = [&](const std::string& name) {
        struct stat info {};
        return ::fstatat(real.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    };
    std::int64_t succeeded = 0;
    std::int64_t leftAlone = 0;
    {
        const Swapper swapper(folder, folder.parent_path() / "swap", std::nullopt);
        for (int run = 0; run < 200 && (run < 20 || succeeded == 0 || leftAlone == 0); ++run) {
            for (int index = 0; index < count; ++index) {
                const std::string name = "victim-" + std::to_string(index);
                if (present(name)) continue;
                const platform::FileDescriptor made(::openat(real.get(), name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
                ASSERT_TRUE(made);
                ASSERT_EQ(::write(made.get(), "inside", 6), 6);
            }
            const auto result = harness.run(Plan(items, {}, {}), Mode::trash);
            int gone = 0;
            for (int index = 0; index < count; ++index) gone += present("victim-" + std::to_string(index)) ? 0 : 1;
            ASSERT_EQ(result.succeeded, gone) << "run " << run << ": " << ::testing::PrintToString(result.errors);
            succeeded += result.succeeded;
            leftAlone += result.skipped + result.failed;
        }
    }
    for (int index = 0; index < count; ++index) EXPECT_EQ(readFile(outside / ("victim-" + std::to_string(index))), "outside");
    for (const auto& entry : fs::directory_iterator(harness.trash())) EXPECT_EQ(readFile(entry.path()), "inside") << entry.path();
    // The swap really met the run both ways.
    EXPECT_GT(succeeded, 0);
    EXPECT_GT(leftAlone, 0);
}

}  // namespace
}  // namespace vornelo

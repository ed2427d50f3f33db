#include "Core/SafeFileDeleter.h"

#include "Core/CleanupSession.h"
#include "Support/ChildProcess.h"
#include "Support/DeleterHarness.h"
#include "Support/LogCapture.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <thread>

namespace vornelo {
namespace {

namespace fs = std::filesystem;

using Category = SafeFileDeleter::Category;
using Failure = SafeFileDeleter::Failure;
using Item = SafeFileDeleter::Item;
using LogMode = OperationLog::Mode;
using Mode = SafeFileDeleter::Mode;
using Outcome = OperationLog::Outcome;
using Plan = SafeFileDeleter::Plan;
using Progress = SafeFileDeleter::Progress;
using test::DeleterHarness;
using test::writeFile;

constexpr std::string_view emptyTrashSuggestion =
    "Open the Trash in Finder and choose Empty Trash. Finder can request administrator approval for items Vornelo "
    "cannot remove.";
constexpr std::string_view moveToTrashSuggestion =
    "Move this item to the Trash in Finder, which can request administrator approval.";

Item itemAt(const fs::path& path, std::int64_t size = 10, Category category = Category::cache) {
    return Item(path, size, category, false);
}

// A file with the given contents, as a plan item of its allocated size.
Item fileItem(const fs::path& path, Category category = Category::cache, std::string_view contents = "data") {
    writeFile(path, contents);
    return itemAt(path, test::allocatedSizeOf(path), category);
}

// Succeeded, failed, skipped, recoverable and freed bytes, to be checked at once.
using Counts = std::array<std::int64_t, 5>;
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
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto& rehearsed = entries[i];
        const auto& done = entries[i + 7];
        for (const auto* entry : {&rehearsed, &done}) {
            EXPECT_EQ(entry->path(), items[i].id());
            EXPECT_EQ(entry->sizeBytes(), items[i].sizeBytes());
            EXPECT_EQ(entry->action(), "clean");
            EXPECT_EQ(entry->mode(), trashedTo[i] ? LogMode::trash : LogMode::permanent) << entry->path();
            EXPECT_EQ(entry->detail(), std::nullopt);
        }
        EXPECT_TRUE(rehearsed.dryRun());
        EXPECT_EQ(rehearsed.outcome(), Outcome::dryRun);
        EXPECT_EQ(rehearsed.trashedPath(), std::nullopt);
        EXPECT_FALSE(done.dryRun());
        EXPECT_EQ(done.outcome(), Outcome::success);
        EXPECT_EQ(done.sessionID(), session);
        EXPECT_EQ(done.trashedPath(), trashedTo[i].transform([](const fs::path& path) { return path.native(); }));
        EXPECT_EQ(done.trashedFileNumber(), trashedTo[i].transform(test::inodeOf));
    }
    for (const auto index : {6u, 13u}) {  // the plan's protected items come last
        EXPECT_EQ(entries[index].path(), kept.id());
        EXPECT_EQ(entries[index].outcome(), Outcome::skipped);
        EXPECT_EQ(entries[index].dryRun(), index == 6u);
    }

    // Asked for permanent removal, only what lies in a Trash goes for good; the rest is still trashed.
    const auto homeFile = fileItem(harness.home() / "notes.txt");
    const auto cachedInTrash = fileItem(trash / "cached.bin");
    const auto permanent = harness.run(Plan({homeFile, cachedInTrash}, {}, {}), Mode::permanent);
    EXPECT_EQ(countsOf(permanent), (Counts{2, 0, 0, 1, homeFile.sizeBytes() + cachedInTrash.sizeBytes()}));
    EXPECT_EQ(test::readFile(trash / "notes.txt"), "data");
    EXPECT_FALSE(fs::exists(cachedInTrash.url()));
    const auto modes = harness.entries();
    ASSERT_EQ(modes.size(), 16u);
    EXPECT_EQ(modes[14].trashedPath(), (trash / "notes.txt").native());
    EXPECT_EQ(modes[15].mode(), LogMode::permanent);
    EXPECT_EQ(modes[15].trashedPath(), std::nullopt);
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

}  // namespace
}  // namespace vornelo

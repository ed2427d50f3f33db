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
using Entry = OperationLog::Entry;
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

const auto never = [] { return false; };

Item itemAt(const fs::path& path, std::int64_t size = 10, Category category = Category::cache) {
    return Item(path, size, category, false);
}

// A file with the given contents, as a plan item of its allocated size.
Item fileItem(const fs::path& path, Category category = Category::cache, std::string_view contents = "data") {
    writeFile(path, contents);
    return itemAt(path, test::allocatedSizeOf(path), category);
}

std::string errorsOf(const SafeFileDeleter::ExecutionResult& result) {
    std::string text;
    for (const auto& line : result.errors) text += line + "; ";
    return text;
}

SafeFileDeleter::ExecutionResult run(const DeleterHarness& harness, const Plan& plan, Mode mode, bool dryRun = false,
                                     const Uuid& session = Uuid(), const SafeFileDeleter::ProgressHandler& progress = {},
                                     const std::function<bool()>& isCancelled = never) {
    return harness.deleter().execute(plan, mode, dryRun, "clean", session, progress, isCancelled);
}

TEST(PlanExecution, TrashesItemsAndLogsWhereTheyWentUnderOneSession) {
    DeleterHarness harness;
    const auto file = fileItem(harness.home() / "Downloads" / "setup.tar.gz");
    writeFile(harness.home() / "Projects" / "build" / "out.o", std::string(9000, 'o'));
    const auto folder = itemAt(harness.home() / "Projects" / "build", 9000, Category::artifact);
    const Uuid session;
    const auto result = run(harness, Plan({file, folder}, {}, {}), Mode::trash, false, session);

    EXPECT_EQ(result.succeeded, 2);
    EXPECT_EQ(result.recoverable, 2);
    EXPECT_EQ(result.freedBytes, file.sizeBytes() + 9000);
    EXPECT_EQ(result.removedIDs, (std::set<std::string>{file.id(), folder.id()}));
    EXPECT_FALSE(result.cancelled);
    EXPECT_FALSE(fs::exists(file.url()));
    const auto trashedFolder = harness.trash() / "build";
    EXPECT_EQ(test::readFile(trashedFolder / "out.o"), std::string(9000, 'o'));

    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 2u);
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.sessionID(), session);
        EXPECT_EQ(entry.action(), "clean");
        EXPECT_EQ(entry.mode(), LogMode::trash);
        EXPECT_EQ(entry.outcome(), Outcome::success);
        EXPECT_FALSE(entry.dryRun());
        EXPECT_EQ(entry.detail(), std::nullopt);
    }
    EXPECT_EQ(entries[0].path(), file.id());
    EXPECT_EQ(entries[0].sizeBytes(), file.sizeBytes());
    EXPECT_EQ(entries[0].trashedPath(), (harness.trash() / "setup.tar.gz").native());
    EXPECT_EQ(entries[0].trashedFileNumber(), test::inodeOf(harness.trash() / "setup.tar.gz"));
    EXPECT_EQ(entries[1].trashedPath(), trashedFolder.native());
    EXPECT_EQ(entries[1].trashedFileNumber(), test::inodeOf(trashedFolder));
}

TEST(PlanExecution, OnlyWhatAlreadyLiesInATrashIsRemovedForGood) {
    DeleterHarness harness;
    const auto trash = harness.trash();
    const auto oldTrash = fileItem(trash / "old.txt", Category::trash);
    const auto innerCache = fileItem(trash / "folder" / "inner.txt", Category::cache);
    const auto homeFile = fileItem(harness.home() / "notes.txt", Category::cache);
    // Named like a Trash entry, but the folder it lies in is a link to Documents.
    writeFile(harness.home() / "Documents" / "report.txt", "report");
    fs::create_symlink(harness.home() / "Documents", trash / "escape");
    const auto escaped = itemAt(trash / "escape" / "report.txt", 4096, Category::trash);
    // A link in the Trash goes for good by itself; what it leads to stays.
    writeFile(harness.home() / "Projects" / "keep.txt", "keep");
    fs::create_symlink(harness.home() / "Projects", trash / "projects-link");
    const auto trashedLink = itemAt(trash / "projects-link", 0, Category::trash);

    const auto byTrashMode = run(harness, Plan({oldTrash, innerCache, escaped, trashedLink}, {}, {}), Mode::trash);
    EXPECT_EQ(byTrashMode.succeeded, 4);
    EXPECT_EQ(byTrashMode.recoverable, 2);
    EXPECT_FALSE(fs::exists(oldTrash.url()));
    EXPECT_EQ(test::readFile(trash / "inner.txt"), "data");
    EXPECT_EQ(test::readFile(trash / "report.txt"), "report");  // trashed, not deleted through the link
    EXPECT_FALSE(fs::exists(fs::symlink_status(trashedLink.url())));
    EXPECT_EQ(test::readFile(harness.home() / "Projects" / "keep.txt"), "keep");

    const auto permanentInTrash = fileItem(trash / "cached.bin", Category::cache);
    const auto byPermanentMode = run(harness, Plan({homeFile, permanentInTrash}, {}, {}), Mode::permanent);
    EXPECT_EQ(byPermanentMode.succeeded, 2);
    EXPECT_EQ(byPermanentMode.recoverable, 1);
    EXPECT_EQ(test::readFile(trash / "notes.txt"), "data");
    EXPECT_FALSE(fs::exists(permanentInTrash.url()));

    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 6u);
    const std::vector<LogMode> modes{LogMode::permanent, LogMode::trash, LogMode::trash,
                                     LogMode::permanent, LogMode::trash, LogMode::permanent};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].mode(), modes[i]) << entries[i].path();
        EXPECT_EQ(entries[i].trashedPath().has_value(), modes[i] == LogMode::trash) << entries[i].path();
    }
}

TEST(PlanExecution, ADryRunTouchesNothingAndLogsRehearsals) {
    DeleterHarness harness;
    writeFile(harness.home() / "a", "a");
    writeFile(harness.home() / "b", "b");
    writeFile(harness.trash() / "c", "c");
    const auto kept = harness.home() / "kept";
    const Plan plan({itemAt(harness.home() / "a", 10), itemAt(harness.home() / "b", 20),
                     itemAt(harness.trash() / "c", 30, Category::trash)},
                    {Item(kept, 0, Category::cache, true)}, {});
    test::LogCapture capture;
    const auto result = run(harness, plan, Mode::trash, true);
    ASSERT_FALSE(capture.records().empty());
    EXPECT_EQ(capture.records().back().message, "clean: 3 removed, 0 failed, 1 skipped, 60 bytes (simulated)");

    EXPECT_EQ(result.freedBytes, 60);
    EXPECT_EQ(result.succeeded, 3);
    EXPECT_EQ(result.recoverable, 2);
    EXPECT_EQ(result.skipped, 1);
    EXPECT_TRUE(result.removedIDs.empty());
    EXPECT_TRUE(result.dryRun);
    EXPECT_TRUE(fs::exists(harness.home() / "a") && fs::exists(harness.home() / "b") && fs::exists(harness.trash() / "c"));

    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 4u);
    const std::vector<std::int64_t> sizes{10, 20, 30, 0};
    const std::vector<Outcome> outcomes{Outcome::dryRun, Outcome::dryRun, Outcome::dryRun, Outcome::skipped};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_TRUE(entries[i].dryRun());
        EXPECT_EQ(entries[i].sizeBytes(), sizes[i]);
        EXPECT_EQ(entries[i].outcome(), outcomes[i]);
        EXPECT_EQ(entries[i].trashedPath(), std::nullopt);
    }
    EXPECT_EQ(entries[2].mode(), LogMode::permanent);
    EXPECT_EQ(entries[3].path(), kept.native());
}

TEST(PlanExecution, ProtectedItemsAreSkippedInTheLoopAndAfterIt) {
    DeleterHarness harness;
    const auto nowExcluded = fileItem(harness.home() / "Projects" / "excluded-later");
    const auto removable = fileItem(harness.home() / "Projects" / "removable");
    const Item plannedProtected(harness.home() / "Documents", 0, Category::cache, true);
    harness.exclude(nowExcluded.url());  // after planning: the item's own flag still says false
    const auto result = run(harness, Plan({nowExcluded, removable}, {plannedProtected}, {}), Mode::permanent);

    EXPECT_EQ(result.skipped, 2);
    EXPECT_EQ(result.succeeded, 1);
    EXPECT_EQ(result.removedIDs, std::set<std::string>{removable.id()});
    EXPECT_TRUE(fs::exists(nowExcluded.url()));
    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].path(), plannedProtected.id());  // the plan's protected items come last
    for (const auto index : {0, 2}) {
        const auto& entry = entries[static_cast<std::size_t>(index)];
        EXPECT_EQ(entry.outcome(), Outcome::skipped);
        EXPECT_EQ(entry.detail(), "Protected path");
        EXPECT_EQ(entry.mode(), LogMode::permanent);  // the requested mode
        EXPECT_EQ(entry.sizeBytes(), 0);
    }

    // Nothing to remove, two protected: one final report, two skipped entries.
    std::vector<Progress> reports;
    const auto empty = run(harness, Plan({}, {plannedProtected, plannedProtected}, {}), Mode::trash, false, Uuid(),
                           [&](const Progress& progress) { reports.push_back(progress); }, [] { return true; });
    EXPECT_EQ(reports, (std::vector<Progress>{{0, 0, ""}}));
    EXPECT_EQ(empty.skipped, 2);
    EXPECT_FALSE(empty.cancelled);
    EXPECT_EQ(harness.entries().size(), 5u);
}

TEST(PlanExecution, VanishedItemsFailWithNoLongerExistsOnBothWays) {
    DeleterHarness harness;
    const auto gone = fileItem(harness.home() / "gone.txt");
    const auto goneFromTrash = fileItem(harness.trash() / "gone-too.txt", Category::trash);
    fs::remove(gone.url());
    fs::remove(goneFromTrash.url());
    test::LogCapture capture;
    const auto result = run(harness, Plan({gone, goneFromTrash}, {}, {}), Mode::trash);

    EXPECT_EQ(result.failed, 2);
    EXPECT_EQ(result.succeeded, 0);
    EXPECT_EQ(result.freedBytes, 0);
    EXPECT_EQ(result.recoverable, 0);
    EXPECT_EQ(result.errors, (std::vector<std::string>{gone.id() + ": No longer exists.",
                                                        goneFromTrash.id() + ": No longer exists."}));
    EXPECT_EQ(result.failures, (std::vector<Failure>{{gone.id(), "No longer exists.", false},
                                                      {goneFromTrash.id(), "No longer exists.", false}}));
    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].mode(), LogMode::trash);
    EXPECT_EQ(entries[1].mode(), LogMode::permanent);
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.outcome(), Outcome::failed);
        EXPECT_EQ(entry.detail(), "No longer exists.");
        EXPECT_EQ(entry.sizeBytes(), gone.sizeBytes());
    }

    std::vector<std::string> messages;
    for (const auto& record : capture.records()) {
        if (record.category == "deletion") messages.push_back(record.message);
    }
    // Paths of failed items stay private.
    EXPECT_EQ(messages, (std::vector<std::string>{"clean: could not remove <private>: No longer exists.",
                                                   "clean: could not remove <private>: No longer exists.",
                                                   "clean: 0 removed, 2 failed, 0 skipped, 0 bytes"}));
}

TEST(PlanExecution, FailuresAreExplainedByTheErrorAndTheItemsOwner) {
    using platform::FileError;
    test::TempDirectory directory;
    const auto& files = platform::FileManager::defaultManager();
    const auto mine = directory / "mine";
    writeFile(mine);
    const auto denied = FileError::fromErrno(EACCES, platform::FileOperation::write, mine.native());
    EXPECT_EQ(SafeFileDeleter::failure(mine, denied, files), (Failure{mine, std::string(SafeFileDeleter::permissionDeniedReason), false}));
    // Only the POSIX error underneath marks it as a permission problem here.
    const auto notPermitted = FileError::make(FileError::posixDomain, 99, "odd", EPERM);
    EXPECT_EQ(SafeFileDeleter::failure(mine, notPermitted, files).reason, SafeFileDeleter::permissionDeniedReason);
    const auto readDenied = FileError::make(FileError::cocoaDomain, FileError::readNoPermission, "no read");
    EXPECT_EQ(SafeFileDeleter::failure(mine, readDenied, files).reason, SafeFileDeleter::permissionDeniedReason);
    const auto full = FileError::fromErrno(ENOSPC, platform::FileOperation::write, mine.native());
    EXPECT_EQ(SafeFileDeleter::failure(mine, full, files).reason, full.description);
    const auto posixMissing = FileError::make(FileError::posixDomain, FileError::noSuchFile, "posix four");
    EXPECT_EQ(SafeFileDeleter::failure(mine, posixMissing, files).reason, "posix four");
    // Unreadable attributes never make it someone else's item.
    EXPECT_FALSE(SafeFileDeleter::failure(directory / "absent", denied, files).needsAdministrator);

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
    writeFile(locked / "root-file");
    writeFile(locked / "own-file");
    writeFile(trashLocked / "root-file");
    for (const auto& path : {home, home / ".Trash", locked / "own-file"}) {
        ASSERT_EQ(::chown(path.c_str(), account.uid, account.gid), 0);
    }
    ::chmod(home.c_str(), 0755);
    ::chmod((home / ".Trash").c_str(), 0700);
    ::chmod(locked.c_str(), 0755);
    ::chmod(trashLocked.c_str(), 0755);

    const auto outcome = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        ::setenv("HOME", home.c_str(), 1);
        test::DeletionEngine engine(home, home / "operations.log");
        const Plan plan({itemAt(locked / "root-file"), itemAt(locked / "own-file"),
                         itemAt(trashLocked / "root-file", 10, Category::trash)},
                        {}, {});
        const auto result = engine.deleter().execute(plan, Mode::trash, false, "clean", Uuid(), {}, never);
        const std::vector<Failure> expected{
            {(locked / "root-file").native(), std::string(SafeFileDeleter::ownedByAnotherUserReason), true},
            {(locked / "own-file").native(), std::string(SafeFileDeleter::permissionDeniedReason), false},
            {(trashLocked / "root-file").native(), std::string(SafeFileDeleter::ownedByAnotherUserReason), true}};
        if (result.failures != expected) {
            std::string text = "failures:";
            for (const auto& failure : result.failures) text += " [" + failure.path + ": " + failure.reason + "]";
            return text;
        }
        if (result.failures[0].recoverySuggestion() != moveToTrashSuggestion) return "wrong suggestion outside the Trash";
        if (result.failures[2].recoverySuggestion() != emptyTrashSuggestion) return "wrong suggestion inside the Trash";
        const auto entries = engine.entries();
        if (entries.size() != 3 || entries[2].mode() != LogMode::permanent ||
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
    std::expected<fs::path, platform::FileError> trashItem(const fs::path& item) const override {
        const auto trashed = FileManager::trashItem(item);
        if (!trashed) return trashed;
        return fs::path();
    }
};

TEST(PlanExecution, AnUnknownTrashLocationIsLoggedAsSuchAndStillRecoverable) {
    const SilentTrashFileManager files{};
    DeleterHarness harness(files);
    const auto item = fileItem(harness.home() / "file.txt");
    const auto result = run(harness, Plan({item}, {}, {}), Mode::trash);
    EXPECT_EQ(result.recoverable, 1);
    EXPECT_EQ(result.removedIDs, std::set<std::string>{item.id()});
    EXPECT_TRUE(fs::exists(harness.trash() / "file.txt"));
    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].outcome(), Outcome::success);
    EXPECT_EQ(entries[0].trashedPath(), std::nullopt);
    EXPECT_EQ(entries[0].trashedFileNumber(), std::nullopt);
}

TEST(PlanExecution, ProgressAndCancellationAreCheckedBeforeEachItem) {
    DeleterHarness harness;
    const auto makePlan = [&] {
        return Plan({fileItem(harness.home() / "a"), fileItem(harness.home() / "b"), fileItem(harness.home() / "c")},
                    {Item(harness.home() / "Desktop", 0, Category::cache, true)}, {});
    };
    const auto path = [&](const char* name) { return (harness.home() / name).native(); };
    std::vector<Progress> reports;
    const auto record = [&](const Progress& progress) { reports.push_back(progress); };

    test::LogCapture capture;
    const auto stoppedAtOnce = run(harness, makePlan(), Mode::trash, false, Uuid(), record, [] { return true; });
    EXPECT_TRUE(stoppedAtOnce.cancelled);
    EXPECT_EQ(stoppedAtOnce.succeeded, 0);
    EXPECT_EQ(stoppedAtOnce.skipped, 1);  // the plan's protected item is still logged
    EXPECT_EQ(reports, (std::vector<Progress>{{3, 3, ""}}));
    EXPECT_TRUE(fs::exists(path("a")));
    ASSERT_FALSE(capture.records().empty());
    EXPECT_EQ(capture.records().back().message, "clean: 0 removed, 0 failed, 1 skipped, 0 bytes (cancelled)");

    reports.clear();
    int asked = 0;
    const auto stoppedInTheMiddle =
        run(harness, makePlan(), Mode::trash, false, Uuid(), record, [&] { return ++asked > 1; });
    EXPECT_TRUE(stoppedInTheMiddle.cancelled);
    EXPECT_EQ(stoppedInTheMiddle.removedIDs, std::set<std::string>{path("a")});
    EXPECT_TRUE(fs::exists(path("b")));
    EXPECT_EQ(reports, (std::vector<Progress>{{0, 3, path("a")}, {3, 3, ""}}));

    reports.clear();
    asked = 0;
    const auto finished = run(harness, makePlan(), Mode::trash, false, Uuid(), record, [&] { return ++asked > 3; });
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
    const auto first = harness.deleter()
                           .executeAsync(plan("first"), Mode::trash, false, "clean",
                                         [&](const Progress&) { elsewhere = elsewhere && std::this_thread::get_id() != caller; })
                           .get();
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
    const auto stopped = harness.deleter()
                             .executeAsync(plan("third"), Mode::trash, false, "clean",
                                           [&](const Progress& progress) {
                                               if (!progress.currentPath.empty()) stop.request_stop();
                                           },
                                           stop.get_token())
                             .get();
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
        const auto result = engine.deleter().execute(Plan({itemAt(original)}, {}, {}), Mode::trash, false, "clean",
                                                     Uuid(), {}, never);
        const auto expected = volume / ".Trashes" / std::to_string(::geteuid()) / "holiday.jpg";
        if (result.succeeded != 1 || !fs::exists(expected)) return "not in the volume's Trash: " + errorsOf(result);
        auto entries = engine.entries();
        if (entries.size() != 1 || entries[0].trashedPath() != expected.native()) return "trashed path not logged";
        if (entries[0].trashedFileNumber() != test::inodeOf(expected)) return "file number not logged";
        engine.deleter().putBack(expected, original, entries[0].trashedFileNumber(), entries[0].sessionID());
        if (test::readFile(original) != "jpeg" || fs::exists(expected)) return "not put back";
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

TEST(PlanExecution, NamesThatAreNotUtf8AreTrashedLoggedAndListed) {
    DeleterHarness harness;
    const std::string name = "bad\xff\xfename";
    const auto item = fileItem(harness.home() / name);
    const auto result = run(harness, Plan({item}, {}, {}), Mode::trash);
    ASSERT_EQ(result.succeeded, 1) << errorsOf(result);
    EXPECT_TRUE(fs::exists(harness.trash() / name));

    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path(), (harness.home() / "bad\xEF\xBF\xBD\xEF\xBF\xBDname").native());
    EXPECT_EQ(entries[0].trashedFileNumber(), test::inodeOf(harness.trash() / name));
    EXPECT_TRUE(harness.log().verifyChain().isIntact());
    EXPECT_EQ(harness.log().cleanupSessions(5).size(), 1u);
}

}  // namespace
}  // namespace vornelo

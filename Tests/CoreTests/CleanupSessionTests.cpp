#include "Core/CleanupSession.h"

#include "Core/PathProtection.h"
#include "Core/SafeFileDeleter.h"
#include "Platform/FileManager.h"
#include "Support/TempDirectory.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

namespace vornelo {
namespace {

using Entry = OperationLog::Entry;
using Mode = OperationLog::Mode;
using Outcome = OperationLog::Outcome;
using Recovery = CleanupRecovery;
using test::readFile;
using test::writeFile;
using namespace std::chrono_literals;

const platform::TimePoint noon{std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} + 12h};

std::uint64_t inode(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return 0;
    return info.st_ino;
}

// A real success of the Trash way, as the engine logs it.
Entry trashed(platform::TimePoint at, const Uuid& session, const std::filesystem::path& original,
              std::optional<std::filesystem::path> inTrash, std::optional<std::uint64_t> fileNumber) {
    return Entry(at, session, "clean", original.native(), 10, Mode::trash, Outcome::success, false, std::nullopt,
                 inTrash ? std::optional(inTrash->native()) : std::nullopt, fileNumber);
}

Entry plain(platform::TimePoint at, std::optional<Uuid> session, std::string path, Outcome outcome = Outcome::success,
            bool dryRun = false, std::string action = "clean", Mode mode = Mode::trash) {
    return Entry(at, session, std::move(action), std::move(path), 10, mode, outcome, dryRun);
}

std::vector<std::string> pathsOf(const CleanupSession& session) {
    std::vector<std::string> paths;
    for (const auto& entry : session.entries()) paths.push_back(entry.path());
    return paths;
}

std::vector<std::optional<std::string>> reasonsOf(const std::vector<Recovery::Item>& items) {
    std::vector<std::optional<std::string>> reasons;
    for (const auto& item : items) reasons.push_back(item.unavailableReason);
    return reasons;
}

// Puts back what the wrapped manager moves, then asks the walk to stop: a stop that arrives while
// an item is being put back.
class StoppingFileManager : public platform::FileManager {
public:
    explicit StoppingFileManager(std::stop_source& source) : source_(source) {}
    std::expected<void, platform::FileError> moveItem(const std::filesystem::path& source,
                                                      const std::filesystem::path& destination) const override {
        auto moved = FileManager::moveItem(source, destination);
        source_.request_stop();
        return moved;
    }

private:
    std::stop_source& source_;
};

class CleanupSessionTests : public ::testing::Test {
protected:
    std::filesystem::path trashFolder() const { return home.home() / ".Trash"; }

    // A file that looks as if a run had moved `name` from `original` into the Trash.
    Entry inTheTrash(const std::string& name, const std::filesystem::path& original, platform::TimePoint at = noon) {
        const auto where = trashFolder() / name;
        writeFile(where, "contents of " + name);
        return trashed(at, run, original, where, inode(where));
    }

    std::vector<CleanupSession> sessionsOf(const std::vector<Entry>& entries, std::int64_t limit = 10) {
        for (const auto& entry : entries) log.append(entry);
        log.flush();
        return log.cleanupSessions(limit);
    }

    std::vector<Recovery::Result> restore(const std::vector<Recovery::Item>& items, std::stop_token stop = {}) {
        return Recovery::restore(items, deleter, std::move(stop)).get();
    }

    test::TestHome home;
    OperationLog log{home.home() / "Library/Logs/Vornelo/operations.log", true};
    PathProtection protection{home.home(), PathProtection::noStrings(), PathProtection::noStrings()};
    SafeFileDeleter deleter{platform::FileManager::defaultManager(), protection, log};
    Uuid run;
};

// MARK: Sessions from the log

TEST_F(CleanupSessionTests, OnlyRealOperationsOnAPathFormSessions) {
    const Uuid rehearsalOnly;
    const auto sessions = sessionsOf({
        plain(noon, std::nullopt, "/home/u/no-session"),
        plain(noon, rehearsalOnly, "/home/u/rehearsed", Outcome::dryRun, true),
        plain(noon, rehearsalOnly, "/home/u/restored", Outcome::success, false, "putBack"),
        plain(noon, rehearsalOnly, ""),
        plain(noon + 1s, run, "/home/u/trashed"),
        plain(noon + 2s, run, "/home/u/rehearsed-too", Outcome::dryRun, true),
        plain(noon + 3s, run, "/home/u/failed", Outcome::failed),
        plain(noon + 4s, run, "/home/u/put-back", Outcome::success, false, "putBack"),
        plain(noon + 5s, run, "/home/u/skipped", Outcome::skipped),
        // An action that merely begins like a put-back is a real operation.
        plain(noon + 6s, run, "/home/u/other-action", Outcome::success, false, "putBackAll"),
    });
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].id(), run);
    EXPECT_EQ(pathsOf(sessions[0]),
              (std::vector<std::string>{"/home/u/trashed", "/home/u/failed", "/home/u/skipped", "/home/u/other-action"}));
}

TEST_F(CleanupSessionTests, UndecodableLinesAreLeftOut) {
    log.append(plain(noon, run, "/home/u/first"));
    log.flush();
    std::ofstream(log.fileURL(), std::ios::app) << "{\"not\":\"an entry\"}\nnot JSON at all\n";
    const auto sessions = sessionsOf({plain(noon + 1s, run, "/home/u/second")});
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(pathsOf(sessions[0]), (std::vector<std::string>{"/home/u/first", "/home/u/second"}));
}

TEST_F(CleanupSessionTests, ASessionSpanningARotationIsOneSessionInLogOrder) {
    OperationLog rotating(home.home() / "rotating/operations.log", true, false, 1);  // every line rotates
    // Written later but stamped earlier: the date comes from the stamps, the order from the log.
    rotating.append(plain(noon + 10s, run, "/home/u/first", Outcome::success, false, "clean"));
    rotating.append(plain(noon + 5s, run, "/home/u/second", Outcome::failed, false, "uninstall"));
    rotating.flush();
    ASSERT_NE(readFile(rotating.rotatedURL(1)).find("/home/u/first"), std::string::npos);
    ASSERT_NE(readFile(rotating.fileURL()).find("/home/u/second"), std::string::npos);

    const auto sessions = rotating.cleanupSessions(10);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(pathsOf(sessions[0]), (std::vector<std::string>{"/home/u/first", "/home/u/second"}));
    EXPECT_EQ(sessions[0].date(), noon + 5s);  // the failed entry's
    EXPECT_EQ(sessions[0].action(), "clean");  // the first entry's
}

TEST_F(CleanupSessionTests, SessionsComeLatestFirstAndTheLimitCounts) {
    const Uuid morning, evening, midday;
    const auto all = sessionsOf({
        plain(noon - 1h, morning, "/home/u/a"),
        plain(noon + 1h, evening, "/home/u/c"),
        plain(noon, midday, "/home/u/b"),
        plain(noon - 1h + 1s, morning, "/home/u/a2"),
    });
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].id(), evening);
    EXPECT_EQ(all[1].id(), midday);
    EXPECT_EQ(all[2].id(), morning);
    EXPECT_EQ(all[2].entries().size(), 2u);

    const auto latest = log.cleanupSessions(1);
    ASSERT_EQ(latest.size(), 1u);
    EXPECT_EQ(latest[0].id(), evening);
    EXPECT_EQ(log.cleanupSessions(3).size(), 3u);
    EXPECT_TRUE(log.cleanupSessions(0).empty());
    EXPECT_TRUE(log.cleanupSessions(-3).empty());
    EXPECT_EQ(log.cleanupSessions(OperationLog::unlimited).size(), 3u);
}

TEST_F(CleanupSessionTests, AnEmptySessionDatesFromTheDistantPastAndCleans) {
    const CleanupSession empty(run, {});
    EXPECT_EQ(empty.date(), platform::distantPast);
    EXPECT_LT(empty.date(), *platform::Iso8601::parse("1970-01-01T00:00:00Z"));
    EXPECT_EQ(empty.action(), "clean");
    EXPECT_TRUE(Recovery::preview(empty, deleter).empty());

    const CleanupSession one(run, {plain(noon, run, "/home/u/x", Outcome::skipped, false, "uninstall")});
    EXPECT_EQ(one.date(), noon);
    EXPECT_EQ(one.action(), "uninstall");
}

// MARK: Preview

TEST_F(CleanupSessionTests, PreviewGivesEachEntryTheFirstReasonThatApplies) {
    const auto free = home.home() / "Junk";
    const auto available = inTheTrash("available", free / "available");
    const auto emptied = inTheTrash("emptied", free / "emptied");
    std::filesystem::remove(trashFolder() / "emptied");
    const auto occupied = inTheTrash("occupied", free / "occupied");
    writeFile(free / "occupied", "new");
    const auto protectedPlace = inTheTrash("bin", "/usr/bin");
    const auto someTrash = trashFolder() / "available";

    const CleanupSession session(run, {
        plain(noon, run, "/home/u/rehearsed", Outcome::dryRun, true),
        // The flag alone decides, whatever the outcome says; a failure with a Trash path is still not removed.
        plain(noon, run, "/home/u/rehearsed-success", Outcome::success, true),
        Entry(noon, run, "clean", "/home/u/failed", 10, Mode::trash, Outcome::failed, false, "No longer exists.",
              someTrash.native(), inode(someTrash)),
        plain(noon, run, "/home/u/skipped", Outcome::skipped),
        plain(noon, run, "/home/u/removed", Outcome::success, false, "clean", Mode::permanent),
        trashed(noon, run, "/home/u/neither", std::nullopt, std::nullopt),
        trashed(noon, run, "/home/u/no-number", someTrash, std::nullopt),
        trashed(noon, run, "/home/u/no-path", std::nullopt, 42),
        emptied,
        occupied,
        protectedPlace,
        available,
    });
    const auto items = Recovery::preview(session, deleter);
    const std::string notRemoved(Recovery::notRemovedReason);
    const std::string noNumber(Recovery::noFileNumberReason);
    EXPECT_EQ(reasonsOf(items), (std::vector<std::optional<std::string>>{
                                    notRemoved,
                                    notRemoved,
                                    notRemoved,
                                    notRemoved,
                                    "Permanently removed \u2014 cannot be restored.",
                                    noNumber,
                                    noNumber,
                                    "A Trash location was not recorded. Check the Trash in Finder.",
                                    "This item is no longer in the Trash.",
                                    "Something else now exists at the original location.",
                                    "The original location is protected or excluded.",
                                    std::nullopt,
                                }));
    ASSERT_EQ(items.size(), session.entries().size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].id(), session.entries()[i].id());
        EXPECT_EQ(items[i].isAvailable(), !items[i].unavailableReason.has_value());
    }
    // Looking changes nothing.
    EXPECT_TRUE(std::filesystem::exists(someTrash));
    EXPECT_FALSE(std::filesystem::exists(free / "available"));
    EXPECT_EQ(readFile(free / "occupied"), "new");
}

TEST_F(CleanupSessionTests, AnotherFileUnderTheTrashedNameIsNotOffered) {
    auto entry = inTheTrash("report.pdf", home.home() / "Documents-old/report.pdf");
    std::filesystem::remove(trashFolder() / "report.pdf");
    writeFile(trashFolder() / "spacer", "keeps the old inode from being reused at once");
    writeFile(trashFolder() / "report.pdf", "a different file of the same name");
    ASSERT_NE(inode(trashFolder() / "report.pdf"), *entry.trashedFileNumber());
    const auto items = Recovery::preview(CleanupSession(run, {entry}), deleter);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].unavailableReason, "This item is no longer in the Trash.");
}

// MARK: Restore

TEST_F(CleanupSessionTests, RestoreReportsEachAttemptedItemInOrderAndGoesOnPastARefusal) {
    const auto refused = inTheTrash("refused", home.home() / "Junk/refused");
    const auto back = inTheTrash("back", home.home() / "Deleted/Folders/back");
    // Could go back, were it not logged as a failure: only the preview's verdict counts.
    auto failed = inTheTrash("failed", home.home() / "Junk/failed");
    failed = Entry(noon, run, "clean", failed.path(), 10, Mode::trash, Outcome::failed, false, "No longer exists.",
                   failed.trashedPath(), failed.trashedFileNumber());
    const CleanupSession session(run, {
        plain(noon, run, "/home/u/rehearsed", Outcome::dryRun, true),
        failed,
        refused,
        plain(noon, run, "/home/u/removed", Outcome::success, false, "clean", Mode::permanent),
        back,
    });
    const auto items = Recovery::preview(session, deleter);
    ASSERT_TRUE(items[2].isAvailable() && items[4].isAvailable());
    writeFile(home.home() / "Junk/refused", "appeared after the preview");

    const auto results = restore(items);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].id, refused.id());
    EXPECT_EQ(results[0].path, refused.path());
    EXPECT_FALSE(results[0].restored);
    EXPECT_EQ(results[0].message, "Something else now exists at the original location.");
    EXPECT_EQ(results[1].id, back.id());
    EXPECT_EQ(results[1].path, back.path());
    EXPECT_TRUE(results[1].restored);
    EXPECT_EQ(results[1].message, "Restored");

    EXPECT_EQ(readFile(home.home() / "Deleted/Folders/back"), "contents of back");  // its folders made anew
    EXPECT_FALSE(std::filesystem::exists(trashFolder() / "back"));
    EXPECT_EQ(readFile(trashFolder() / "refused"), "contents of refused");
    EXPECT_EQ(readFile(home.home() / "Junk/refused"), "appeared after the preview");
    EXPECT_TRUE(std::filesystem::exists(trashFolder() / "failed"));
    EXPECT_FALSE(std::filesystem::exists(home.home() / "Junk/failed"));

    // Only the put-back leaves an entry, under the run's session.
    const auto entries = log.retainedEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].action(), "putBack");
    EXPECT_EQ(entries[0].path(), back.path());
    EXPECT_EQ(entries[0].sessionID(), run);
}

TEST_F(CleanupSessionTests, AnItemWithoutTrashPathOrNumberIsNeverAttempted) {
    // Items are values a caller can make; availability alone does not let one through.
    const auto kept = inTheTrash("kept", home.home() / "Junk/kept");
    const auto withoutNumber = trashed(noon, run, kept.path(), std::filesystem::path(*kept.trashedPath()), std::nullopt);
    const auto withoutPath = trashed(noon, run, kept.path(), std::nullopt, kept.trashedFileNumber());
    const auto results = restore({Recovery::Item{withoutNumber, std::nullopt}, Recovery::Item{withoutPath, std::nullopt}});
    EXPECT_TRUE(results.empty());
    EXPECT_TRUE(std::filesystem::exists(*kept.trashedPath()));
}

TEST_F(CleanupSessionTests, AStopBeforeTheWalkPutsNothingBack) {
    const auto first = inTheTrash("first", home.home() / "Junk/first");
    const auto items = Recovery::preview(CleanupSession(run, {first}), deleter);
    std::stop_source source;
    source.request_stop();
    EXPECT_TRUE(restore(items, source.get_token()).empty());
    EXPECT_TRUE(std::filesystem::exists(*first.trashedPath()));
    log.flush();
    EXPECT_TRUE(log.retainedEntries().empty());
}

TEST_F(CleanupSessionTests, AStopDuringAPutBackFinishesThatItemOnly) {
    std::stop_source source;
    const StoppingFileManager stopping(source);
    const SafeFileDeleter stoppingDeleter(stopping, protection, log);
    const CleanupSession session(run, {inTheTrash("one", home.home() / "Junk/one"),
                                       inTheTrash("two", home.home() / "Junk/two"),
                                       inTheTrash("three", home.home() / "Junk/three")});
    const auto items = Recovery::preview(session, stoppingDeleter);
    const auto results = Recovery::restore(items, stoppingDeleter, source.get_token()).get();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].restored);
    EXPECT_EQ(readFile(home.home() / "Junk/one"), "contents of one");
    EXPECT_TRUE(std::filesystem::exists(trashFolder() / "two"));
    EXPECT_TRUE(std::filesystem::exists(trashFolder() / "three"));
}

// MARK: A whole run and its way back

TEST_F(CleanupSessionTests, ACleanupRunIsListedAndPutBackThroughTheEngine) {
    const auto junk = home.home() / "Junk";
    writeFile(junk / "a.txt", "alpha");
    writeFile(junk / "folder/b.txt", "beta");
    writeFile(trashFolder() / "old.txt", "already in the Trash");
    const std::vector<std::filesystem::path> urls{junk / "a.txt", junk / "folder", trashFolder() / "old.txt"};
    const auto plan = deleter.preview(urls, SafeFileDeleter::Category::trash);
    ASSERT_EQ(plan.items().size(), 3u);
    const auto result = deleter.execute(plan, SafeFileDeleter::Mode::trash, false, "clean", run, nullptr, nullptr);
    ASSERT_EQ(result.succeeded, 3);
    ASSERT_EQ(result.recoverable, 2);
    const Uuid rehearsal;
    (void)deleter.execute(plan, SafeFileDeleter::Mode::trash, true, "clean", rehearsal, nullptr, nullptr);
    log.flush();

    auto sessions = log.cleanupSessions(10);
    ASSERT_EQ(sessions.size(), 1u);  // the rehearsal is not a session
    EXPECT_EQ(sessions[0].id(), run);
    EXPECT_EQ(pathsOf(sessions[0]), (std::vector<std::string>{urls[0], urls[1], urls[2]}));
    auto items = Recovery::preview(sessions[0], deleter);
    EXPECT_EQ(reasonsOf(items), (std::vector<std::optional<std::string>>{
                                    std::nullopt, std::nullopt, "Permanently removed \u2014 cannot be restored."}));

    std::filesystem::remove_all(junk);  // the folders go too: putting back makes them again
    const auto results = restore(items);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_TRUE(results[0].restored && results[1].restored);
    EXPECT_EQ(readFile(junk / "a.txt"), "alpha");
    EXPECT_EQ(readFile(junk / "folder/b.txt"), "beta");
    log.flush();

    // The put-backs leave the session as it was, and a second look finds the items gone from the Trash.
    sessions = log.cleanupSessions(10);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].entries().size(), 3u);
    items = Recovery::preview(sessions[0], deleter);
    EXPECT_EQ(items[0].unavailableReason, "This item is no longer in the Trash.");
    EXPECT_EQ(items[1].unavailableReason, "This item is no longer in the Trash.");
    EXPECT_TRUE(restore(items).empty());
}

// MARK: Names that are not UTF-8

TEST_F(CleanupSessionTests, AnItemWhoseNameIsNotUtf8IsNeitherOfferedNorMisplaced) {
    const auto junk = home.home() / "Junk";
    const std::string latin1Name = "caf\xE9.txt";       // a name from an old Latin-1 archive
    const std::string latin1Folder = "d\xE9j\xE0";     // a folder of such names
    writeFile(junk / latin1Name, "file");
    writeFile(junk / latin1Folder / "inside.txt", "inside");
    // A folder whose real name is what the log writes for the Latin-1 one.
    std::filesystem::create_directories(junk / "d\uFFFDj\uFFFD");
    const std::vector<std::filesystem::path> urls{junk / latin1Name, junk / latin1Folder / "inside.txt"};
    const auto plan = deleter.preview(urls, SafeFileDeleter::Category::cache);
    ASSERT_EQ(plan.items().size(), 2u);
    ASSERT_EQ(deleter.execute(plan, SafeFileDeleter::Mode::trash, false, "clean", run, nullptr, nullptr).succeeded, 2);
    log.flush();

    const auto sessions = log.cleanupSessions(1);
    ASSERT_EQ(sessions.size(), 1u);
    ASSERT_EQ(sessions[0].entries().size(), 2u);
    EXPECT_EQ(sessions[0].entries()[0].path(), (junk / "caf\uFFFD.txt").native());
    EXPECT_EQ(sessions[0].entries()[1].path(), (junk / "d\uFFFDj\uFFFD" / "inside.txt").native());
    // The first cannot be found by its logged Trash name; the second can, but putting it back by
    // its logged path would drop it into the other folder.
    const auto items = Recovery::preview(sessions[0], deleter);
    const std::optional<std::string> inexact(Recovery::inexactNameReason);
    EXPECT_EQ(reasonsOf(items), (std::vector<std::optional<std::string>>{inexact, inexact}));

    EXPECT_TRUE(restore(items).empty());
    EXPECT_EQ(readFile(trashFolder() / latin1Name), "file");
    EXPECT_EQ(readFile(trashFolder() / "inside.txt"), "inside");
    EXPECT_TRUE(std::filesystem::is_empty(junk / "d\uFFFDj\uFFFD"));
}

TEST_F(CleanupSessionTests, AProtectedPlaceIsReportedAsSuchWhateverItsSpelling) {
    // A protected place says so, whatever the name.
    const auto entry = trashed(noon, run, "/usr/share/caf\uFFFD", trashFolder() / "caf\uFFFD", 7);
    const auto items = Recovery::preview(CleanupSession(run, {entry}), deleter);
    EXPECT_EQ(items[0].unavailableReason, "The original location is protected or excluded.");
}

}  // namespace
}  // namespace vornelo

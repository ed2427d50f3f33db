#include "Core/CleanupSession.h"

#include "Support/CoreScenario.h"
#include "Support/DeleterHarness.h"
#include "Support/LogLines.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>

#include <sys/wait.h>
#include <unistd.h>

namespace vornelo {
namespace {

using Entry = OperationLog::Entry;
using Mode = OperationLog::Mode;
using Outcome = OperationLog::Outcome;
using Recovery = CleanupRecovery;
using Reasons = std::vector<std::optional<std::string>>;
using test::inodeOf;
using test::noon;
using test::readFile;
using test::writeFile;
using namespace std::chrono_literals;

const std::string notInTrash = "This item is no longer in the Trash.";
const std::string occupied = "Something else now exists at the original location.";
const std::string permanentlyRemoved(Recovery::permanentReason);

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

// The same entry logged as a failure: whatever it says about the Trash, it was not removed.
Entry asFailure(const Entry& entry) {
    return Entry(entry.timestamp(), entry.sessionID(), entry.action(), entry.path(), 10, Mode::trash, Outcome::failed,
                 false, "No longer exists.", entry.trashedPath(), entry.trashedFileNumber());
}

std::vector<std::string> pathsOf(const CleanupSession& session) {
    return test::mapped(session.entries(), [](const Entry& entry) { return entry.path(); });
}

Reasons reasonsOf(const std::vector<Recovery::Item>& items) {
    return test::mapped(items, [](const Recovery::Item& item) { return item.unavailableReason; });
}

using Outcomes = std::vector<std::tuple<std::string, std::string, bool, std::string>>;
Outcomes outcomesOf(const std::vector<Recovery::Result>& results) {
    return test::mapped(results, [](const auto& result) { return std::tuple(result.id, result.path, result.restored, result.message); });
}

// Asks the walk to stop once it has put an item back: a stop that arrives during a put-back.
class StoppingFileManager : public platform::FileManager {
public:
    explicit StoppingFileManager(std::stop_source& source) : source_(source) {}
    std::expected<void, platform::FileError> moveHeldItem(const platform::HeldItem& item,
                                                          const platform::HeldFolder& destination,
                                                          const std::string& name, std::stop_token stop) const override {
        auto moved = FileManager::moveHeldItem(item, destination, name, stop);
        source_.request_stop();
        return moved;
    }

private:
    std::stop_source& source_;
};

class CleanupSessionTests : public ::testing::Test {
protected:
    std::filesystem::path trashFolder() const { return home.home() / ".local/share/Trash/files"; }

    // A file that looks as if a run had moved `name` from `original` into the Trash.
    Entry inTheTrash(const std::string& name, const std::filesystem::path& original, platform::TimePoint at = noon) {
        const auto where = trashFolder() / name;
        writeFile(where, "contents of " + name);
        return trashed(at, run, original, where, inodeOf(where));
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

TEST_F(CleanupSessionTests, OnlyDecodableRealOperationsOnAPathFormSessions) {
    log.append(plain(noon, run, "/home/u/trashed"));
    log.flush();
    std::ofstream(log.fileURL(), std::ios::app) << "{\"not\":\"an entry\"}\nnot JSON at all\n";
    const Uuid rehearsalOnly;
    const auto sessions = sessionsOf({
        plain(noon, std::nullopt, "/home/u/no-session"),
        plain(noon, rehearsalOnly, "/home/u/rehearsed", Outcome::dryRun, true),
        plain(noon, rehearsalOnly, "/home/u/restored", Outcome::success, false, "putBack"),
        plain(noon, rehearsalOnly, ""),
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
    // Dated by the failed entry, named by the first.
    EXPECT_EQ(std::tuple(pathsOf(sessions[0]), sessions[0].date(), sessions[0].action()),
              std::tuple(std::vector<std::string>{"/home/u/first", "/home/u/second"}, noon + 5s, "clean"));
}

TEST_F(CleanupSessionTests, SessionsComeLatestFirstAndTheLimitCounts) {
    // Two runs in the same second as the evening one, logged after it: the log's order decides.
    const Uuid morning, evening, midday, quickFirst, quickSecond;
    const auto all = sessionsOf({
        plain(noon - 1h, morning, "/home/u/a"),
        plain(noon + 1h, evening, "/home/u/c"),
        plain(noon + 1h, quickFirst, "/home/u/d"),
        plain(noon, midday, "/home/u/b"),
        plain(noon + 1h, quickSecond, "/home/u/e"),
        plain(noon - 1h + 1s, morning, "/home/u/a2"),
    });
    std::vector<Uuid> ids;
    for (const auto& session : all) ids.push_back(session.id());
    EXPECT_EQ(ids, (std::vector<Uuid>{quickSecond, quickFirst, evening, midday, morning}));
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[4].entries().size(), 2u);

    const auto latest = log.cleanupSessions(1);
    ASSERT_EQ(latest.size(), 1u);
    EXPECT_EQ(std::tuple(latest[0].id(), log.cleanupSessions(0).size(), log.cleanupSessions(-3).size(),
                         log.cleanupSessions(OperationLog::unlimited).size()),
              std::tuple(quickSecond, 0u, 0u, 5u));

    // An empty session dates from the distant past and cleans.
    const CleanupSession empty(run, {});
    EXPECT_EQ(std::tuple(empty.date(), empty.action()), std::tuple(platform::distantPast, "clean"));
    EXPECT_TRUE(Recovery::preview(empty, deleter).empty());
    const CleanupSession one(run, {plain(noon, run, "/home/u/x", Outcome::skipped, false, "uninstall")});
    EXPECT_EQ(std::tuple(one.date(), one.action()), std::tuple(noon, "uninstall"));
}

// MARK: Preview

TEST_F(CleanupSessionTests, PreviewGivesEachEntryTheFirstReasonThatApplies) {
    const auto free = home.home() / "Junk";
    const auto available = inTheTrash("available", free / "available");
    const auto emptied = inTheTrash("emptied", free / "emptied");
    std::filesystem::remove(trashFolder() / "emptied");
    const auto replaced = inTheTrash("replaced", free / "replaced");
    std::filesystem::remove(trashFolder() / "replaced");
    writeFile(trashFolder() / "spacer", "keeps the old inode from being reused at once");
    writeFile(trashFolder() / "replaced", "a different file of the same name");
    ASSERT_NE(inodeOf(trashFolder() / "replaced"), *replaced.trashedFileNumber());
    const auto taken = inTheTrash("occupied", free / "occupied");
    writeFile(free / "occupied", "new");
    const auto someTrash = trashFolder() / "available";

    const CleanupSession session(run, {
        plain(noon, run, "/home/u/rehearsed", Outcome::dryRun, true),
        // The flag alone decides, whatever the outcome says; a failure with a Trash path is still not removed.
        plain(noon, run, "/home/u/rehearsed-success", Outcome::success, true),
        asFailure(trashed(noon, run, "/home/u/failed", someTrash, inodeOf(someTrash))),
        plain(noon, run, "/home/u/skipped", Outcome::skipped),
        plain(noon, run, "/home/u/removed", Outcome::success, false, "clean", Mode::permanent),
        trashed(noon, run, "/home/u/neither", std::nullopt, std::nullopt),
        trashed(noon, run, "/home/u/no-number", someTrash, std::nullopt),
        trashed(noon, run, "/home/u/no-path", std::nullopt, 42),
        emptied,
        replaced,
        taken,
        // Protected, whatever the spelling, and said before anything about the Trash.
        trashed(noon, run, "/usr/share/caf\uFFFD", trashFolder() / "caf\uFFFD", 7),
        available,
    });
    const auto items = Recovery::preview(session, deleter);
    const std::string notRemoved(Recovery::notRemovedReason);
    const std::string noNumber(Recovery::noFileNumberReason);
    EXPECT_EQ(reasonsOf(items), (Reasons{notRemoved, notRemoved, notRemoved, notRemoved, permanentlyRemoved, noNumber,
                                         noNumber, std::string(Recovery::noTrashedPathReason), notInTrash, notInTrash,
                                         occupied, "The original location is protected or excluded.", std::nullopt}));
    ASSERT_EQ(items.size(), session.entries().size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(std::tuple(items[i].id(), items[i].isAvailable()), std::tuple(session.entries()[i].id(), !items[i].unavailableReason));
    }
    // Looking changes nothing.
    EXPECT_TRUE(std::filesystem::exists(someTrash));
    EXPECT_FALSE(std::filesystem::exists(free / "available"));
    EXPECT_EQ(readFile(free / "occupied"), "new");
}

// MARK: Restore

TEST_F(CleanupSessionTests, RestoreReportsEachAttemptedItemInOrderAndGoesOnPastARefusal) {
    const auto refused = inTheTrash("refused", home.home() / "Junk/refused");
    const auto back = inTheTrash("back", home.home() / "Deleted/Folders/back");
    // Could go back, were it not logged as a failure: only the preview's verdict counts.
    const auto failed = asFailure(inTheTrash("failed", home.home() / "Junk/failed"));
    const CleanupSession session(run, {
        plain(noon, run, "/home/u/rehearsed", Outcome::dryRun, true),
        failed,
        refused,
        plain(noon, run, "/home/u/removed", Outcome::success, false, "clean", Mode::permanent),
        back,
    });
    auto items = Recovery::preview(session, deleter);
    ASSERT_TRUE(items[2].isAvailable() && items[4].isAvailable());
    writeFile(home.home() / "Junk/refused", "appeared after the preview");
    // Items are values a caller can make; availability alone does not let one without a Trash path
    // or file number through.
    const auto kept = inTheTrash("kept", home.home() / "Junk/kept");
    items.push_back({trashed(noon, run, kept.path(), std::filesystem::path(*kept.trashedPath()), std::nullopt), {}});
    items.push_back({trashed(noon, run, kept.path(), std::nullopt, kept.trashedFileNumber()), {}});

    // Last in, first back.
    EXPECT_EQ(outcomesOf(restore(items)), (Outcomes{{back.id(), back.path(), true, "Restored"},
                                                    {refused.id(), refused.path(), false, occupied}}));
    EXPECT_EQ(readFile(home.home() / "Deleted/Folders/back"), "contents of back");  // its folders made anew
    EXPECT_FALSE(std::filesystem::exists(trashFolder() / "back"));
    EXPECT_EQ(readFile(trashFolder() / "refused"), "contents of refused");
    EXPECT_EQ(readFile(home.home() / "Junk/refused"), "appeared after the preview");
    EXPECT_TRUE(std::filesystem::exists(trashFolder() / "failed"));
    EXPECT_TRUE(std::filesystem::exists(trashFolder() / "kept"));

    // Only the put-back leaves an entry, under the run's session.
    const auto entries = log.retainedEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(std::tuple(entries[0].action(), entries[0].path(), entries[0].sessionID()), std::tuple("putBack", back.path(), run));
}

TEST_F(CleanupSessionTests, ATrashPathUsedAgainByALaterRunIsNotOfferedForTheEarlierOne) {
    // The first run's item was emptied from the Trash; a later run's item got its name and, as
    // file systems may, its file number.
    const auto later = inTheTrash("report", home.home() / "other/report", noon + 1h);
    const Uuid first;
    const auto earlier = trashed(noon, first, home.home() / "report", *later.trashedPath(), later.trashedFileNumber());
    const auto sessions = sessionsOf({earlier, later});
    ASSERT_EQ(sessions.size(), 2u);
    ASSERT_EQ(sessions[1].id(), first);
    EXPECT_EQ(reasonsOf(Recovery::preview(sessions[1], deleter)), (Reasons{std::string(Recovery::slotReusedReason)}));
    EXPECT_EQ(reasonsOf(Recovery::preview(sessions[0], deleter)), (Reasons{std::nullopt}));

    EXPECT_TRUE(restore(Recovery::preview(sessions[1], deleter)).empty());
    EXPECT_FALSE(std::filesystem::exists(home.home() / "report"));
    EXPECT_EQ(readFile(trashFolder() / "report"), "contents of report");
}

TEST_F(CleanupSessionTests, AFolderComesBackBeforeWhatWasInsideIt) {
    // As a run logged them: the inner folder went first, then the rest of its parent.
    writeFile(trashFolder() / "y/f", "in y");
    writeFile(trashFolder() / "x/g", "in x");
    const auto x = home.home() / "x";
    const CleanupSession session(run, {trashed(noon, run, x / "y", trashFolder() / "y", inodeOf(trashFolder() / "y")),
                                       trashed(noon, run, x, trashFolder() / "x", inodeOf(trashFolder() / "x"))});
    const auto results = restore(Recovery::preview(session, deleter));
    EXPECT_EQ(outcomesOf(results), (Outcomes{{session.entries()[1].id(), x.native(), true, "Restored"},
                                             {session.entries()[0].id(), (x / "y").native(), true, "Restored"}}));
    EXPECT_EQ(readFile(x / "g"), "in x");
    EXPECT_EQ(readFile(x / "y/f"), "in y");
}

TEST_F(CleanupSessionTests, AStopEndsTheWalkBeforeTheNextItem) {
    std::stop_source source;
    const StoppingFileManager stopping(source);
    const SafeFileDeleter stoppingDeleter(stopping, protection, log);
    const CleanupSession session(run, {inTheTrash("one", home.home() / "Junk/one"),
                                       inTheTrash("two", home.home() / "Junk/two"),
                                       inTheTrash("three", home.home() / "Junk/three")});
    const auto items = Recovery::preview(session, stoppingDeleter);

    std::stop_source before;
    before.request_stop();
    EXPECT_TRUE(restore(items, before.get_token()).empty());
    log.flush();
    EXPECT_TRUE(log.retainedEntries().empty());

    // Asked during the first put-back (of the last item): that one is finished, the others stay.
    const auto results = Recovery::restore(items, stoppingDeleter, source.get_token()).get();
    EXPECT_EQ(outcomesOf(results), (Outcomes{{items[2].id(), (home.home() / "Junk/three").native(), true, "Restored"}}));
    EXPECT_EQ(readFile(home.home() / "Junk/three"), "contents of three");
    EXPECT_TRUE(std::filesystem::exists(trashFolder() / "two"));
}

// MARK: A run through the engine

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
    ASSERT_EQ(deleter.execute(plan, SafeFileDeleter::Mode::trash, false, "clean", run, nullptr, nullptr).succeeded, 2);
    log.flush();

    // Logged with replacement characters, a chain that still verifies, and the real file numbers.
    EXPECT_TRUE(log.verifyChain().isIntact());
    EXPECT_EQ(log.retainedEntries().at(0).trashedFileNumber(), inodeOf(trashFolder() / latin1Name));
    const auto sessions = log.cleanupSessions(1);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(pathsOf(sessions[0]), (std::vector<std::string>{(junk / "caf\uFFFD.txt").native(),
                                                              (junk / "d\uFFFDj\uFFFD" / "inside.txt").native()}));
    // The first cannot be found by its logged Trash name; the second can, but putting it back by
    // its logged path would drop it into the other folder.
    const auto items = Recovery::preview(sessions[0], deleter);
    const std::optional<std::string> inexact(Recovery::inexactNameReason);
    EXPECT_EQ(reasonsOf(items), (Reasons{inexact, inexact}));

    EXPECT_TRUE(restore(items).empty());
    EXPECT_EQ(readFile(trashFolder() / latin1Name), "file");
    EXPECT_EQ(readFile(trashFolder() / "inside.txt"), "inside");
    EXPECT_TRUE(std::filesystem::is_empty(junk / "d\uFFFDj\uFFFD"));
}

// A run read while another process appends to it and rotates the log: every read shows a whole
// stretch of the run, newest lines kept in order, none twice and none missing in the middle.
TEST(CleanupSessionReadingTests, ARunReadWhileAnotherProcessRotatesTheLogHasNoGapsOrRepeats) {
    test::TempDirectory folder;
    const auto path = folder / "operations.log";
    constexpr std::int64_t threshold = 2'000;  // a rotation every dozen lines or so
    const Uuid run;
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        OperationLog log(path, true, false, threshold);
        for (int number = 0; number < 600; ++number) {
            log.append(plain(noon, run, "/Users/x/file-" + std::to_string(number)));
            if (!log.flush()) ::_exit(1);
        }
        ::_exit(0);
    }
    int reads = 0;
    int status = 0;
    while (::waitpid(writer, &status, WNOHANG) == 0) {
        const OperationLog log(path, true, false, threshold);
        const auto sessions = log.cleanupSessions(OperationLog::unlimited);
        if (sessions.empty()) continue;
        ++reads;
        const auto& entries = sessions.front().entries();
        const auto numberOf = [](const Entry& entry) { return std::stoi(entry.path().substr(std::string_view("/Users/x/file-").size())); };
        for (std::size_t index = 1; index < entries.size(); ++index) {
            ASSERT_EQ(numberOf(entries[index]), numberOf(entries[index - 1]) + 1) << "read " << reads << ", entry " << index;
        }
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GT(reads, 10);
}

}  // namespace
}  // namespace vornelo

#include "Core/OperationLog.h"

#include "Core/AppStorageKeys.h"
#include "Support/ChildProcess.h"
#include "Support/LogCapture.h"
#include "Support/LogLines.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace vornelo {
namespace {

using Mode = OperationLog::Mode;
using Totals = OperationLog::Totals;
using test::entryNumber;
using test::linesOf;
using test::readFile;
using test::TempDirectory;
using test::writeFile;
using namespace std::chrono_literals;

std::optional<std::string> prevHashOf(const std::string& line) { return OperationLog::decodeLine(line)->prevHash(); }

std::optional<Totals> totalsFileOf(const OperationLog& log) { return Totals::decode(readFile(log.totalsURL())); }

TEST(OperationLogStoreTests, FilesSitBesideTheLogUnderItsStem) {
    const OperationLog log(std::filesystem::path("/var/tmp/x/operations.log"), true);
    EXPECT_EQ(log.totalsURL(), "/var/tmp/x/operations.totals.json");
    EXPECT_EQ(log.rotatedURL(1), "/var/tmp/x/operations.1.log");
    EXPECT_EQ(log.rotatedURL(5), "/var/tmp/x/operations.5.log");
    const OperationLog bare(std::filesystem::path("/var/tmp/x/journal"), true);
    EXPECT_EQ(bare.totalsURL(), "/var/tmp/x/journal.totals.json");
    EXPECT_EQ(bare.rotatedURL(2), "/var/tmp/x/journal.2.log");
    EXPECT_FALSE(std::filesystem::exists("/var/tmp/x"));  // construction touches nothing
}

TEST(OperationLogStoreTests, WritesExactLinesChainedByTheHashOfTheLineBefore) {
    TempDirectory folder;
    OperationLog log(folder / "deep" / "folders" / "operations.log", true);
    log.append(entryNumber(1));
    log.append(entryNumber(2, Mode::permanent));
    log.flush();
    const auto text = readFile(log.fileURL());
    const auto first = *OperationLog::encodeLine(entryNumber(1));
    ASSERT_EQ(text.substr(0, first.size() + 1), first + "\n");  // no prevHash on the very first line
    const auto lines = linesOf(log.fileURL());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(text.size(), lines[0].size() + lines[1].size() + 2);
    EXPECT_EQ(prevHashOf(lines[1]), OperationLog::hash(lines[0]));
    EXPECT_NE(lines[1].find(R"("prevHash":")" + OperationLog::hash(lines[0]) + R"(","sizeBytes")"), std::string::npos);
    EXPECT_EQ(totalsFileOf(log), Totals(10, 2, OperationLog::hash(lines[1]), 10, 0));
}

TEST(OperationLogStoreTests, AppendsFromManyThreadsAllArriveWholeInOneVerifiableChain) {
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true, false, 40'000);
    constexpr int threads = 6;
    constexpr int perThread = 150;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&log, t] {
            for (int i = 0; i < perThread; ++i) log.append(entryNumber(t * 1000 + i));
        });
    }
    for (auto& writer : writers) writer.join();
    log.flush();
    const auto entries = log.retainedEntries();
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(threads * perThread));
    std::vector<int> next(threads, 0);  // each thread's entries in the order it appended them
    for (const auto& entry : entries) {
        const int number = std::stoi(entry.path().substr(entry.path().rfind('-') + 1));
        EXPECT_EQ(number % 1000, next[static_cast<std::size_t>(number / 1000)]++);
    }
    EXPECT_TRUE(log.verifyChain().isIntact());
    EXPECT_EQ(log.totals().operations, threads * perThread);
    EXPECT_TRUE(std::filesystem::exists(log.rotatedURL(1)));  // the chain crossed rotations
}

TEST(OperationLogStoreTests, RotatesOnceTheFileReachesTheThresholdAndChainsAcrossIt) {
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true, false, 200);
    log.append(entryNumber(1));
    log.append(entryNumber(2));
    log.flush();
    EXPECT_FALSE(std::filesystem::exists(log.rotatedURL(1)));  // about 150 bytes: under the threshold
    ASSERT_GE(std::filesystem::file_size(log.fileURL()), 200u);
    const auto before = linesOf(log.fileURL());
    log.append(entryNumber(3));
    log.flush();
    EXPECT_EQ(linesOf(log.rotatedURL(1)), before);
    const auto current = linesOf(log.fileURL());
    ASSERT_EQ(current.size(), 1u);
    EXPECT_EQ(prevHashOf(current[0]), OperationLog::hash(before.back()));
}

TEST(OperationLogStoreTests, KeepsFiveRotatedFilesWhileTheTotalsKeepCountingEverything) {
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true, false, 1);  // every line rotates the one before
    for (int i = 1; i <= 8; ++i) log.append(entryNumber(i, i % 2 ? Mode::trash : Mode::permanent));
    log.flush();
    EXPECT_FALSE(std::filesystem::exists(folder / "operations.6.log"));
    for (int number = 1; number <= 5; ++number) {
        const auto lines = linesOf(log.rotatedURL(number));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(OperationLog::decodeLine(lines[0])->path(), "/Users/x/file-" + std::to_string(8 - number));
    }
    EXPECT_EQ(log.retainedEntries().size(), 6u);
    EXPECT_EQ(log.totals(), Totals(40, 8, OperationLog::hash(linesOf(log.fileURL())[0]), 40, 0));
    EXPECT_TRUE(log.verifyChain().isIntact());
}

TEST(OperationLogStoreTests, DeletedTotalsAreRebuiltFromTheRetainedLinesPlusTheNewEntry) {
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true, false, 1);
    for (int i = 1; i <= 8; ++i) log.append(entryNumber(i, Mode::permanent));
    log.flush();
    std::filesystem::remove(log.totalsURL());
    // Read-only rebuild: the six retained lines, and no file is written.
    EXPECT_EQ(log.totals(), Totals(60, 6, OperationLog::hash(linesOf(log.fileURL()).back()), 0, 0));
    EXPECT_FALSE(std::filesystem::exists(log.totalsURL()));
    log.append(entryNumber(9, Mode::trash, 5));
    log.flush();
    const auto last = linesOf(log.fileURL()).back();
    // Rebuilt from the six lines retained when the file was found missing, then the new one.
    EXPECT_EQ(totalsFileOf(log), Totals(60, 7, OperationLog::hash(last), 5, 0));
}

TEST(OperationLogStoreTests, UnreadableTotalsAreRebuiltSkippingUndecodableLines) {
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true);
    log.append(entryNumber(1, Mode::permanent));
    log.flush();
    writeFile(log.totalsURL(), "{\"operations\":");
    std::ofstream(log.fileURL(), std::ios::app) << "garbage line\n";
    log.append(entryNumber(2, Mode::permanent));
    log.flush();
    EXPECT_EQ(totalsFileOf(log)->operations, 2);
    EXPECT_EQ(totalsFileOf(log)->freedBytes, 20);
}

TEST(OperationLogStoreTests, EarlierAccountingTotalsAreConvertedOnTheNextWrite) {
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true);
    std::filesystem::create_directories(folder.path());
    writeFile(log.totalsURL(), R"({"operations":3,"freedBytes":500,"trashedBytes":99})");
    log.append(entryNumber(1, Mode::permanent, 7));
    log.flush();
    const auto text = readFile(log.totalsURL());
    EXPECT_NE(text.find("\"accountingVersion\":2"), std::string::npos);
    EXPECT_EQ(Totals::decode(text), Totals(7, 4, OperationLog::hash(linesOf(log.fileURL())[0]), 0, 500));
}

TEST(OperationLogStoreTests, TotalsLeftBehindByACrashMidBurstCatchUpAndDoNotLookTruncated) {
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true, false, 400);
    for (int i = 1; i <= 2; ++i) log.append(entryNumber(i, Mode::permanent));
    log.flush();
    // What the next burst stores before its first line: the sums so far, announcing more lines.
    auto lagging = *totalsFileOf(log);
    lagging.pendingLines = true;
    // The rest of the burst, across a rotation, whose totals a crash kept from the disk.
    for (int i = 3; i <= 6; ++i) log.append(entryNumber(i, Mode::permanent));
    log.flush();
    ASSERT_TRUE(std::filesystem::exists(log.rotatedURL(1)));
    writeFile(log.totalsURL(), lagging.encoded());

    OperationLog reopened(log.fileURL(), true, false, 400);
    const auto status = reopened.verifyChain();
    EXPECT_TRUE(status.isIntact());
    EXPECT_EQ(status.pendingLines, 4);
    EXPECT_EQ(reopened.totals(), Totals(60, 6, OperationLog::hash(linesOf(log.fileURL()).back()), 0, 0));
    reopened.append(entryNumber(7, Mode::permanent));
    reopened.flush();
    EXPECT_EQ(totalsFileOf(reopened), Totals(70, 7, OperationLog::hash(linesOf(log.fileURL()).back()), 0, 0));

    // Totals naming a line that is gone cannot be caught up; they keep counting from where they were.
    writeFile(log.totalsURL(), R"({"operations":1,"freedBytes":10,"lastHash":")" + std::string(64, 'a') +
                                   R"(","accountingVersion":2})");
    EXPECT_TRUE(reopened.verifyChain().truncated);
    reopened.append(entryNumber(8, Mode::permanent));
    reopened.flush();
    EXPECT_EQ(totalsFileOf(reopened)->operations, 2);
}

TEST(OperationLogStoreTests, ALineNoWriterAnnouncedIsReportedAndNeverCounted) {
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true);
    for (int i = 1; i <= 2; ++i) log.append(entryNumber(i, Mode::permanent));
    log.flush();
    // A correctly chained line added by hand after the line the totals count.
    const auto last = linesOf(log.fileURL()).back();
    auto forged = *OperationLog::encodeLine(entryNumber(3, Mode::permanent, 1'000'000));
    forged.insert(forged.find(",\"sizeBytes\""), ",\"prevHash\":\"" + OperationLog::hash(last) + "\"");
    std::ofstream(log.fileURL(), std::ios::app) << forged << '\n';
    const auto before = readFile(log.totalsURL());

    const OperationLog fresh(log.fileURL(), true);
    for (const OperationLog* reader : std::initializer_list<const OperationLog*>{&log, &fresh}) {
        const auto status = reader->verifyChain();
        EXPECT_EQ(status.unaccountedLines, 1);
        EXPECT_FALSE(status.isIntact());
        EXPECT_EQ(reader->totals().freedBytes, 20);
    }
    EXPECT_EQ(readFile(log.totalsURL()), before);  // verification changes no file

    // The next line is counted, the forged one is not, and it stays visible as a break.
    log.append(entryNumber(4, Mode::permanent));
    log.flush();
    EXPECT_EQ(totalsFileOf(log), Totals(30, 3, OperationLog::hash(linesOf(log.fileURL()).back()), 0, 0));
    EXPECT_EQ(OperationLog(log.fileURL(), true).verifyChain().firstBrokenLine, 4);
}

TEST(OperationLogStoreTests, TotalsThatCannotTakeAnotherLineAreRebuiltFromTheRetainedLines) {
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true);
    log.append(entryNumber(1, Mode::permanent));
    log.flush();
    // Counts at the top of the range: without a last line, and naming the true last line.
    for (const bool naming : {false, true}) {
        const auto named = OperationLog::hash(linesOf(log.fileURL()).back());
        writeFile(log.totalsURL(), naming ? R"({"operations":1,"accountingVersion":2,"freedBytes":9223372036854775800,"lastHash":")" + named + "\"}"
                                          : std::string(R"({"operations":9223372036854775807})"));
        OperationLog other(log.fileURL(), true);
        other.append(entryNumber(2, Mode::permanent));
        EXPECT_TRUE(other.flush());
        const auto lines = linesOf(log.fileURL());
        EXPECT_EQ(totalsFileOf(other), Totals(10 * static_cast<std::int64_t>(lines.size()),
                                               static_cast<std::int64_t>(lines.size()), OperationLog::hash(lines.back()), 0, 0));
    }
}

TEST(OperationLogStoreTests, ALineCutShortByACrashStaysItsOwnBrokenLine) {
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true);
    log.append(entryNumber(1));
    log.append(entryNumber(2));
    log.flush();
    // What a crash in the middle of the second write would leave: its first half, no line feed.
    auto lines = linesOf(log.fileURL());
    writeFile(log.fileURL(), lines[0] + "\n" + lines[1].substr(0, lines[1].size() / 2));
    OperationLog reopened(log.fileURL(), true);
    EXPECT_EQ(reopened.verifyChain().firstBrokenLine, 2);
    reopened.append(entryNumber(3));
    reopened.flush();
    lines = linesOf(log.fileURL());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(OperationLog::decodeLine(lines[2]));  // the new line was not glued to the fragment
    EXPECT_EQ(reopened.verifyChain().firstBrokenLine, 2);
    EXPECT_EQ(reopened.recent(5).size(), 2u);
}

TEST(OperationLogStoreTests, AProcessKilledWhileWritingLeavesAVerifiableLogAndWholeTotals) {
    TempDirectory folder;
    const auto path = folder / "operations.log";
    const auto totalsPath = OperationLog(path, true).totalsURL();
    for (int round = 0; round < 3; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            OperationLog log(path, true, false, 40'000);
            for (int i = 0;; ++i) {
                log.append(entryNumber(i));
                if (i % 50 == 0) log.flush();
            }
        }
        // Killed once it has flushed at least once (a slow machine may need a while for that),
        // then at a different moment of its writing in every round.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::error_code missing;
        while ((!std::filesystem::exists(totalsPath) || std::filesystem::file_size(path, missing) == 0) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + 70 * round));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));

        OperationLog log(path, true, false, 40'000);
        const auto chain = log.verifyChain();
        const auto lines = linesOf(path);
        // Killed between moving a full log away and starting the next, the current log is missing.
        if (lines.empty()) {
            EXPECT_TRUE(std::filesystem::exists(log.rotatedURL(1))) << "round " << round;
        }
        if (chain.firstBrokenLine) {
            // Only the line being written at the kill may be damaged.
            EXPECT_EQ(*chain.firstBrokenLine, static_cast<std::int64_t>(lines.size())) << "round " << round;
        }
        const auto totals = totalsFileOf(log);
        ASSERT_TRUE(totals) << readFile(log.totalsURL());
        EXPECT_GT(totals->operations, 0);
    }
}

TEST(OperationLogStoreTests, AFailedWriteIsReportedToTheFlushAndChangesNothingElse) {
    // A folder, a FIFO and a link where the file should be: none is written through.
    const std::function<void(const std::filesystem::path&)> planted[] = {
        [](const auto& path) { std::filesystem::create_directories(path); },
        [](const auto& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
        [](const auto& path) { std::filesystem::create_symlink(path.parent_path() / "elsewhere", path); },
    };
    for (const auto& plant : planted) {
        TempDirectory folder;
        OperationLog log(folder / "operations.log", true);
        plant(log.fileURL());
        test::LogCapture capture;
        log.append(entryNumber(1));
        EXPECT_FALSE(log.flush());
        const auto records = capture.records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, platform::LogLevel::error);
        EXPECT_TRUE(records[0].message.starts_with("operation log write failed: ")) << records[0].message;
        EXPECT_FALSE(std::filesystem::exists(log.totalsURL()));
        EXPECT_FALSE(std::filesystem::exists(folder / "elsewhere"));
        // Once the path is free again the next line is written, and the failure is not reported twice.
        std::filesystem::remove(log.fileURL());
        log.append(entryNumber(2));
        EXPECT_TRUE(log.flush());
        EXPECT_EQ(linesOf(log.fileURL()).size(), 1u);
    }
}

// Real processes, started together, each with an instance of its own.
TEST(OperationLogStoreTests, EightProcessesAppendingAtOnceGiveOneChainAndExactTotalsAcrossRotations) {
    TempDirectory folder;
    const auto path = folder / "operations.log";
    constexpr int writers = 8;
    constexpr int each = 150;
    constexpr std::int64_t threshold = 60'000;  // about three rotations, all of them retained
    const auto start = std::chrono::steady_clock::now() + 300ms;
    std::vector<pid_t> children;
    for (int writer = 0; writer < writers; ++writer) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child != 0) {
            children.push_back(child);
            continue;
        }
        bool written = true;
        {
            OperationLog log(path, true, false, threshold);
            std::this_thread::sleep_until(start);
            for (int i = 0; i < each; ++i) {
                log.append(entryNumber(writer * 1000 + i, Mode::permanent, writer + 1));
                if ((i + writer) % 10 == 9) written = log.flush() && written;  // bursts of different lengths
            }
            written = log.flush() && written;
        }
        ::_exit(written ? 0 : 1);
    }
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const OperationLog log(path, true, false, threshold);
    ASSERT_TRUE(std::filesystem::exists(log.rotatedURL(2)));
    std::vector<std::string> lines;
    for (int number = OperationLog::rotatedFilesKept; number >= 0; --number) {
        for (auto& line : linesOf(number == 0 ? path : log.rotatedURL(number))) lines.push_back(std::move(line));
    }
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(writers * each));
    EXPECT_FALSE(prevHashOf(lines[0]));
    for (std::size_t i = 1; i < lines.size(); ++i) ASSERT_EQ(prevHashOf(lines[i]), OperationLog::hash(lines[i - 1])) << i;
    EXPECT_EQ(log.verifyChain(), (OperationLog::ChainStatus{static_cast<std::int64_t>(linesOf(path).size()), 0, std::nullopt, false}));
    // Writer w logged `each` permanent removals of w + 1 bytes: 36 * 150 bytes in all.
    EXPECT_EQ(totalsFileOf(log), Totals(36 * each, writers * each, OperationLog::hash(lines.back()), 0, 0));
}

TEST(OperationLogStoreTests, AnOversizedLogThatCannotBeOpenedIsRotatedFirstAndFoldersFollowTheUmask) {
    VORNELO_REQUIRE_ROOT();
    TempDirectory folder;
    const auto account = test::unprivilegedAccount();
    const auto logFolder = folder / "Logs";
    std::filesystem::create_directories(logFolder);
    ASSERT_EQ(::chown(logFolder.c_str(), account.uid, account.gid), 0);
    ::chmod(folder.path().c_str(), 0755);
    // Left by a run as root: the user cannot open it, but may move it within their own folder.
    writeFile(logFolder / "operations.log", std::string(200, 'x') + "\n");
    const auto outcome = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        ::umask(027);
        OperationLog log(logFolder / "operations.log", true, false, 100);
        log.append(entryNumber(1));
        if (!log.flush()) return "the line was not written";
        if (linesOf(log.rotatedURL(1)).size() != 1 || linesOf(log.fileURL()).size() != 1) return "not rotated";
        OperationLog nested(logFolder / "a" / "b" / "operations.log", true);
        nested.append(entryNumber(2));
        if (!nested.flush()) return "the nested line was not written";
        const auto permissions = std::filesystem::status(logFolder / "a").permissions();
        if (permissions != std::filesystem::perms(0750)) return "folder permissions " + std::to_string(static_cast<int>(permissions));
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

TEST(OperationLogStoreTests, DestroyingALogWritesWhatWasStillQueued) {
    TempDirectory folder;
    const auto path = folder / "operations.log";
    {
        OperationLog log(path, true);
        for (int i = 0; i < 200; ++i) log.append(entryNumber(i));
    }
    EXPECT_EQ(linesOf(path).size(), 200u);
}

TEST(OperationLogStoreTests, APersistedSwitchIsSavedAndTheAdministratorsForceWinsOverItButNotAnUnpersistedOne) {
    test::TestHome home;
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true, true, OperationLog::defaultMaxFileBytes);
    EXPECT_TRUE(log.setEnabled(false));
    EXPECT_EQ(home.defaults()->object(std::string(AppStorageKey::operationLogEnabled)), platform::PlistValue(false));
    log.append(entryNumber(1));
    log.flush();
    EXPECT_FALSE(std::filesystem::exists(log.fileURL()));

    home.writeManaged({{"ForceOperationLog", true}});
    EXPECT_TRUE(log.isForced());
    EXPECT_TRUE(log.enabled());
    EXPECT_FALSE(log.storedEnabled());
    log.append(entryNumber(2));
    log.flush();
    EXPECT_EQ(linesOf(log.fileURL()).size(), 1u);

    // A log that does not persist its switch follows only that switch, and saves nothing.
    OperationLog unpersisted(folder / "unpersisted.log", false);
    EXPECT_FALSE(unpersisted.isForced());
    EXPECT_FALSE(unpersisted.enabled());
    unpersisted.append(entryNumber(1));
    unpersisted.flush();
    EXPECT_FALSE(std::filesystem::exists(unpersisted.fileURL()));
    unpersisted.setEnabled(true);
    unpersisted.append(entryNumber(2));
    unpersisted.flush();
    EXPECT_EQ(linesOf(unpersisted.fileURL()).size(), 1u);
    EXPECT_EQ(home.defaults()->object(std::string(AppStorageKey::operationLogEnabled)), platform::PlistValue(false));

    home.writeManaged({});  // the force lifted: the user's saved choice applies again
    EXPECT_FALSE(log.enabled());
}

TEST(OperationLogStoreTests, TheSharedLogTakesTheSavedSwitchAndKeepsOtherProgramsOutOfTheUsersLog) {
    test::TestHome home;
    TempDirectory temporary;
    home.defaults()->set(std::string(AppStorageKey::operationLogEnabled), platform::PlistValue(false));
    const auto outcome = test::runInChild([&]() -> std::string {
        ::setenv("TMPDIR", temporary.path().c_str(), 1);
        auto& log = OperationLog::shared();
        if (&log != &OperationLog::shared()) return "shared() made two logs";
        const auto expected = temporary / ("Vornelo-" + std::to_string(::getpid())) / "operations.log";
        if (log.fileURL() != expected) return "logs at " + log.fileURL().native();
        if (log.enabled() || !log.persistsEnabled()) return "the saved switch was not taken";
        return "";
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;

    EXPECT_EQ(OperationLog::sharedLogURL("/opt/bin/vornelo-cli", 42), home.home() / "Library/Logs/Vornelo/operations.log");
    EXPECT_EQ(OperationLog::sharedLogURL("Vornelo", 42), OperationLog::defaultLogURL());
    EXPECT_NE(OperationLog::sharedLogURL("vornelo-cli-tests", 42), OperationLog::defaultLogURL());
    EXPECT_EQ(OperationLog::sharedLogURL("", 42).parent_path().filename(), "Vornelo-42");
}

TEST(OperationLogStoreTests, TailLinesReadsOnlyWhatTheLimitNeedsFromTheEndAndNeverAPartialLine) {
    TempDirectory folder;
    const auto path = folder / "f";
    EXPECT_TRUE(OperationLog::tailLines(path, 3).empty());
    writeFile(path, "");
    EXPECT_TRUE(OperationLog::tailLines(path, 3).empty());
    writeFile(path, "one\n\ntwo\nthree\nfour\nfive");
    EXPECT_EQ(OperationLog::tailLines(path, 2), (std::vector<std::string>{"four", "five"}));
    EXPECT_EQ(OperationLog::tailLines(path, 1), (std::vector<std::string>{"five"}));
    EXPECT_EQ(OperationLog::tailLines(path, OperationLog::unlimited).size(), 5u);
    EXPECT_TRUE(OperationLog::tailLines(path, 0).empty());
    EXPECT_TRUE(OperationLog::tailLines(path, -4).empty());

    // Walking back over 64 KiB chunks: a long line, and lines that straddle a chunk edge, come back whole.
    const std::string longLine(200'000, 'L');
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "short line " + std::to_string(i) + "\n";
    writeFile(path, text + longLine + "\n");
    EXPECT_EQ(OperationLog::tailLines(path, 1), std::vector<std::string>{longLine});
    EXPECT_EQ(OperationLog::tailLines(path, 2), (std::vector<std::string>{"short line 1999", longLine}));
    const auto all = OperationLog::tailLines(path, 300);
    ASSERT_EQ(all.size(), 300u);
    EXPECT_EQ(all.front(), "short line 1701");
}

}  // namespace
}  // namespace vornelo

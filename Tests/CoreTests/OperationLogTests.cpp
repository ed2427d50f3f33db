#include "Core/AppStorageKeys.h"
#include "Core/OperationLog.h"
#include "Support/ChildProcess.h"
#include "Support/CoreScenario.h"
#include "Support/LogCapture.h"
#include "Support/LogLines.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vornelo {
namespace {

using ChainStatus = OperationLog::ChainStatus;
using Entry = OperationLog::Entry;
using ExportFormat = OperationLog::ExportFormat;
using Mode = OperationLog::Mode;
using Outcome = OperationLog::Outcome;
using Totals = OperationLog::Totals;
using namespace std::chrono_literals;
using test::TempDirectory;
using test::entryNumber;
using test::linesOf;
using test::noon;
using test::readFile;
using test::writeFile;
using test::writeLines;

// Appends the entries numbered `first` to `last` and writes them out.
void appendNumbered(OperationLog& log, int first, int last, Mode mode = Mode::trash) {
    for (int i = first; i <= last; ++i) log.append(entryNumber(i, mode));
    log.flush();
}

Entry plainEntry(std::string path = "/Users/x/a", Mode mode = Mode::permanent, Outcome outcome = Outcome::success) {
    return Entry(noon, std::nullopt, "clean", std::move(path), 100, mode, outcome, false);
}

TEST(OperationLogRecordsTests, RawValuesRoundTripAndUnknownTextIsRefused) {
    for (const auto mode : OperationLog::allModes) EXPECT_EQ(fromRawValue<Mode>(rawValue(mode)), mode);
    for (const auto outcome : OperationLog::allOutcomes) EXPECT_EQ(fromRawValue<Outcome>(rawValue(outcome)), outcome);
    EXPECT_EQ(rawValue(Outcome::dryRun), "dryRun");
    EXPECT_FALSE(fromRawValue<Outcome>("DryRun"));
    EXPECT_FALSE(fromRawValue<Mode>("Trash"));
    EXPECT_EQ(fromRawValue<OperationLog::ExportFormat>("csv"), OperationLog::ExportFormat::csv);
    // The line hash is SHA-256 of the bytes in lower-case hex.
    EXPECT_EQ(OperationLog::hash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // A fraction of a second shows in the id but is not written.
    const Entry half(noon + 500ms, std::nullopt, "trash", "/a", 1, Mode::trash, Outcome::success, false);
    const Entry quarter(noon + 250ms, std::nullopt, "trash", "/a", 1, Mode::trash, Outcome::success, false);
    EXPECT_EQ(std::tuple(half.id(), quarter.id()), std::tuple("1714564800.5-trash-/a", "1714564800.25-trash-/a"));
    const auto back = OperationLog::decodeLine(*OperationLog::encodeLine(half));
    ASSERT_TRUE(back);
    EXPECT_EQ(std::tuple(back->timestamp(), back->id()), std::tuple(noon, "1714564800.0-trash-/a"));
}

TEST(OperationLogRecordsTests, EntriesEncodeTheirKeysInSortedOrderAndOptionalOnesOnlyWhenSet) {
    EXPECT_EQ(OperationLog::encodeLine(plainEntry()),
              R"({"action":"clean","dryRun":false,"mode":"permanent","outcome":"success","path":"/Users/x/a",)"
              R"("sizeBytes":100,"timestamp":"2024-05-01T12:00:00Z"})");
    const auto session = Uuid::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    const Entry full(noon + 999ms, session, "trash", "/Users/x/caf\u00e9", -5, Mode::trash, Outcome::failed, true,
                     "Permission denied.", "/Users/x/.Trash/caf\u00e9 2", 18446744073709551615u);
    EXPECT_EQ(OperationLog::encodeLine(full),
              R"({"action":"trash","detail":"Permission denied.","dryRun":true,"mode":"trash","outcome":"failed",)"
              R"("path":"/Users/x/caf)" "\u00e9" R"(","sessionID":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","sizeBytes":-5,)"
              R"("timestamp":"2024-05-01T12:00:00Z","trashedFileNumber":18446744073709551615,)"
              R"("trashedPath":"/Users/x/.Trash/caf)" "\u00e9" R"( 2"})");
}

TEST(OperationLogRecordsTests, QuotesLineFeedsAndBytesThatAreNotUtf8SurviveAsOneLine) {
    const auto line = OperationLog::encodeLine(plainEntry("/tmp/a\"b\nc"));
    ASSERT_TRUE(line);
    EXPECT_NE(line->find(R"("path":"/tmp/a\"b\nc")"), std::string::npos);
    EXPECT_EQ(line->find('\n'), std::string::npos);
    EXPECT_EQ(OperationLog::decodeLine(*line)->path(), "/tmp/a\"b\nc");
    // Written as replacement characters, not dropped.
    const Entry latin1(noon, std::nullopt, "trash", "/home/u/caf\xE9.txt", 1, Mode::trash, Outcome::skipped, false,
                       "bad \xFF\xFE detail", "/home/u/.Trash/\xC3");
    const auto back = OperationLog::decodeLine(*OperationLog::encodeLine(latin1));
    ASSERT_TRUE(back);
    EXPECT_EQ(std::tuple(back->path(), back->detail(), back->trashedPath()),
              std::tuple("/home/u/caf\uFFFD.txt", "bad \uFFFD\uFFFD detail", "/home/u/.Trash/\uFFFD"));
}

TEST(OperationLogRecordsTests, DecodingTakesOtherIsoFormsNullOptionalsAndUnknownKeysButRefusesBadValues) {
    const auto entry = OperationLog::decodeLine(
        R"({"action":"a","path":"/p","sizeBytes":1,"mode":"trash","outcome":"success","dryRun":false,)"
        R"("timestamp":"2024-05-01T14:00:00.75+02:00","detail":null,"sessionID":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f",)"
        R"("extra":{"nested":[1,2]}})");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->timestamp(), noon);  // the offset is applied; the fraction is not kept
    EXPECT_FALSE(entry->detail());
    EXPECT_EQ(entry->sessionID()->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_FALSE(entry->prevHash());

    const std::string good =
        R"("action":"a","path":"/p","sizeBytes":1,"mode":"trash","outcome":"success","dryRun":false,"timestamp":"2024-05-01T12:00:00Z")";
    ASSERT_TRUE(OperationLog::decodeLine("{" + good + "}"));
    const char* spoilers[] = {
        R"("action":null)",          R"("sizeBytes":"1")",     R"("sizeBytes":1.5)",
        R"("sizeBytes":18446744073709551615)",                 R"("mode":"Trash")",
        R"("outcome":"done")",       R"("dryRun":0)",          R"("timestamp":"yesterday")",
        R"("sessionID":"not-a-uuid")", R"("trashedFileNumber":-1)", R"("detail":5)",
        R"("prevHash":false)",         R"("timestamp":"3024-05-01T12:00:00Z")", R"("timestamp":"1024-05-01T12:00:00Z")",
    };
    // A later duplicate key replaces the good value.
    for (const auto* spoiler : spoilers) EXPECT_FALSE(OperationLog::decodeLine("{" + good + "," + spoiler + "}")) << spoiler;
    EXPECT_FALSE(OperationLog::decodeLine(R"({"action":"a"})"));
    EXPECT_FALSE(OperationLog::decodeLine("not json"));
}

TEST(OperationLogRecordsTests, RecordCountsEveryEntryButBytesOnlyForRealSuccessfulRemovals) {
    Totals totals;
    EXPECT_TRUE(totals.record(plainEntry()));
    EXPECT_EQ(totals, Totals(100, 1, std::nullopt, 0, 0));
    EXPECT_TRUE(totals.record(plainEntry("/Users/x/b", Mode::trash)));
    EXPECT_EQ(totals, Totals(100, 2, std::nullopt, 100, 0));

    Totals nothing;
    for (const auto& entry : {Entry(noon, std::nullopt, "clean", "/a", -5, Mode::permanent, Outcome::success, false),
                              Entry(noon, std::nullopt, "clean", "/a", 7, Mode::permanent, Outcome::success, true),
                              Entry(noon, std::nullopt, "clean", "", 7, Mode::permanent, Outcome::success, false),
                              Entry(noon, std::nullopt, "putBack", "/a", 7, Mode::trash, Outcome::success, false),
                              Entry(noon, std::nullopt, "clean", "/a", 7, Mode::permanent, Outcome::failed, false),
                              Entry(noon, std::nullopt, "clean", "/a", 7, Mode::trash, Outcome::dryRun, false)}) {
        EXPECT_TRUE(nothing.record(entry));
    }
    EXPECT_EQ(nothing, Totals(0, 6, std::nullopt, 0, 0));

    // Sums that cannot take another line refuse it whole instead of wrapping or aborting.
    constexpr auto most = std::numeric_limits<std::int64_t>::max();
    for (Totals full : {Totals(0, most, std::nullopt, 0, 0), Totals(most - 50, 1, std::nullopt, 0, 0)}) {
        const Totals before = full;
        EXPECT_FALSE(full.record(plainEntry()));
        EXPECT_EQ(full, before);
    }
}

TEST(OperationLogRecordsTests, TotalsDecodeEitherAccountingAndRefuseWrongTypes) {
    Totals announced(1, 2, "h", 3, 0);  // the announcement of pending lines round-trips
    announced.pendingLines = true;
    const Totals unchained(0, 0, std::nullopt, 0, 0);
    EXPECT_EQ(unchained.encoded().find("lastHash"), std::string::npos);
    // Earlier accounting: "freedBytes" becomes the legacy sum, and other keys of this version are ignored.
    const std::pair<std::string, std::optional<Totals>> cases[] = {
        {R"({"operations":3,"freedBytes":500})", Totals(0, 3, std::nullopt, 0, 500)},
        {R"({"operations":3,"freedBytes":500,"accountingVersion":3,"trashedBytes":"ignored"})", Totals(0, 3, std::nullopt, 0, 500)},
        {R"({"operations":3,"freedBytes":500,"trashedBytes":20,"accountingVersion":2})", Totals(500, 3, std::nullopt, 20, 0)},
        {R"({"operations":1,"lastHash":"ab"})", Totals(0, 1, "ab", 0, 0)},
        {R"({"operations":3,"lastHash":null,"freedBytes":null,"accountingVersion":2})", Totals(0, 3, std::nullopt, 0, 0)},
        {R"({"freedBytes":500})", std::nullopt}, {R"({"operations":null})", std::nullopt},
        {R"({"operations":"3"})", std::nullopt}, {R"({"operations":3,"lastHash":7})", std::nullopt},
        {R"({"operations":3,"accountingVersion":2,"trashedBytes":"x"})", std::nullopt}, {"{", std::nullopt},
        {R"({"operations":1,"pendingLines":"yes"})", std::nullopt},
        {announced.encoded(), announced}, {Totals(1, 2, "ff", 3, 4).encoded(), Totals(1, 2, "ff", 3, 4)},
        {unchained.encoded(), unchained}};
    for (const auto& [json, totals] : cases) EXPECT_EQ(Totals::decode(json), totals) << json;
}

const std::string csvHeader = "timestamp,action,outcome,mode,dryRun,sizeBytes,path,trashedPath,detail,sessionID\n";

class OperationLogQueriesTests : public ::testing::Test {
protected:
    test::TempDirectory folder;
    OperationLog log{folder / "operations.log", true};
};

TEST_F(OperationLogQueriesTests, VerificationFindsEachKindOfDamageAndChangesNothing) {
    EXPECT_EQ(log.verifyChain(), (ChainStatus{0, 0, std::nullopt, false}));  // no files at all
    appendNumbered(log, 1, 3);
    const auto original = linesOf(log.fileURL());
    const auto totals = readFile(log.totalsURL());
    EXPECT_EQ(log.verifyChain(), (ChainStatus{2, 1, std::nullopt, false}));
    EXPECT_EQ(linesOf(log.fileURL()), original);
    EXPECT_EQ(readFile(log.totalsURL()), totals);

    // Any changed byte: the altered line no longer decodes, or the next line's link exposes it.
    for (std::size_t line = 0; line < 2; ++line) {
        for (std::size_t at = 0; at < original[line].size(); ++at) {
            auto changed = original;
            changed[line][at] = static_cast<char>(changed[line][at] ^ 0x01);
            writeLines(log.fileURL(), changed);
            const auto chain = log.verifyChain();
            ASSERT_FALSE(chain.isIntact()) << "line " << line + 1 << " byte " << at;
            ASSERT_TRUE(chain.firstBrokenLine == std::int64_t(line + 1) || chain.firstBrokenLine == std::int64_t(line + 2))
                << "line " << line + 1 << " byte " << at;
        }
    }
    const auto damaged = [&](const std::function<void(std::vector<std::string>&)>& change) {
        auto lines = original;
        change(lines);
        writeLines(log.fileURL(), lines);
        return log.verifyChain();
    };
    // An altered path breaks the next line, invalid JSON its own; the last line is vouched for by the totals.
    EXPECT_EQ(damaged([](auto& lines) { lines[1].replace(lines[1].find("file-2"), 6, "file-X"); }),
              (ChainStatus{1, 1, 3, false, 0, 0, 2}));
    EXPECT_EQ(damaged([](auto& lines) { lines[1].pop_back(); }), (ChainStatus{0, 1, 2, false, 0, 0, 2}));
    EXPECT_EQ(damaged([](auto& lines) { lines[2].replace(lines[2].find("file-3"), 6, "file-9"); }),
              (ChainStatus{2, 1, std::nullopt, true}));
    EXPECT_EQ(damaged([](auto& lines) { lines.pop_back(); }), (ChainStatus{1, 1, std::nullopt, true}));
    // Repaired, the chain goes on.
    writeLines(log.fileURL(), original);
    appendNumbered(log, 4, 4);
    EXPECT_EQ(log.verifyChain(), (ChainStatus{3, 1, std::nullopt, false}));
    EXPECT_EQ(damaged([](auto& lines) { lines.clear(); }), (ChainStatus{0, 0, std::nullopt, true}));
    std::filesystem::remove(log.totalsURL());  // now only the first line could tell
    EXPECT_EQ(log.verifyChain(), (ChainStatus{0, 0, std::nullopt, false}));

    // The first line is checked against rotated file one, and alone tells that one is gone.
    OperationLog rotating(folder / "rotating.log", true, false, 1);
    appendNumbered(rotating, 1, 3);
    EXPECT_EQ(rotating.verifyChain(), (ChainStatus{1, 0, std::nullopt, false}));
    const auto before = linesOf(rotating.rotatedURL(1));
    writeLines(rotating.rotatedURL(1), {before[0].substr(0, before[0].size() - 1) + " }"});
    EXPECT_EQ(rotating.verifyChain(), (ChainStatus{0, 0, 1, false}));
    std::filesystem::remove(rotating.rotatedURL(1));
    EXPECT_EQ(rotating.verifyChain(), (ChainStatus{0, 1, std::nullopt, true}));
    std::filesystem::remove(rotating.totalsURL());
    EXPECT_EQ(rotating.verifyChain(), (ChainStatus{0, 1, std::nullopt, true}));
}

// The first broken link is line N's; whether line N is still vouched for (by line N+1's link, or by
// the totals for the last line) tells whether N or the line before it was changed.
TEST_F(OperationLogQueriesTests, VerificationNamesTheChangedLineWhereTheChainTellsIt) {
    appendNumbered(log, 1, 5);
    const auto original = linesOf(log.fileURL());
    const auto totals = readFile(log.totalsURL());
    const auto relink = [](std::string& line) {
        const auto at = line.find("\"prevHash\":\"") + 12;
        line[at] = line[at] == '0' ? '1' : '0';
    };
    struct Case {
        const char* what;
        std::function<void(std::vector<std::string>&)> change;
        bool keepTotals;
        std::optional<std::int64_t> firstBroken, changed;
    };
    const std::vector<Case> cases{
        {"path of line 2", [](auto& lines) { lines[1].replace(lines[1].find("file-2"), 6, "file-X"); }, true, 3, 2},
        {"link of line 3", [&](auto& lines) { relink(lines[2]); }, true, 3, 3},
        {"line 2 no JSON", [](auto& lines) { lines[1].pop_back(); }, true, 2, 2},
        {"path of line 4", [](auto& lines) { lines[3].replace(lines[3].find("file-4"), 6, "file-X"); }, true, 5, 4},
        {"path of line 4, no totals", [](auto& lines) { lines[3].replace(lines[3].find("file-4"), 6, "file-X"); }, false, 5, std::nullopt},
        {"link of line 5, no totals", [&](auto& lines) { relink(lines[4]); }, false, 5, std::nullopt},
        {"link of line 5, which the totals no longer match", [&](auto& lines) { relink(lines[4]); }, true, 5, std::nullopt},
    };
    for (const auto& item : cases) {
        auto lines = original;
        item.change(lines);
        writeLines(log.fileURL(), lines);
        if (item.keepTotals) {
            writeFile(log.totalsURL(), totals);
        } else {
            std::filesystem::remove(log.totalsURL());
        }
        const auto status = OperationLog(log.fileURL(), true).verifyChain();
        EXPECT_EQ(std::pair(status.firstBrokenLine, status.changedLine), std::pair(item.firstBroken, item.changed)) << item.what;
    }
}

TEST_F(OperationLogQueriesTests, RecentReturnsTheNewestDecodableEntriesNewestFirst) {
    EXPECT_TRUE(log.recent(5).empty());  // reads of a missing log are empty
    EXPECT_EQ(log.totals(), OperationLog::Totals());
    EXPECT_EQ(log.totalFreed(), 0);
    EXPECT_TRUE(log.retainedEntries().empty());

    appendNumbered(log, 1, 5);
    const auto two = log.recent(2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(std::tuple(two[0].path(), two[1].path(), two[0].prevHash()),
              std::tuple("/Users/x/file-5", "/Users/x/file-4", OperationLog::hash(linesOf(log.fileURL())[3])));
    EXPECT_TRUE(log.recent(0).empty() && log.recent(-3).empty());
    EXPECT_EQ(log.recent(50).size(), 5u);
    std::ofstream(log.fileURL(), std::ios::app) << "not an entry\n";
    EXPECT_EQ(log.recent(2).size(), 1u);  // the bad line is left out, not replaced
}

TEST_F(OperationLogQueriesTests, CsvQuotesOnlyTheFieldsThatNeedItAndJsonLinesReproduceEveryRetainedFile) {
    EXPECT_EQ(log.exportTo(folder / "out.csv", ExportFormat::csv), 0);  // an empty log: the header alone
    EXPECT_EQ(readFile(folder / "out.csv"), csvHeader);

    const auto session = Uuid::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    log.append(Entry(noon, session, "clean", "/a,b", 5, Mode::trash, Outcome::failed, true, "said \"no\"", "/t\r\nx", 9));
    log.append(Entry(noon + 1s, std::nullopt, "trash", "/plain", -2, Mode::permanent, Outcome::success, false));
    log.flush();
    EXPECT_EQ(log.exportTo(folder / "out.csv", ExportFormat::csv), 2);
    EXPECT_EQ(readFile(folder / "out.csv"), csvHeader +
                                                "2024-05-01T12:00:00Z,clean,failed,trash,true,5,\"/a,b\",\"/t\r\nx\",\"said \"\"no\"\"\","
                                                "E621E1F8-C36C-495A-93FC-0C247A3E6E5F\n"
                                                "2024-05-01T12:00:01Z,trash,success,permanent,false,-2,/plain,,,\n");

    const auto error = test::descriptionThrown<OperationLog::ExportError>(
        [&] { log.exportTo(folder / "missing" / "out.csv", ExportFormat::csv); });
    EXPECT_NE(error.find("out.csv"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(folder / "missing"));  // a failed export leaves nothing behind

    // JSON lines reproduce the stored lines of every retained file.
    OperationLog rotating(folder / "rotating.log", true, false, 300);
    appendNumbered(rotating, 1, 9);
    ASSERT_TRUE(std::filesystem::exists(rotating.rotatedURL(2)));
    std::string expected;
    for (int number = OperationLog::rotatedFilesKept; number >= 1; --number) {
        if (std::filesystem::exists(rotating.rotatedURL(number))) expected += readFile(rotating.rotatedURL(number));
    }
    EXPECT_EQ(rotating.exportTo(folder / "out.jsonl", ExportFormat::jsonl), 9);
    EXPECT_EQ(readFile(folder / "out.jsonl"), expected + readFile(rotating.fileURL()));
    EXPECT_EQ(log.exportTo(folder / "out.jsonl", ExportFormat::jsonl), 2);
    EXPECT_EQ(readFile(folder / "out.jsonl"), readFile(log.fileURL()));  // replaced, not appended to
}

TEST_F(OperationLogQueriesTests, JsonLinesExportCopiesTheWritersOwnLinesAndEncodesEveryOtherFormAgain) {
    const auto session = Uuid::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    log.append(Entry(noon, session, "clean", "/home/r\u00e9sum\u00e9", -2, Mode::trash, Outcome::failed, false, "no", "/t/x", 9));
    log.flush();
    auto written = readFile(log.fileURL());
    ASSERT_EQ(written.back(), '\n');
    written.pop_back();
    const auto replaced = [&](std::string_view from, std::string_view to) {
        auto line = written;
        const auto at = line.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? line : line.replace(at, from.size(), to);
    };
    // Each decodes to the same entry, in a form the writer would not have chosen.
    const std::vector<std::string> otherForms = {
        replaced(R"("action":)", R"("action": )"),
        " " + written,
        replaced(R"("/t/x")", R"("\/t\/x")"),
        replaced(R"("clean")", R"("cl\u0065an")"),
        replaced("E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "e621e1f8-c36c-495a-93fc-0c247a3e6e5f"),
        replaced("T12:00:00Z", "T12:00:00.000Z"),
        replaced("T12:00:00Z", "T14:00:00+02"),
        replaced(R"("dryRun":false,)", R"("dryRun":false,"extra":1,)"),
        replaced(R"("dryRun":false,)", R"("dryRun":false,"prevHash":null,)"),
        replaced(R"({"action":"clean",)", "{") .insert(written.size() - std::string_view(R"("action":"clean",)").size() - 1, R"(,"action":"clean")"),
        replaced(R"("sizeBytes":-2)", R"("sizeBytes":-02)"),
    };
    std::string stored = written + "\n";
    for (const auto& form : otherForms) stored += form + "\n";
    writeFile(log.fileURL(), stored);
    const auto decodable = std::ranges::count_if(otherForms, [](const std::string& form) { return OperationLog::decodeLine(form).has_value(); });
    std::string expected;
    for (int line = 0; line <= decodable; ++line) expected += written + "\n";
    EXPECT_EQ(log.exportTo(folder / "out.jsonl", ExportFormat::jsonl), decodable + 1);
    EXPECT_EQ(readFile(folder / "out.jsonl"), expected);
    EXPECT_GE(decodable, 9);  // only the leading zero is no JSON at all
}

TEST_F(OperationLogQueriesTests, ClearRemovesEveryFileAndTheNextLineStartsANewChain) {
    // A forced log refusing to clear is for the command-line test.
    OperationLog rotating(folder / "rotating.log", true, false, 1);
    appendNumbered(rotating, 1, 3);
    EXPECT_TRUE(rotating.clear());
    for (const auto& item : std::filesystem::directory_iterator(folder.path())) {
        // The lock file stays: another process may be waiting on it.
        if (item.path() == rotating.lockURL()) continue;
        EXPECT_FALSE(item.path().filename().native().starts_with("rotating")) << item.path();
    }
    appendNumbered(rotating, 4, 4);
    const auto lines = linesOf(rotating.fileURL());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(std::tuple(OperationLog::decodeLine(lines[0])->prevHash(), rotating.totals().operations, rotating.verifyChain().isIntact()),
              std::tuple(std::nullopt, 1, true));
}

std::optional<std::string> prevHashOf(const std::string& line) { return OperationLog::decodeLine(line)->prevHash(); }

std::optional<Totals> totalsFileOf(const OperationLog& log) { return Totals::decode(readFile(log.totalsURL())); }

TEST(OperationLogStoreTests, WritesExactLinesChainedByTheHashOfTheLineBeforeAndRotatesOnceTheFileReachesTheThreshold) {
    TempDirectory folder;
    OperationLog log(folder / "deep" / "folders" / "operations.log", true, false, 200);
    EXPECT_EQ(std::tuple(log.totalsURL(), log.rotatedURL(5), OperationLog(folder / "journal", true).rotatedURL(2)),
              std::tuple(folder / "deep/folders/operations.totals.json", folder / "deep/folders/operations.5.log",
                         folder / "journal.2.log"));
    EXPECT_FALSE(std::filesystem::exists(folder / "deep"));  // construction touches nothing
    log.append(entryNumber(1));
    appendNumbered(log, 2, 2, Mode::permanent);
    const auto lines = linesOf(log.fileURL());
    ASSERT_EQ(lines.size(), 2u);
    // No prevHash on the very first line; the first line alone stayed under the threshold.
    EXPECT_EQ(readFile(log.fileURL()), *OperationLog::encodeLine(entryNumber(1)) + "\n" + lines[1] + "\n");
    EXPECT_NE(lines[1].find(R"("prevHash":")" + OperationLog::hash(lines[0]) + R"(","sizeBytes")"), std::string::npos);
    EXPECT_EQ(totalsFileOf(log), Totals(10, 2, OperationLog::hash(lines[1]), 10, 0));
    ASSERT_GE(std::filesystem::file_size(log.fileURL()), 200u);
    appendNumbered(log, 3, 3);
    EXPECT_EQ(linesOf(log.rotatedURL(1)), lines);
    const auto current = linesOf(log.fileURL());
    ASSERT_EQ(current.size(), 1u);
    EXPECT_EQ(prevHashOf(current[0]), OperationLog::hash(lines.back()));
}

// The eight-process test proves the file lock; this one gives the thread sanitizer the in-process queue.
TEST(OperationLogStoreTests, AppendsFromManyThreadsAllArriveInOneVerifiableChain) {
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true, false, 20'000);  // rotates on the way
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) writers.emplace_back([&log, t] { appendNumbered(log, t * 100, t * 100 + 49); });
    for (auto& writer : writers) writer.join();
    log.flush();
    EXPECT_EQ(std::tuple(log.retainedEntries().size(), log.verifyChain().isIntact(), log.totals().operations),
              std::tuple(200u, true, 200));
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
    appendNumbered(log, 1, 8, Mode::permanent);
    std::filesystem::remove(log.totalsURL());
    // Read-only rebuild: the six retained lines, and no file is written.
    EXPECT_EQ(log.totals(), Totals(60, 6, OperationLog::hash(linesOf(log.fileURL()).back()), 0, 0));
    EXPECT_FALSE(std::filesystem::exists(log.totalsURL()));
    log.append(entryNumber(9, Mode::trash, 5));
    log.flush();
    const auto last = linesOf(log.fileURL()).back();
    // Rebuilt from the six lines retained when the file was found missing, then the new one.
    EXPECT_EQ(totalsFileOf(log), Totals(60, 7, OperationLog::hash(last), 5, 0));
    EXPECT_EQ(log.totalFreed(), 60);  // permanent removals only
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
    appendNumbered(log, 1, 2, Mode::permanent);
    // What the next burst stores before its first line: the sums so far, announcing more lines.
    auto lagging = *totalsFileOf(log);
    lagging.pendingLines = true;
    // The rest of the burst, across a rotation, whose totals a crash kept from the disk.
    appendNumbered(log, 3, 6, Mode::permanent);
    ASSERT_TRUE(std::filesystem::exists(log.rotatedURL(1)));
    writeFile(log.totalsURL(), lagging.encoded());

    OperationLog reopened(log.fileURL(), true, false, 400);
    const auto status = reopened.verifyChain();
    EXPECT_EQ(std::tuple(status.isIntact(), status.pendingLines), std::tuple(true, 4));
    EXPECT_EQ(reopened.totals(), Totals(60, 6, OperationLog::hash(linesOf(log.fileURL()).back()), 0, 0));
    appendNumbered(reopened, 7, 7, Mode::permanent);
    EXPECT_EQ(totalsFileOf(reopened), Totals(70, 7, OperationLog::hash(linesOf(log.fileURL()).back()), 0, 0));

    // Totals naming a line that is gone cannot be caught up; they keep counting from where they were.
    writeFile(log.totalsURL(), R"({"operations":1,"freedBytes":10,"lastHash":")" + std::string(64, 'a') +
                                   R"(","accountingVersion":2})");
    EXPECT_TRUE(reopened.verifyChain().truncated);
    appendNumbered(reopened, 8, 8, Mode::permanent);
    EXPECT_EQ(totalsFileOf(reopened)->operations, 2);
}

TEST(OperationLogStoreTests, ALineNoWriterAnnouncedIsReportedAndNeverCounted) {
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true);
    appendNumbered(log, 1, 2, Mode::permanent);
    // A correctly chained line added by hand after the line the totals count.
    const auto last = linesOf(log.fileURL()).back();
    auto forged = *OperationLog::encodeLine(entryNumber(3, Mode::permanent, 1'000'000));
    forged.insert(forged.find(",\"sizeBytes\""), ",\"prevHash\":\"" + OperationLog::hash(last) + "\"");
    std::ofstream(log.fileURL(), std::ios::app) << forged << '\n';
    const auto before = readFile(log.totalsURL());

    const OperationLog fresh(log.fileURL(), true);
    for (const OperationLog* reader : std::initializer_list<const OperationLog*>{&log, &fresh}) {
        const auto status = reader->verifyChain();
        EXPECT_EQ(std::tuple(status.unaccountedLines, status.isIntact(), reader->totals().freedBytes), std::tuple(1, false, 20));
    }
    EXPECT_EQ(readFile(log.totalsURL()), before);  // verification changes no file

    // The next line is counted, the forged one is not, and it stays visible as a break.
    appendNumbered(log, 4, 4, Mode::permanent);
    EXPECT_EQ(totalsFileOf(log), Totals(30, 3, OperationLog::hash(linesOf(log.fileURL()).back()), 0, 0));
    EXPECT_EQ(OperationLog(log.fileURL(), true).verifyChain().firstBrokenLine, 4);
}

// Unreadable, and at the top of their range without a last line and naming the true last line.
TEST(OperationLogStoreTests, TotalsThatAreUnreadableOrCannotTakeAnotherLineAreRebuiltSkippingUndecodableLines) {
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true);
    appendNumbered(log, 1, 1, Mode::permanent);
    std::ofstream(log.fileURL(), std::ios::app) << "garbage line\n";
    const std::function<std::string(const std::string&)> stored[] = {
        [](const std::string&) { return R"({"operations":)"; },
        [](const std::string&) { return R"({"operations":9223372036854775807})"; },
        [](const std::string& last) {
            return R"({"operations":1,"accountingVersion":2,"freedBytes":9223372036854775800,"lastHash":")" + last + "\"}";
        }};
    for (std::int64_t round = 0; round < 3; ++round) {
        writeFile(log.totalsURL(), stored[round](OperationLog::hash(linesOf(log.fileURL()).back())));
        OperationLog other(log.fileURL(), true);
        other.append(entryNumber(2, Mode::permanent));
        EXPECT_TRUE(other.flush());
        EXPECT_EQ(totalsFileOf(other), Totals(10 * (round + 2), round + 2, OperationLog::hash(linesOf(log.fileURL()).back()), 0, 0))
            << round;
    }
}

TEST(OperationLogStoreTests, DestroyingALogWritesWhatWasQueuedAndALineCutShortByACrashStaysItsOwnBrokenLine) {
    TempDirectory folder;
    const auto path = folder / "operations.log";
    {
        OperationLog log(path, true);
        for (int i = 0; i < 200; ++i) log.append(entryNumber(i));
    }
    ASSERT_EQ(linesOf(path).size(), 200u);
    // What a crash in the middle of the next write would leave: its first half, no line feed.
    const auto next = *OperationLog::encodeLine(entryNumber(200));
    std::ofstream(path, std::ios::app) << next.substr(0, next.size() / 2);
    OperationLog reopened(path, true);
    EXPECT_EQ(reopened.verifyChain().firstBrokenLine, 201);
    appendNumbered(reopened, 201, 201);
    const auto lines = linesOf(path);
    ASSERT_EQ(lines.size(), 202u);
    EXPECT_TRUE(OperationLog::decodeLine(lines[201]));  // the new line was not glued to the fragment
    EXPECT_EQ(reopened.verifyChain().firstBrokenLine, 201);
    EXPECT_EQ(reopened.recent(5).size(), 4u);
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
        EXPECT_EQ(std::tuple(records[0].level, records[0].message.starts_with("operation log write failed: ")),
                  std::tuple(platform::LogLevel::error, true)) << records[0].message;
        EXPECT_FALSE(std::filesystem::exists(log.totalsURL()) || std::filesystem::exists(folder / "elsewhere"));
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
    EXPECT_TRUE(test::passesAsNobody([&]() -> std::string {
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
    }));
}

TEST(OperationLogStoreTests, APersistedSwitchIsSavedAndTheAdministratorsForceWinsOverItButNotAnUnpersistedOne) {
    test::TestHome home;
    TempDirectory folder;
    OperationLog log(folder / "operations.log", true, true, OperationLog::defaultMaxFileBytes);
    EXPECT_TRUE(log.setEnabled(false));
    EXPECT_EQ(home.defaults()->object(std::string(AppStorageKey::operationLogEnabled)), platform::PlistValue(false));
    appendNumbered(log, 1, 1);
    EXPECT_FALSE(std::filesystem::exists(log.fileURL()));

    home.writeManaged({{"ForceOperationLog", true}});
    EXPECT_EQ(std::tuple(log.isForced(), log.enabled(), log.storedEnabled()), std::tuple(true, true, false));
    appendNumbered(log, 2, 2);
    EXPECT_EQ(linesOf(log.fileURL()).size(), 1u);

    // A log that does not persist its switch follows only that switch, and saves nothing.
    OperationLog unpersisted(folder / "unpersisted.log", false);
    EXPECT_FALSE(unpersisted.isForced() || unpersisted.enabled());
    appendNumbered(unpersisted, 1, 1);
    EXPECT_FALSE(std::filesystem::exists(unpersisted.fileURL()));
    unpersisted.setEnabled(true);
    appendNumbered(unpersisted, 2, 2);
    EXPECT_EQ(linesOf(unpersisted.fileURL()).size(), 1u);
    EXPECT_EQ(home.defaults()->object(std::string(AppStorageKey::operationLogEnabled)), platform::PlistValue(false));

    home.writeManaged({});  // the force lifted: the user's saved choice applies again
    EXPECT_FALSE(log.enabled());
}

// Only the app and the command-line tool share the user's log; another program gets one of its own.
TEST(OperationLogStoreTests, TheSharedLogKeepsOtherProgramsOutOfTheUsersLog) {
    test::TestHome home;
    EXPECT_EQ(OperationLog::sharedLogURL("/opt/bin/vornelo-cli", 42), home.home() / ".local/state/vornelo/operations.log");
    for (const auto& [state, log] : {std::pair(std::filesystem::path("relative/state"), home.home() / ".local/state"), std::pair(home.root(), home.root())}) {
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);  // a relative one is ignored
        EXPECT_EQ(OperationLog::defaultLogURL(), log / "vornelo/operations.log");
    }
    ::unsetenv("XDG_STATE_HOME");
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

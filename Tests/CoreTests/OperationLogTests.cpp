#include "Core/OperationLog.h"

#include "Support/LogLines.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>

// The log's records (entries and totals as text) and what can be asked of a written log.

namespace vornelo {
namespace {

using Entry = OperationLog::Entry;
using Mode = OperationLog::Mode;
using Outcome = OperationLog::Outcome;
using Totals = OperationLog::Totals;
using ChainStatus = OperationLog::ChainStatus;
using ExportFormat = OperationLog::ExportFormat;
using test::entryNumber;
using test::linesOf;
using test::noon;
using test::readFile;
using test::writeFile;
using test::writeLines;
using namespace std::chrono_literals;

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
    EXPECT_EQ(back->path(), "/home/u/caf\uFFFD.txt");
    EXPECT_EQ(back->detail(), "bad \uFFFD\uFFFD detail");
    EXPECT_EQ(back->trashedPath(), "/home/u/.Trash/\uFFFD");
}

TEST(OperationLogRecordsTests, AFractionOfASecondIsDroppedAndTheIdShowsIt) {
    const Entry half(noon + 500ms, std::nullopt, "trash", "/a", 1, Mode::trash, Outcome::success, false);
    const Entry quarter(noon + 250ms, std::nullopt, "trash", "/a", 1, Mode::trash, Outcome::success, false);
    EXPECT_EQ(half.id(), "1714564800.5-trash-/a");
    EXPECT_EQ(quarter.id(), "1714564800.25-trash-/a");
    const auto back = OperationLog::decodeLine(*OperationLog::encodeLine(half));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->timestamp(), noon);
    EXPECT_EQ(back->id(), "1714564800.0-trash-/a");
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
    void appendEntries(int count, int from = 1) {
        for (int i = from; i < from + count; ++i) log.append(entryNumber(i));
        log.flush();
    }

    test::TempDirectory folder;
    OperationLog log{folder / "operations.log", true};
};

TEST_F(OperationLogQueriesTests, VerificationFindsEachKindOfDamageAndChangesNothing) {
    EXPECT_EQ(log.verifyChain(), (ChainStatus{0, 0, std::nullopt, false}));  // no files at all
    appendEntries(3);
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
              (ChainStatus{1, 1, 3, false}));
    EXPECT_EQ(damaged([](auto& lines) { lines[1].pop_back(); }), (ChainStatus{0, 1, 2, false}));
    EXPECT_EQ(damaged([](auto& lines) { lines[2].replace(lines[2].find("file-3"), 6, "file-9"); }),
              (ChainStatus{2, 1, std::nullopt, true}));
    EXPECT_EQ(damaged([](auto& lines) { lines.pop_back(); }), (ChainStatus{1, 1, std::nullopt, true}));
    // Repaired, the chain goes on.
    writeLines(log.fileURL(), original);
    appendEntries(1, 4);
    EXPECT_EQ(log.verifyChain(), (ChainStatus{3, 1, std::nullopt, false}));
    EXPECT_EQ(damaged([](auto& lines) { lines.clear(); }), (ChainStatus{0, 0, std::nullopt, true}));
    std::filesystem::remove(log.totalsURL());  // now only the first line could tell
    EXPECT_EQ(log.verifyChain(), (ChainStatus{0, 0, std::nullopt, false}));
}

TEST_F(OperationLogQueriesTests, TheFirstLineIsCheckedAgainstRotatedFileOne) {
    OperationLog rotating(folder / "rotating.log", true, false, 1);
    for (int i = 1; i <= 3; ++i) rotating.append(entryNumber(i));
    rotating.flush();
    EXPECT_EQ(rotating.verifyChain(), (ChainStatus{1, 0, std::nullopt, false}));

    const auto before = linesOf(rotating.rotatedURL(1));
    writeLines(rotating.rotatedURL(1), {before[0].substr(0, before[0].size() - 1) + " }"});
    EXPECT_EQ(rotating.verifyChain(), (ChainStatus{0, 0, 1, false}));

    std::filesystem::remove(rotating.rotatedURL(1));
    EXPECT_EQ(rotating.verifyChain(), (ChainStatus{0, 1, std::nullopt, true}));
    std::filesystem::remove(rotating.totalsURL());
    EXPECT_EQ(rotating.verifyChain(), (ChainStatus{0, 1, std::nullopt, true}));  // the first line alone tells
}

TEST_F(OperationLogQueriesTests, RecentReturnsTheNewestDecodableEntriesNewestFirst) {
    EXPECT_TRUE(log.recent(5).empty());  // reads of a missing log are empty
    EXPECT_EQ(log.totals(), OperationLog::Totals());
    EXPECT_EQ(log.totalFreed(), 0);
    EXPECT_TRUE(log.retainedEntries().empty());

    appendEntries(5);
    const auto two = log.recent(2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].path(), "/Users/x/file-5");
    EXPECT_EQ(two[1].path(), "/Users/x/file-4");
    EXPECT_EQ(*two[0].prevHash(), OperationLog::hash(linesOf(log.fileURL())[3]));
    EXPECT_TRUE(log.recent(0).empty());
    EXPECT_TRUE(log.recent(-3).empty());
    EXPECT_EQ(log.recent(50).size(), 5u);
    std::ofstream(log.fileURL(), std::ios::app) << "not an entry\n";
    EXPECT_EQ(log.recent(2).size(), 1u);  // the bad line is left out, not replaced
}

TEST_F(OperationLogQueriesTests, TotalFreedCountsPermanentRemovalsOnly) {
    log.append(Entry(noon, std::nullopt, "clean", "/a", 300, Mode::permanent, Outcome::success, false));
    log.append(Entry(noon, std::nullopt, "clean", "/b", 50, Mode::trash, Outcome::success, false));
    log.flush();
    EXPECT_EQ(log.totalFreed(), 300);
    EXPECT_EQ(log.totals().trashedBytes, 50);
}

TEST_F(OperationLogQueriesTests, JsonLinesExportReproducesTheStoredLinesOfEveryRetainedFile) {
    writeFile(folder / "out.jsonl", "old contents");
    EXPECT_EQ(log.exportTo(folder / "out.jsonl", ExportFormat::jsonl), 0);  // an empty log: nothing
    EXPECT_EQ(readFile(folder / "out.jsonl"), "");

    OperationLog rotating(folder / "rotating.log", true, false, 300);
    for (int i = 1; i <= 9; ++i) rotating.append(entryNumber(i));
    rotating.flush();
    ASSERT_TRUE(std::filesystem::exists(rotating.rotatedURL(2)));
    std::string expected;
    for (int number = OperationLog::rotatedFilesKept; number >= 1; --number) {
        if (std::filesystem::exists(rotating.rotatedURL(number))) expected += readFile(rotating.rotatedURL(number));
    }
    expected += readFile(rotating.fileURL());
    EXPECT_EQ(rotating.exportTo(folder / "out.jsonl", ExportFormat::jsonl), 9);
    EXPECT_EQ(readFile(folder / "out.jsonl"), expected);
}

TEST_F(OperationLogQueriesTests, CsvQuotesOnlyTheFieldsThatNeedIt) {
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

    try {
        log.exportTo(folder / "missing" / "out.csv", ExportFormat::csv);
        ADD_FAILURE() << "no error";
    } catch (const OperationLog::ExportError& error) {
        EXPECT_NE(error.description().find("out.csv"), std::string::npos) << error.description();
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "missing"));  // a failed export leaves nothing behind
}

TEST_F(OperationLogQueriesTests, ClearRemovesEveryFileUnlessForcedAndTheNextLineStartsANewChain) {
    test::TestHome home;
    OperationLog rotating(folder / "rotating.log", true, true, 1);
    for (int i = 1; i <= 3; ++i) rotating.append(entryNumber(i));
    rotating.flush();
    home.writeManaged({{"ForceOperationLog", true}});
    EXPECT_FALSE(rotating.clear());
    EXPECT_EQ(linesOf(rotating.fileURL()).size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(rotating.totalsURL()));
    home.writeManaged({});

    EXPECT_TRUE(rotating.clear());
    for (const auto& item : std::filesystem::directory_iterator(folder.path())) {
        // The lock file stays: another process may be waiting on it.
        if (item.path() == rotating.lockURL()) continue;
        EXPECT_FALSE(item.path().filename().native().starts_with("rotating")) << item.path();
    }
    rotating.append(entryNumber(4));
    rotating.flush();
    const auto lines = linesOf(rotating.fileURL());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_FALSE(OperationLog::decodeLine(lines[0])->prevHash());
    EXPECT_EQ(rotating.totals().operations, 1);
    EXPECT_TRUE(rotating.verifyChain().isIntact());
}

}  // namespace
}  // namespace vornelo

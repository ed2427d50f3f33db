#include "Core/OperationLog.h"

#include "Support/LogLines.h"

#include <gtest/gtest.h>

#include <limits>

namespace vornelo {
namespace {

using Entry = OperationLog::Entry;
using Mode = OperationLog::Mode;
using Outcome = OperationLog::Outcome;
using Totals = OperationLog::Totals;
using test::noon;
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

}  // namespace
}  // namespace vornelo

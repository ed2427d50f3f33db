#include "Platform/Concurrency/ConcurrentPerform.h"
#include "Platform/Encoding/Formatters.h"
#include "Platform/Encoding/Iso8601.h"
#include "Platform/Encoding/Json.h"
#include "Platform/System/Logger.h"
#include "Platform/Encoding/Sha256.h"
#include "Platform/Encoding/Text.h"
#include "Platform/Encoding/Uuid.h"
#include "Support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace vornelo::platform {
namespace {

TEST(TextTest, LowercasingCoversUnicodeAndSanitisingReplacesEachMaximalInvalidSubpartOnce) {
    EXPECT_EQ(Text::lowercased("/Users/U/Projects"), "/users/u/projects");
    EXPECT_EQ(Text::lowercased("\u00C9COLE \u00D6L"), "\u00E9cole \u00F6l");
    EXPECT_EQ(Text::lowercased("\u0130"), "i\u0307") << "full mapping of capital I with dot";
    EXPECT_EQ(Text::lowercased("\u039F\u0394\u039F\u03A3"), "\u03BF\u03B4\u03BF\u03C2") << "final sigma";
    EXPECT_EQ(Text::lowercased("\u03A3\u0391"), "\u03C3\u03B1") << "sigma not at a word end";
    EXPECT_EQ(Text::lowercased("AB\xFF\xC3Z"), "ab\xFF\xC3z");

    // Sanitising replaces each maximal invalid subpart once.
    EXPECT_EQ(Text::sanitizedUtf8("plain \u00e9"), "plain \u00e9");
    EXPECT_EQ(Text::sanitizedUtf8("a\xFF" "b"), "a\uFFFD" "b");
    EXPECT_EQ(Text::sanitizedUtf8("\xE2\x82" "x"), "\uFFFD" "x") << "a truncated sequence is one subpart";
    EXPECT_EQ(Text::sanitizedUtf8("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD") << "surrogates are not UTF-8";
    EXPECT_EQ(Text::sanitizedUtf8("\xC0\xAF"), "\uFFFD\uFFFD") << "overlong";
    EXPECT_TRUE(Text::isValidUtf8(Text::sanitizedUtf8("\xF4\x90\x80\x80 tail")));
    EXPECT_FALSE(Text::isValidUtf8("\xF8"));
}

TEST(Iso8601Test, FormatsWholeSecondsInUtcAndParsesOffsets) {
    using namespace std::chrono;
    const auto time = TimePoint{sys_days{year{2026} / 1 / 31}} + hours{9} + minutes{5} + milliseconds{999};
    EXPECT_EQ(Iso8601::format(time), "2026-01-31T09:05:00Z");
    EXPECT_EQ(Iso8601::format(TimePoint{sys_days{year{1969} / 12 / 31}} + hours{23} + minutes{59} + seconds{59}),
              "1969-12-31T23:59:59Z");
    EXPECT_EQ(Iso8601::parse("2026-01-31T09:05:00Z"), floor<seconds>(time));
    EXPECT_EQ(Iso8601::parse("2026-01-31T10:05:00+01:00"), floor<seconds>(time));
    EXPECT_EQ(Iso8601::parse("2026-01-31T09:05:00.25Z"), floor<seconds>(time) + milliseconds{0});
    for (const auto* bad : {"2026-02-30T00:00:00Z", "2026-01-31 09:05:00Z", "2026-01-31T09:05:00", "2026-01-31T09:05:00Zjunk"}) {
        EXPECT_FALSE(Iso8601::parse(bad)) << bad;
    }
    EXPECT_LT(distantPast, *Iso8601::parse("1970-01-01T00:00:00Z"));
}

TEST(UuidTest, RandomUuidsAreVersionFourAndSpelledInUpperCase) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const Uuid uuid;
        const auto text = uuid.uuidString();
        EXPECT_TRUE(std::regex_match(text, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}"))) << text;
        EXPECT_EQ(Uuid::fromString(text), uuid);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_FALSE(Uuid::fromString("E621E1F8C36C495A93FC0C247A3E6E5F"));
    EXPECT_FALSE(Uuid::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5G"));
}

TEST(LoggerTest, PrivateArgumentsAreRedactedAndRecordsReachTheSink) {
    test::LogCapture capture;
    const Logger logger("com.example", "tests");
    logger.error("failed %{private}s: %{public}s (%d items, %s)", "/secret/path", "denied", 3, "plain");
    logger.info("100%% done with %{public}lld", 42LL);
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(std::tuple(records[0].message, records[0].level, records[0].subsystem, records[0].category, records[1].message),
              std::tuple("failed <private>: denied (3 items, <private>)", LogLevel::error, "com.example", "tests",
                         "100% done with 42"));
}

// MARK: JSON

TEST(JsonTests, CompactTextSortsKeysEscapesOntoOneLineLeavesSlashesAndUtf8AloneAndRefusesInvalidUtf8) {
    const nlohmann::json object{{"zeta", 1}, {"path", "/Users/x/caf\u00e9 \xF0\x9F\x93\x81"}, {"alpha", true}};
    EXPECT_EQ(Json::compactText(object).value_or(""), "{\"alpha\":true,\"path\":\"/Users/x/caf\u00e9 \xF0\x9F\x93\x81\",\"zeta\":1}");
    EXPECT_EQ(Json::compactText(nlohmann::json{{"d", std::string("a\"b\\c\nd\re\tf\x01g", 14)}}).value_or(""),
              R"({"d":"a\"b\\c\nd\re\tf\u0001g\u0000"})");
    EXPECT_FALSE(Json::compactText(nlohmann::json{{"path", "/tmp/\xff"}}));
}

TEST(JsonTests, TheStreamingWriterProducesExactlyWhatNlohmannWrites) {
    // Every byte value that can stand alone in UTF-8, plus multi-byte characters and escapes.
    std::string everything;
    for (int c = 1; c < 0x80; ++c) everything += static_cast<char>(c);
    everything += std::string("\0caf\u00e9 \xF0\x9F\x93\x81 \u2014", 15);
    const std::vector<std::string> values = {"", "/Users/x/a b", everything, "tab\there \"quoted\" back\\slash"};
    for (const auto& value : values) {
        std::string written = "prefix:";
        JsonObjectWriter writer(written);
        writer.boolean("a", true).integer("b", -9223372036854775807 - 1).string("c", value);
        writer.unsignedInteger("d", 18446744073709551615u).boolean("e", false);
        ASSERT_TRUE(writer.finish());
        const nlohmann::json reference{{"a", true}, {"b", -9223372036854775807 - 1}, {"c", value},
                                       {"d", 18446744073709551615u}, {"e", false}};
        EXPECT_EQ(written, "prefix:" + *Json::compactText(reference));
    }
}

TEST(JsonTests, TheStreamingWriterRefusesUnsortedKeysAndBadTextAndTakesItsOutputBack) {
    const auto attempt = [](auto build) {
        std::string out = "kept";
        JsonObjectWriter writer(out);
        build(writer);
        const auto finished = writer.finish();
        EXPECT_EQ(out, "kept");
        return finished ? std::string() : finished.error().description;
    };
    EXPECT_NE(attempt([](JsonObjectWriter& w) { w.integer("b", 1).integer("a", 2); }), "");
    EXPECT_NE(attempt([](JsonObjectWriter& w) { w.integer("a", 1).integer("a", 2); }), "");
    EXPECT_NE(attempt([](JsonObjectWriter& w) { w.string("a", "\xff"); }).find("\"a\""), std::string::npos);
    std::string out;
    JsonObjectWriter empty(out);
    ASSERT_TRUE(empty.finish());
    EXPECT_EQ(out, "{}");
}

TEST(JsonTests, ReaderReportsEveryKindOfMemberInDocumentOrderAndRefusesAnythingButOneValidObject) {
    JsonObjectReader reader;
    ASSERT_TRUE(reader.parse(
        R"({"s":"a\/b\u00e9","i":-5,"u":18446744073709551615,"r":1.5,"b":false,"n":null,"a":[1],"o":{}})"));
    const auto members = reader.members();
    std::vector<std::pair<std::string, JsonValue::Kind>> kinds;
    for (const auto& member : members) kinds.emplace_back(member.key, member.value.kind);
    using enum JsonValue::Kind;
    EXPECT_EQ(kinds, (decltype(kinds){{"s", string}, {"i", integer}, {"u", unsignedInteger}, {"r", real}, {"b", boolean},
                                      {"n", null}, {"a", array}, {"o", object}}));
    ASSERT_EQ(members.size(), 8u);
    EXPECT_EQ(std::tuple(std::string(members[0].value.string), members[1].value.integer, members[2].value.unsignedInteger,
                         members[4].value.boolean),
              std::tuple("a/b\u00e9", -5, 18446744073709551615u, false));

    // Anything but one valid object is refused.
    for (const std::string bad : {"[1,2]", "\"text\"", R"({"a":1} {"b":2})", R"({"a":1,})", "{\"a\":\"\xff\"}", ""}) {
        EXPECT_FALSE(reader.parse(bad)) << bad;
    }
    EXPECT_TRUE(reader.parse(" {\"a\":1} "));
    ASSERT_EQ(reader.members().size(), 1u);
}

TEST(JsonTests, ReaderParsesInPlaceOnlyWithinTheTextItWasGivenAndWithinItsLimit) {
    // Padded bytes after the text belong to the next line and must not be read as part of it.
    std::string buffer = R"({"a":1}{"b":2})";
    buffer.append(JsonObjectReader::padding, ' ');
    JsonObjectReader reader;
    ASSERT_TRUE(reader.parse(std::string_view(buffer.data(), 7), buffer.size()));
    ASSERT_EQ(reader.members().size(), 1u);
    EXPECT_EQ(reader.members()[0].key, "a");
    ASSERT_TRUE(reader.parse(std::string_view(buffer.data() + 7, 7), buffer.size() - 7));
    EXPECT_EQ(reader.members()[0].key, "b");
    JsonObjectReader bounded(32);
    EXPECT_TRUE(bounded.parse(R"({"a":"short"})"));
    EXPECT_FALSE(bounded.parse(R"({"a":"a string well over thirty-two bytes long"})"));
}

// MARK: digests

TEST(Sha256Tests, MatchesThePublishedTestVectorsAlsoWhenReused) {
    EXPECT_EQ(Sha256::hexString("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256::hexString(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256::hexString("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Sha256::hexString(std::string(1'000'000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // A reused hasher gives the same digests as fresh ones.
    Sha256 hasher;
    const auto first = hasher.digest("first input");
    const auto second = hasher.digest("second");
    EXPECT_EQ(std::tuple(first, second, hasher.digest("first input")),
              std::tuple(Sha256().digest("first input"), Sha256().digest("second"), first));
}

TEST(Sha256Tests, ThreadsHashingAtOnceAgree) {
    const std::string expected = Sha256::hexString("shared input");
    std::atomic<int> mismatches{0};
    concurrentPerform(8000, [&](std::size_t) { mismatches += Sha256::hexString("shared input") != expected; });
    EXPECT_EQ(mismatches.load(), 0);
}

// MARK: numbers

// The formatter's text for each value.
template <typename Formatter, typename Value>
std::vector<std::string> texts(const Formatter& formatter, std::initializer_list<Value> values) {
    std::vector<std::string> out;
    for (const auto value : values) out.push_back(formatter.string(value));
    return out;
}
using Texts = std::vector<std::string>;
constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();

TEST(ByteCountFormatter, EveryUnitByDefaultSettingsChangeTheTextNotTheValueAndCarriesGoOnlyIntoAnAllowedNeighbour) {
    EXPECT_EQ((texts<ByteCountFormatter, std::int64_t>({}, {0, 1, 999, 1000, 1'234'567'890'123'456, int64Max, -int64Max - 1})),
              (Texts{"Zero bytes", "1 byte", "999 bytes", "1 KB", "1.23 PB", "9.22 EB", "-9.22 EB"}));
    ByteCountFormatter formatter;
    formatter.allowedUnits = ByteCountFormatter::useMB;
    EXPECT_EQ(texts(formatter, {0, 49'999, 50'001, 1'234'000'000}),
              (Texts{"Zero MB", "0 MB", "0.1 MB", "1,234 MB"}));
    formatter.allowsNonnumericFormatting = false;
    formatter.includesUnit = false;
    EXPECT_EQ(texts(formatter, {0, 2'250'000}), (Texts{"0", "2.2"}));

    // A carry goes only into an allowed neighbour: there is no MB to carry 999,950 bytes into.
    formatter = ByteCountFormatter();
    formatter.allowedUnits = ByteCountFormatter::useKB | ByteCountFormatter::useGB;
    EXPECT_EQ(texts(formatter, {999'950, 999'999'999, 1'000'000'000}),
              (Texts{"1,000 KB", "1,000,000 KB", "1 GB"}));
}

TEST(NumberFormatter, RoundsTheShortestDecimalHalfToEvenAndKeepsItsFractionDigitsGroupingAndSpecialValues) {
    NumberFormatter formatter;
    formatter.maximumFractionDigits = 2;
    // 2.675 is 2.67499... as a double but a tie as the shortest decimal; 0.005 ties at the first
    // dropped digit and goes to the even 0; 9.995 carries through every digit.
    EXPECT_EQ(texts(formatter, {2.675, 2.665, 0.005, 0.0051, 9.995, 1e-300, 1.5e20}),
              (Texts{"2.68", "2.66", "0", "0.01", "10", "0", "150000000000000000000"}));

    formatter = NumberFormatter();
    formatter.minimumFractionDigits = 3;  // raises the maximum with it
    EXPECT_EQ(formatter.string(1.5), "1.500");
    formatter.maximumFractionDigits = 5;
    EXPECT_EQ(formatter.string(1.123456), "1.12346");
    formatter.usesGroupingSeparator = true;
    EXPECT_EQ(formatter.string(-1234567.5), "-1,234,567.500");
    EXPECT_EQ(formatter.string(-0.0000001), "-0.000");
    EXPECT_EQ(formatter.string(std::nan("")), "NaN");
    EXPECT_EQ(formatter.string(-INFINITY), "-∞");
    formatter.minimumFractionDigits = -4;
    formatter.maximumFractionDigits = 1000;
    EXPECT_EQ(formatter.string(0.1), "0.1");  // clamped, and the shortest decimal has one digit
}

}  // namespace
}  // namespace vornelo::platform

#include "Platform/Formatters.h"
#include "Platform/Iso8601.h"
#include "Platform/Json.h"
#include "Platform/Logger.h"
#include "Platform/Sha256.h"
#include "Platform/Text.h"
#include "Platform/Uuid.h"
#include "Support/LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vornelo::platform {
namespace {

TEST(TextTest, LowercasingCoversUnicodeAndSanitisingReplacesEachMaximalInvalidSubpartOnce) {
    EXPECT_EQ(Text::lowercased("/Users/U/Projects"), "/users/u/projects");
    EXPECT_EQ(Text::lowercased("\u00C9COLE \u00D6L"), "\u00E9cole \u00F6l");
    EXPECT_EQ(Text::lowercased("\u0130"), "i\u0307") << "full mapping of capital I with dot";
    EXPECT_EQ(Text::lowercased("\u039F\u0394\u039F\u03A3"), "\u03BF\u03B4\u03BF\u03C2") << "final sigma";
    EXPECT_EQ(Text::lowercased("\u03A3\u0391"), "\u03C3\u03B1") << "sigma not at a word end";
    const std::string invalid = "AB\xFF\xC3Z";
    EXPECT_EQ(Text::lowercased(invalid), "ab\xFF\xC3z");

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
    EXPECT_EQ(Iso8601::parse("2026-01-31T09:05:00Z"), floor<seconds>(time));
    EXPECT_EQ(Iso8601::parse("2026-01-31T10:05:00+01:00"), floor<seconds>(time));
    EXPECT_EQ(Iso8601::parse("2026-01-31T09:05:00.25Z"), floor<seconds>(time) + milliseconds{0});
    EXPECT_FALSE(Iso8601::parse("2026-02-30T00:00:00Z"));
    EXPECT_FALSE(Iso8601::parse("2026-01-31 09:05:00Z"));
    EXPECT_FALSE(Iso8601::parse("2026-01-31T09:05:00"));
    EXPECT_FALSE(Iso8601::parse("2026-01-31T09:05:00Zjunk"));
    EXPECT_LT(distantPast, *Iso8601::parse("1970-01-01T00:00:00Z"));
}

TEST(UuidTest, RandomUuidsAreVersionFourAndSpelledInUpperCase) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const Uuid uuid;
        const auto text = uuid.uuidString();
        ASSERT_EQ(text.size(), 36u);
        EXPECT_EQ(text[14], '4');
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos);
        for (const char c : text) EXPECT_FALSE(c >= 'a' && c <= 'f') << text;
        EXPECT_EQ(Uuid::fromString(text), uuid);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(Uuid::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")->uuidString(),
              "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
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
    EXPECT_EQ(records[0].message, "failed <private>: denied (3 items, <private>)");
    EXPECT_EQ(records[0].level, LogLevel::error);
    EXPECT_EQ(records[0].subsystem, "com.example");
    EXPECT_EQ(records[0].category, "tests");
    EXPECT_EQ(records[1].message, "100% done with 42");
}

// MARK: JSON

TEST(JsonTests, CompactTextSortsKeysEscapesOntoOneLineLeavesSlashesAndUtf8AloneAndRefusesInvalidUtf8) {
    const nlohmann::json object{{"zeta", 1}, {"path", "/Users/x/caf\u00e9 \xF0\x9F\x93\x81"}, {"alpha", true}};
    const auto text = Json::compactText(object);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "{\"alpha\":true,\"path\":\"/Users/x/caf\u00e9 \xF0\x9F\x93\x81\",\"zeta\":1}");
    const auto escaped = Json::compactText(nlohmann::json{{"d", std::string("a\"b\\c\nd\re\tf\x01g", 14)}});
    ASSERT_TRUE(escaped);
    EXPECT_EQ(*escaped, R"({"d":"a\"b\\c\nd\re\tf\u0001g\u0000"})");
    const auto invalid = Json::compactText(nlohmann::json{{"path", "/tmp/\xff"}});
    ASSERT_FALSE(invalid);
    EXPECT_FALSE(invalid.error().description.empty());
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
    using enum JsonValue::Kind;
    const std::vector<std::pair<std::string, JsonValue::Kind>> expected{
        {"s", string}, {"i", integer}, {"u", unsignedInteger}, {"r", real}, {"b", boolean}, {"n", null}, {"a", array}, {"o", object}};
    ASSERT_EQ(members.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(std::pair(std::string(members[i].key), members[i].value.kind), expected[i]) << i;
    }
    EXPECT_EQ(members[0].value.string, "a/b\u00e9");
    EXPECT_EQ(members[1].value.integer, -5);
    EXPECT_EQ(members[2].value.unsignedInteger, 18446744073709551615u);
    EXPECT_FALSE(members[4].value.boolean);

    // Anything but one valid object is refused.
    EXPECT_FALSE(reader.parse("[1,2]"));
    EXPECT_FALSE(reader.parse("\"text\""));
    EXPECT_FALSE(reader.parse(R"({"a":1} {"b":2})"));
    EXPECT_FALSE(reader.parse(R"({"a":1,})"));
    EXPECT_FALSE(reader.parse(R"({"a":"\xff"})"));
    EXPECT_FALSE(reader.parse(""));
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
    EXPECT_EQ(first, Sha256().digest("first input"));
    EXPECT_EQ(second, Sha256().digest("second"));
    EXPECT_NE(first, second);
    EXPECT_EQ(hasher.digest("first input"), first);
}

TEST(Sha256Tests, ThreadsHashingAtOnceAgree) {
    const std::string expected = Sha256::hexString("shared input");
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (std::size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (Sha256::hexString("shared input") != expected) ++mismatches[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

// MARK: numbers

TEST(ByteCountFormatter, EveryUnitByDefaultWithWordsForZeroAndOne) {
    const ByteCountFormatter formatter;
    EXPECT_EQ(formatter.string(0), "Zero bytes");
    EXPECT_EQ(formatter.string(1), "1 byte");
    EXPECT_EQ(formatter.string(999), "999 bytes");
    EXPECT_EQ(formatter.string(1000), "1 KB");
    EXPECT_EQ(formatter.string(1'234'567'890'123'456), "1.23 PB");
    EXPECT_EQ(formatter.string(std::numeric_limits<std::int64_t>::max()), "9.22 EB");
    EXPECT_EQ(formatter.string(std::numeric_limits<std::int64_t>::min()), "-9.22 EB");
}

TEST(ByteCountFormatter, SettingsChangeTheTextNotTheValueAndCarriesGoOnlyIntoAnAllowedNeighbour) {
    ByteCountFormatter formatter;
    formatter.allowedUnits = ByteCountFormatter::useMB;
    EXPECT_EQ(formatter.string(0), "Zero MB");
    EXPECT_EQ(formatter.string(49'999), "0 MB");
    EXPECT_EQ(formatter.string(50'001), "0.1 MB");
    EXPECT_EQ(formatter.string(1'234'000'000), "1,234 MB");
    formatter.allowsNonnumericFormatting = false;
    formatter.includesUnit = false;
    EXPECT_EQ(formatter.string(0), "0");
    EXPECT_EQ(formatter.string(2'250'000), "2.2");

    // A carry goes only into an allowed neighbour.
    formatter = ByteCountFormatter();
    formatter.allowedUnits = ByteCountFormatter::useKB | ByteCountFormatter::useGB;
    EXPECT_EQ(formatter.string(999'950), "1,000 KB");  // no MB to carry into
    EXPECT_EQ(formatter.string(999'999'999), "1,000,000 KB");
    EXPECT_EQ(formatter.string(1'000'000'000), "1 GB");
}

TEST(NumberFormatter, RoundsTheShortestDecimalHalfToEven) {
    NumberFormatter formatter;
    formatter.maximumFractionDigits = 2;
    EXPECT_EQ(formatter.string(2.675), "2.68");  // the double is 2.67499..., its decimal a tie
    EXPECT_EQ(formatter.string(2.665), "2.66");
    EXPECT_EQ(formatter.string(0.005), "0");     // a tie at the first dropped digit, rounded to even 0
    EXPECT_EQ(formatter.string(0.0051), "0.01");
    EXPECT_EQ(formatter.string(9.995), "10");    // the carry runs through every digit
    EXPECT_EQ(formatter.string(1e-300), "0");
    EXPECT_EQ(formatter.string(1.5e20), "150000000000000000000");
}

TEST(NumberFormatter, FractionDigitsGroupingAndSpecialValues) {
    NumberFormatter formatter;
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

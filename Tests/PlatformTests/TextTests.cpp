#include "Platform/Iso8601.h"
#include "Platform/Logger.h"
#include "Platform/Text.h"
#include "Platform/Uuid.h"
#include "Support/LogCapture.h"

#include <gtest/gtest.h>

#include <set>

namespace vornelo::platform {
namespace {

TEST(TextTest, LowercasingCoversUnicodeAndLeavesInvalidBytesAlone) {
    EXPECT_EQ(Text::lowercased("/Users/U/Projects"), "/users/u/projects");
    EXPECT_EQ(Text::lowercased("\u00C9COLE \u00D6L"), "\u00E9cole \u00F6l");
    EXPECT_EQ(Text::lowercased("\u0130"), "i\u0307") << "full mapping of capital I with dot";
    EXPECT_EQ(Text::lowercased("\u039F\u0394\u039F\u03A3"), "\u03BF\u03B4\u03BF\u03C2") << "final sigma";
    EXPECT_EQ(Text::lowercased("\u03A3\u0391"), "\u03C3\u03B1") << "sigma not at a word end";
    const std::string invalid = "AB\xFF\xC3Z";
    EXPECT_EQ(Text::lowercased(invalid), "ab\xFF\xC3z");
}

TEST(TextTest, SanitisingReplacesEachMaximalInvalidSubpartOnce) {
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

}  // namespace
}  // namespace vornelo::platform

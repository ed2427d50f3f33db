#include "Helper/HelperLog.h"

#include "Support/LogCapture.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>


namespace vornelo::helper {
namespace {

TEST(HelperLogTest, ClientValuesCannotBreakOrFakeALine) {
    const struct {
        std::string value;
        std::string logged;
    } cases[] = {
        {"/Applications/Foo Bar.app", "/Applications/Foo Bar.app"},
        {"caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac", "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac"},
        {"a\nb\rc\td", "a\\nb\\rc\\td"},
        {"\x1b[31mred\x7f", "\\x1b[31mred\\x7f"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"back\\nslash", "back\\\\nslash"},
        {"next\xc2\x85line\xc2\x9f", "next\\u0085line\\u009f"},
        {"\xe2\x80\xa8 \xe2\x80\xa9", "\\u2028 \\u2029"},
        {"\xff\xc0\xaf", "\\xff\\xc0\\xaf"},                 // stray byte, overlong slash
        {"\xed\xa0\x80 \xe2\x80", "\\xed\\xa0\\x80 \\xe2\\x80"},  // surrogate, cut sequence
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(HelperLog::clientValue(testCase.value), testCase.logged) << testCase.logged;
    }
}

TEST(HelperLogTest, WritesWholeTimestampedLinesToTheFileAndTheSystemLog) {
    test::TempDirectory directory;
    test::LogCapture capture;
    const auto file = directory / "Logs" / "Vornelo" / "helper.log";
    const HelperLog log(file, [] { return std::chrono::sys_days{std::chrono::year{2026} / 3 / 4} + std::chrono::hours(5); });

    log.note("helper started (protocol 1)");
    log.note("refused " + HelperLog::clientValue("/x\n2026-03-04T05:00:00Z moved /y") + ": Protected path.");
    EXPECT_EQ(test::readFile(file),
              "2026-03-04T05:00:00Z helper started (protocol 1)\n"
              "2026-03-04T05:00:00Z refused /x\\n2026-03-04T05:00:00Z moved /y: Protected path.\n");
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[0].subsystem + " " + records[0].category + " " + records[0].message,
              "com.tessaldon.Vornelo.helper helper helper started (protocol 1)");
    EXPECT_EQ(records[0].level, platform::LogLevel::defaultLevel);

    // The file is held between lines; one deleted meanwhile is made again, not written into the void.
    std::filesystem::remove_all(directory / "Logs");
    log.note("after rotation");
    EXPECT_EQ(test::readFile(file), "2026-03-04T05:00:00Z after rotation\n");

    // A log folder that cannot be made still leaves the system log line.
    test::writeFile(directory / "blocker");
    HelperLog(directory / "blocker" / "helper.log").note("still told");
    EXPECT_EQ(capture.records().back().message, "still told");
}

}  // namespace
}  // namespace vornelo::helper

#include "Platform/Formatters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace vornelo::platform {
namespace {

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

TEST(ByteCountFormatter, SettingsChangeTheTextNotTheValue) {
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
}

TEST(ByteCountFormatter, CarriesOnlyIntoAnAllowedNeighbour) {
    ByteCountFormatter formatter;
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

#include "Core/ByteSizeFormatter.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vornelo {
namespace {

TEST(ByteSizeFormatter, FormatUsesKilobytesToTerabytesAtTheirBoundaries) {
    EXPECT_EQ(ByteSizeFormatter::format(0), "0 KB");  // digits, not a word
    EXPECT_EQ(ByteSizeFormatter::format(1), "0 KB");  // no plain bytes
    EXPECT_EQ(ByteSizeFormatter::format(501), "1 KB");
    EXPECT_EQ(ByteSizeFormatter::format(1000), "1 KB");
    EXPECT_EQ(ByteSizeFormatter::format(999'499), "999 KB");
    EXPECT_EQ(ByteSizeFormatter::format(1'000'000), "1 MB");
    EXPECT_EQ(ByteSizeFormatter::format(123'456'789), "123.5 MB");
    EXPECT_EQ(ByteSizeFormatter::format(1'234'567'890), "1.23 GB");
    EXPECT_EQ(ByteSizeFormatter::format(1'500'000'000), "1.5 GB");
    EXPECT_EQ(ByteSizeFormatter::format(1'000'000'000'000), "1 TB");
    EXPECT_EQ(ByteSizeFormatter::format(5'000'000'000'000'000), "5,000 TB");  // no petabytes
    EXPECT_EQ(ByteSizeFormatter::format(-1'500'000), "-1.5 MB");
}

TEST(ByteSizeFormatter, FormatCarriesARoundedThousandIntoTheNextUnit) {
    EXPECT_EQ(ByteSizeFormatter::format(999'500), "1 MB");  // 999.5 KB: a tie, up to even 1000
    EXPECT_EQ(ByteSizeFormatter::format(999'950), "1 MB");
    EXPECT_EQ(ByteSizeFormatter::format(999'949'999), "999.9 MB");
    EXPECT_EQ(ByteSizeFormatter::format(999'950'000), "1 GB");
    EXPECT_EQ(ByteSizeFormatter::format(999'999'999), "1 GB");
    EXPECT_EQ(ByteSizeFormatter::format(999'995'000'000), "1 TB");
}

TEST(ByteSizeFormatter, FormatRoundsExactTiesToEven) {
    EXPECT_EQ(ByteSizeFormatter::format(500), "0 KB");
    EXPECT_EQ(ByteSizeFormatter::format(1'500), "2 KB");
    EXPECT_EQ(ByteSizeFormatter::format(2'500), "2 KB");
    EXPECT_EQ(ByteSizeFormatter::format(1'250'000), "1.2 MB");
    EXPECT_EQ(ByteSizeFormatter::format(1'350'000), "1.4 MB");
    EXPECT_EQ(ByteSizeFormatter::format(1'050'000), "1 MB");  // exact: no binary 1.05000...04 to tip it
    EXPECT_EQ(ByteSizeFormatter::format(1'125'000'000), "1.12 GB");
    EXPECT_EQ(ByteSizeFormatter::format(1'135'000'000), "1.14 GB");
}

TEST(ByteSizeFormatter, FormatRoundedGivesWholeMegabytesOrGigabytes) {
    EXPECT_EQ(ByteSizeFormatter::formatRounded(999'999), "1 MB");  // the byte-count text below a megabyte
    EXPECT_EQ(ByteSizeFormatter::formatRounded(-5'000'000), "-5 MB");
    EXPECT_EQ(ByteSizeFormatter::formatRounded(1'000'000), "1 MB");
    EXPECT_EQ(ByteSizeFormatter::formatRounded(250'600'000), "251 MB");
    EXPECT_EQ(ByteSizeFormatter::formatRounded(2'500'000), "2 MB");  // half to even
    EXPECT_EQ(ByteSizeFormatter::formatRounded(999'400'000), "999 MB");
    EXPECT_EQ(ByteSizeFormatter::formatRounded(999'500'000), "1 GB");  // never "1000 MB"
    EXPECT_EQ(ByteSizeFormatter::formatRounded(1'000'000'000), "1 GB");
    EXPECT_EQ(ByteSizeFormatter::formatRounded(1'500'000'000), "2 GB");
    EXPECT_EQ(ByteSizeFormatter::formatRounded(2'500'000'000), "2 GB");
    EXPECT_EQ(ByteSizeFormatter::formatRounded(5'000'000'000'000), "5000 GB");  // no grouping, no TB
}

TEST(ByteSizeFormatter, FormatPercentShowsOneFractionDigit) {
    EXPECT_EQ(ByteSizeFormatter::formatPercent(42.0), "42.0%");
    EXPECT_EQ(ByteSizeFormatter::formatPercent(7.25), "7.2%");
    EXPECT_EQ(ByteSizeFormatter::formatPercent(7.35), "7.4%");
    EXPECT_EQ(ByteSizeFormatter::formatPercent(0.15), "0.2%");  // decimal tie, though the double is below it
    EXPECT_EQ(ByteSizeFormatter::formatPercent(0), "0.0%");
    EXPECT_EQ(ByteSizeFormatter::formatPercent(150), "150.0%");
    EXPECT_EQ(ByteSizeFormatter::formatPercent(99.96), "100.0%");
    EXPECT_EQ(ByteSizeFormatter::formatPercent(std::nan("")), "NaN%");
}

}  // namespace
}  // namespace vornelo

#include "Core/ByteSizeFormatter.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vornelo {
namespace {

struct Sized {
    std::int64_t bytes;
    const char* text;
};

TEST(ByteSizeFormatter, FormatPicksKilobytesToTerabytesRoundsTiesToEvenAndCarriesAThousand) {
    const Sized cases[] = {
        // Digits for zero, no plain bytes, no petabytes, and the sign kept.
        {0, "0 KB"}, {1, "0 KB"}, {501, "1 KB"}, {1000, "1 KB"}, {999'499, "999 KB"}, {1'000'000, "1 MB"},
        {123'456'789, "123.5 MB"}, {1'234'567'890, "1.23 GB"}, {1'500'000'000, "1.5 GB"},
        {1'000'000'000'000, "1 TB"}, {5'000'000'000'000'000, "5,000 TB"}, {-1'500'000, "-1.5 MB"},
        // A value that rounds to a thousand moves up a unit (999.5 KB is a tie, up to even 1000).
        {999'500, "1 MB"}, {999'950, "1 MB"}, {999'949'999, "999.9 MB"}, {999'950'000, "1 GB"},
        {999'999'999, "1 GB"}, {999'995'000'000, "1 TB"},
        // Exact ties go to even; 1.05 MB is exact, with no binary 1.05000...04 to tip it.
        {500, "0 KB"}, {1'500, "2 KB"}, {2'500, "2 KB"}, {1'250'000, "1.2 MB"}, {1'350'000, "1.4 MB"},
        {1'050'000, "1 MB"}, {1'125'000'000, "1.12 GB"}, {1'135'000'000, "1.14 GB"}};
    for (const auto& [bytes, text] : cases) EXPECT_EQ(ByteSizeFormatter::format(bytes), text) << bytes;
}

TEST(ByteSizeFormatter, FormatRoundedGivesWholeMegabytesOrGigabytes) {
    // Below a megabyte the byte-count text; half to even; never "1000 MB"; no grouping, no TB.
    const Sized cases[] = {{999'999, "1 MB"}, {-5'000'000, "-5 MB"}, {1'000'000, "1 MB"}, {250'600'000, "251 MB"},
                           {2'500'000, "2 MB"}, {999'400'000, "999 MB"}, {999'500'000, "1 GB"},
                           {1'000'000'000, "1 GB"}, {1'500'000'000, "2 GB"}, {2'500'000'000, "2 GB"},
                           {5'000'000'000'000, "5000 GB"}};
    for (const auto& [bytes, text] : cases) EXPECT_EQ(ByteSizeFormatter::formatRounded(bytes), text) << bytes;
}

TEST(ByteSizeFormatter, FormatPercentShowsOneFractionDigit) {
    // 0.15 is a decimal tie, though the double is below it.
    const std::pair<double, const char*> cases[] = {{42.0, "42.0%"}, {7.25, "7.2%"},     {7.35, "7.4%"},
                                                    {0.15, "0.2%"},  {0, "0.0%"},        {150, "150.0%"},
                                                    {99.96, "100.0%"}, {std::nan(""), "NaN%"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(ByteSizeFormatter::formatPercent(value), text) << value;
}

}  // namespace
}  // namespace vornelo

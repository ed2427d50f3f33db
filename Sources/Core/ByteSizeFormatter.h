#pragma once
// The short texts the application shows for sizes and percentages, in English.
//
// format(bytes): the platform byte-count formatter (platform::ByteCountFormatter) configured once
// with KB, MB, GB and TB only (no plain bytes, no petabytes), the file count style (decimal,
// 1 KB = 1000 bytes) and digits for zero. Its rules, in short:
//   - the unit is the largest of KB...TB that the count reaches, KB below one kilobyte;
//   - fraction digits: none in KB, one in MB, two in GB and TB, trailing zeros dropped;
//   - half to even on the exact count: 1,500 B -> "2 KB", 2,500 B -> "2 KB", 1,250,000 B -> "1.2 MB";
//   - a value that rounds to 1000 carries into the next unit: 999,950 B -> "1 MB",
//     999,999,999 B -> "1 GB", 999,995,000,000 B -> "1 TB";
//   - zero is "0 KB"; a count under 500 bytes rounds to "0 KB", 500 bytes (a tie) too, 501 to "1 KB";
//   - thousands are grouped beyond TB: 5 x 10^15 B -> "5,000 TB";
//   - negative counts keep their sign: -1,500,000 B -> "-1.5 MB".
//
// formatRounded(bytes): below 1,000,000 bytes the format() text; otherwise a whole number of
// decimal megabytes, or of gigabytes from 1,000,000,000 bytes on, rounded half to even and followed
// by " MB" or " GB", with no grouping and no unit above GB: 250,600,000 B -> "251 MB",
// 1,500,000,000 B -> "2 GB", 2,500,000,000 B -> "2 GB", 5 x 10^12 B -> "5000 GB". From 999,500,000
// bytes on the megabytes would round to 1000, so those read "1 GB".
//
// formatPercent(value): the value as given (42.5 means 42.5 %), with exactly one fraction digit
// rounded half to even on its shortest decimal form, then "%": 42 -> "42.0%", 7.25 -> "7.2%",
// 7.35 -> "7.4%", 150 -> "150.0%"; "NaN%" and "∞%" for the non-finite values.
//
// Thread safety: every function may be called from any thread; the shared formatter is created
// once, on first use, and never changes.

#include <cstdint>
#include <string>

namespace vornelo {

struct ByteSizeFormatter {
    [[nodiscard]] static std::string format(std::int64_t bytes);
    [[nodiscard]] static std::string formatRounded(std::int64_t bytes);
    [[nodiscard]] static std::string formatPercent(double value);
};

}  // namespace vornelo

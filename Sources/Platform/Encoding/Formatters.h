#pragma once
// Byte-count and number formatting with the platform's rules for the English locale.
//
// Both formatters round half to even on the decimal value: a byte count is divided exactly in
// integer arithmetic, and a double is first written as its shortest round-trip decimal (7.25 is
// "7.25", not 7.24999...), so a tie in the decimal text is a tie, as in the platform's formatters.
//
// Thread safety: a formatter is an immutable value once configured; string() may be called from
// any thread.

#include <cstdint>
#include <string>

namespace vornelo::platform {

// The file count style: decimal units, 1 KB = 1000 bytes.
//
// Rules, in order:
// 1. Unit. The largest allowed unit whose size (1000^n bytes) the magnitude reaches; below every
//    allowed unit, the smallest allowed one. An empty unit mask allows every unit.
// 2. Fraction digits (adaptive): none for bytes and KB, one for MB, two for GB and above.
// 3. Rounding: half to even at that digit, on the exact count (1,500 bytes -> "2 KB",
//    2,500 bytes -> "2 KB", 1,250,000 bytes -> "1.2 MB").
// 4. Carry: a rounded value that reaches 1000 moves into the next unit when that unit is allowed
//    (999,950 bytes -> "1 MB", 999,999,999 bytes -> "1 GB"; never "1,000 KB"). Without that unit
//    the value stays, so a count beyond the largest allowed unit reads "5,000 TB".
// 5. Text: trailing fraction zeros are dropped ("1 GB", "1.5 GB"); the integer part is grouped
//    by thousands with ","; "." is the decimal mark; a space and the unit follow ("bytes", "byte"
//    for exactly one, "KB", "MB", "GB", "TB", "PB", "EB").
// 6. Zero: "Zero" in place of the digits when non-numeric formatting is allowed, else "0".
// 7. Negative counts are formatted by magnitude with a leading "-", which stays when the value
//    rounds to zero ("-0 KB"), as the platform's number formatting does.
class ByteCountFormatter {
public:
    enum Unit : unsigned {
        useBytes = 1u << 0,
        useKB = 1u << 1,
        useMB = 1u << 2,
        useGB = 1u << 3,
        useTB = 1u << 4,
        usePB = 1u << 5,
        useEB = 1u << 6,
        useAll = 0x7Fu,
    };

    unsigned allowedUnits = useAll;
    bool includesUnit = true;
    bool allowsNonnumericFormatting = true;

    [[nodiscard]] std::string string(std::int64_t byteCount) const;
};

// Plain decimal numbers (no grouping unless asked).
//
// Rules: the value is rounded half to even to maximumFractionDigits; trailing fraction zeros are
// dropped down to minimumFractionDigits, and zeros are added up to it; "." is the decimal mark;
// grouping by thousands with "," only when usesGroupingSeparator is set. A negative value keeps its
// "-" even when it rounds to zero ("-0.0"). Not-a-number reads "NaN", infinities "∞" and "-∞".
// Fraction digit counts are clamped to 0...100; a minimum above the maximum raises the maximum.
class NumberFormatter {
public:
    int minimumFractionDigits = 0;
    int maximumFractionDigits = 0;
    bool usesGroupingSeparator = false;

    [[nodiscard]] std::string string(double value) const;
};

}  // namespace vornelo::platform

#include "Platform/Encoding/Formatters.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

namespace vornelo::platform {

namespace {

constexpr int unitCount = 7;  // bytes ... EB
constexpr std::array<std::string_view, unitCount> unitNames = {"bytes", "KB", "MB", "GB", "TB", "PB", "EB"};

constexpr std::uint64_t powerOf10(int exponent) {
    std::uint64_t value = 1;
    for (int i = 0; i < exponent; ++i) value *= 10;
    return value;
}

constexpr int adaptiveFractionDigits(int unit) {
    if (unit <= 1) return 0;
    return unit == 2 ? 1 : 2;
}

bool isAllowed(unsigned mask, int unit) { return unit >= 0 && unit < unitCount && (mask & (1u << unit)) != 0; }

// n / step rounded half to even.
std::uint64_t roundedQuotient(std::uint64_t n, std::uint64_t step) {
    std::uint64_t quotient = n / step;
    const std::uint64_t twiceRemainder = (n % step) * 2;  // step <= 10^16, no overflow
    if (twiceRemainder > step || (twiceRemainder == step && quotient % 2 == 1)) ++quotient;
    return quotient;
}

std::string grouped(std::string_view digits) {
    std::string text;
    text.reserve(digits.size() + digits.size() / 3);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
        text.push_back(digits[i]);
    }
    return text;
}

// "digits" holds a non-negative integer scaled by 10^fractionDigits.
std::string decimalText(std::string digits, int fractionDigits, int minimumFractionDigits, bool grouping) {
    const auto scale = static_cast<std::size_t>(fractionDigits);
    if (digits.size() <= scale) digits.insert(0, scale + 1 - digits.size(), '0');
    std::string integer = digits.substr(0, digits.size() - scale);
    std::string fraction = digits.substr(digits.size() - scale);
    while (fraction.size() > static_cast<std::size_t>(minimumFractionDigits) && fraction.back() == '0') {
        fraction.pop_back();
    }
    std::string text = grouping ? grouped(integer) : integer;
    if (!fraction.empty()) text += "." + fraction;
    return text;
}

struct Choice {
    int unit = 0;
    std::uint64_t scaled = 0;  // the rounded value times 10^fractionDigits
};

Choice chooseUnit(std::uint64_t magnitude, unsigned mask) {
    int unit = -1;
    for (int candidate = 0; candidate < unitCount; ++candidate) {
        if (isAllowed(mask, candidate) && (unit < 0 || magnitude >= powerOf10(3 * candidate))) unit = candidate;
    }
    auto rounded = [magnitude](int chosen) {
        const auto step = powerOf10(3 * chosen - adaptiveFractionDigits(chosen));
        return roundedQuotient(magnitude, step);
    };
    Choice choice{unit, rounded(unit)};
    const auto limit = 1000 * powerOf10(adaptiveFractionDigits(unit));
    if (choice.scaled >= limit && isAllowed(mask, unit + 1)) choice = Choice{unit + 1, rounded(unit + 1)};
    return choice;
}

// The shortest decimal that reads back as `value` (which is finite and not negative), as an
// integer digit string and a power of ten: value = digits x 10^exponent.
std::pair<std::string, int> shortestDecimal(double value) {
    std::array<char, 64> buffer{};
    const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::scientific);
    const std::string_view text(buffer.data(), static_cast<std::size_t>(written.ptr - buffer.data()));
    const auto e = text.find('e');
    std::string digits;
    for (const char c : text.substr(0, e)) {
        if (c != '.') digits.push_back(c);
    }
    std::string_view exponentText = text.substr(e + 1);
    if (!exponentText.empty() && exponentText.front() == '+') exponentText.remove_prefix(1);
    int exponent = 0;
    std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), exponent);
    return {digits, exponent - static_cast<int>(digits.size()) + 1};
}

// digits x 10^exponent rounded half to even to an integer number of 10^-fractionDigits.
std::string roundedDigits(const std::string& digits, int exponent, int fractionDigits) {
    const int shift = exponent + fractionDigits;
    if (shift >= 0) return digits + std::string(static_cast<std::size_t>(shift), '0');
    const auto drop = static_cast<std::size_t>(-shift);
    if (drop > digits.size()) return "0";  // below a tenth of the last kept digit
    std::string kept = digits.substr(0, digits.size() - drop);
    const std::string_view rest = std::string_view(digits).substr(digits.size() - drop);
    if (kept.empty()) kept = "0";
    const bool aboveHalf = rest.front() > '5' ||
                           (rest.front() == '5' && rest.find_first_not_of('0', 1) != std::string_view::npos);
    const bool tie = rest.front() == '5' && !aboveHalf;
    const bool odd = (kept.back() - '0') % 2 == 1;
    if (!aboveHalf && !(tie && odd)) return kept;
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
        if (*it != '9') {
            ++*it;
            return kept;
        }
        *it = '0';
    }
    return "1" + kept;
}

}  // namespace

std::string ByteCountFormatter::string(std::int64_t byteCount) const {
    const unsigned mask = (allowedUnits & useAll) == 0 ? useAll : (allowedUnits & useAll);
    const bool negative = byteCount < 0;
    // Negating in unsigned arithmetic keeps the most negative count representable.
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(byteCount)
                                             : static_cast<std::uint64_t>(byteCount);
    const auto choice = chooseUnit(magnitude, mask);
    const int digits = adaptiveFractionDigits(choice.unit);

    std::string number;
    if (magnitude == 0 && allowsNonnumericFormatting) {
        number = "Zero";
    } else {
        number = (negative ? "-" : "") + decimalText(std::to_string(choice.scaled), digits, 0, true);
    }
    if (!includesUnit) return number;
    const bool singular = choice.unit == 0 && choice.scaled == 1;
    return number + " " + std::string(singular ? std::string_view("byte") : unitNames[static_cast<std::size_t>(choice.unit)]);
}

std::string NumberFormatter::string(double value) const {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-∞" : "∞";
    const int minimum = std::clamp(minimumFractionDigits, 0, 100);
    const int maximum = std::max(std::clamp(maximumFractionDigits, 0, 100), minimum);
    const auto [digits, exponent] = shortestDecimal(std::fabs(value));
    const auto rounded = roundedDigits(digits, exponent, maximum);
    const auto first = rounded.find_first_not_of('0');
    const std::string trimmed = first == std::string::npos ? "0" : rounded.substr(first);
    return (std::signbit(value) ? "-" : "") + decimalText(trimmed, maximum, minimum, usesGroupingSeparator);
}

}  // namespace vornelo::platform

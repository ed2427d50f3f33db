#include "Platform/Encoding/Iso8601.h"

#include <charconv>

namespace vornelo::platform {

using namespace std::chrono;

namespace {

void putDigits(char* out, unsigned value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

}  // namespace

std::string Iso8601::format(TimePoint time) {
    const auto seconds = floor<std::chrono::seconds>(time);
    const auto days = floor<std::chrono::days>(seconds);
    const year_month_day date{days};
    const hh_mm_ss clock{seconds - days};
    // Written digit by digit: every log line and every export of one formats a time. A system
    // clock's time point spans only the years 1677 to 2262, so the year has four digits.
    std::string text = "0000-00-00T00:00:00Z";
    putDigits(text.data(), static_cast<unsigned>(static_cast<int>(date.year())), 4);
    putDigits(text.data() + 5, static_cast<unsigned>(date.month()), 2);
    putDigits(text.data() + 8, static_cast<unsigned>(date.day()), 2);
    putDigits(text.data() + 11, static_cast<unsigned>(clock.hours().count()), 2);
    putDigits(text.data() + 14, static_cast<unsigned>(clock.minutes().count()), 2);
    putDigits(text.data() + 17, static_cast<unsigned>(clock.seconds().count()), 2);
    return text;
}

namespace {

bool readNumber(std::string_view text, std::size_t position, std::size_t digits, int& value) {
    if (position + digits > text.size()) return false;
    for (std::size_t i = position; i < position + digits; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    const auto* first = text.data() + position;
    return std::from_chars(first, first + digits, value).ec == std::errc{};
}

bool expect(std::string_view text, std::size_t position, char c) {
    return position < text.size() && text[position] == c;
}

}  // namespace

std::optional<TimePoint> Iso8601::parse(std::string_view text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!readNumber(text, 0, 4, y) || !expect(text, 4, '-') || !readNumber(text, 5, 2, mo) ||
        !expect(text, 7, '-') || !readNumber(text, 8, 2, d) || !expect(text, 10, 'T') ||
        !readNumber(text, 11, 2, h) || !expect(text, 13, ':') || !readNumber(text, 14, 2, mi) ||
        !expect(text, 16, ':') || !readNumber(text, 17, 2, s)) {
        return std::nullopt;
    }
    std::size_t position = 19;
    if (expect(text, position, '.')) {
        ++position;
        const auto start = position;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9') ++position;
        if (position == start) return std::nullopt;
    }
    int offsetMinutes = 0;
    if (expect(text, position, 'Z')) {
        ++position;
    } else if (expect(text, position, '+') || expect(text, position, '-')) {
        const int sign = text[position] == '-' ? -1 : 1;
        int oh = 0, om = 0;
        if (!readNumber(text, position + 1, 2, oh)) return std::nullopt;
        position += 3;
        if (expect(text, position, ':')) ++position;
        if (!readNumber(text, position, 2, om)) return std::nullopt;
        position += 2;
        if (oh > 23 || om > 59) return std::nullopt;
        offsetMinutes = sign * (oh * 60 + om);
    } else {
        return std::nullopt;
    }
    if (position != text.size()) return std::nullopt;
    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!date.ok() || h > 23 || mi > 59 || s > 60) return std::nullopt;
    const auto local = sys_days{date} + hours{h} + minutes{mi} + seconds{s};
    const sys_seconds instant = local - minutes{offsetMinutes};
    // The clock counts nanoseconds in 64 bits (years 1678 to 2262); a date outside that cannot
    // be represented, and converting it would overflow.
    if (instant < floor<seconds>(TimePoint::min()) + seconds{1} || instant > floor<seconds>(TimePoint::max())) {
        return std::nullopt;
    }
    return TimePoint{instant};
}

}  // namespace vornelo::platform

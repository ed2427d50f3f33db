#include "Platform/Encoding/Iso8601.h"

#include <charconv>
#include <cstdio>

namespace vornelo::platform {

using namespace std::chrono;

std::string Iso8601::format(TimePoint time) {
    const auto seconds = floor<std::chrono::seconds>(time);
    const auto days = floor<std::chrono::days>(seconds);
    const year_month_day date{days};
    const hh_mm_ss clock{seconds - days};
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return buffer;
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

#pragma once
// ISO 8601 timestamps as files carry them: UTC, whole seconds, "Z" (2026-01-31T09:05:00Z).

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vornelo::platform {

using TimePoint = std::chrono::system_clock::time_point;

// Earlier than any real timestamp; stands for "never". Kept inside the range of the
// nanosecond clock so that differences with it cannot overflow.
inline constexpr TimePoint distantPast =
    TimePoint{std::chrono::sys_days{std::chrono::year{1700} / 1 / 1}};

struct Iso8601 {
    // Fractions of a second are dropped (truncated towards the past).
    [[nodiscard]] static std::string format(TimePoint time);

    // Accepts yyyy-MM-ddTHH:mm:ss with an optional fraction, followed by "Z" or an offset
    // "+HH:MM" / "-HH:MM" / "+HHMM". Anything else, an impossible date, or one outside the
    // range of TimePoint (years 1678 to 2262), gives nothing.
    [[nodiscard]] static std::optional<TimePoint> parse(std::string_view text);
};

}  // namespace vornelo::platform

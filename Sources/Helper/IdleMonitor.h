#pragma once
// Ends the helper once no removal request has been in progress for a while: requests are counted
// in and out, and a repeating tick exits the process (status 0, no clean-up) when none is active
// and more than the threshold has passed since the last one was counted out. With the default
// times (first tick 30 s after start, every 30 s, threshold 60 s) an idle helper goes between 60
// and 90 s after its last request. Only requests count: open connections and version calls do not,
// except that a newly admitted connection restarts the idle clock, so a client that has just
// connected is not cut off before its first request arrives.
//
// The times, the clock and the exit are injectable so tests can run the monitor scaled down. The
// decision and the exit happen under the lock, so a request is never counted in and then cut off.
//
// Thread safety: beginRequest, endRequest, noteActivity and tick may be called from any thread. The timer runs
// on a thread of its own from start() until the object is destroyed.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

namespace vornelo::helper {

struct IdleTiming {
    std::chrono::milliseconds firstTick{30'000};
    std::chrono::milliseconds period{30'000};
    std::chrono::milliseconds threshold{60'000};  // idle only when strictly more has passed

    // Leaves between `seconds` and one and a half times it after the last request, as the
    // defaults do for 60: ticks every half of it. Nothing for text that is not a number of
    // seconds above 0 and at most a day (fractions down to 0.01 allowed).
    static std::optional<IdleTiming> after(std::string_view seconds);
};

class IdleMonitor {
public:
    using TimePoint = std::chrono::system_clock::time_point;

    using Timing = IdleTiming;
    using Clock = std::function<TimePoint()>;
    using Exit = std::function<void()>;

    // The idle clock counts from construction.
    explicit IdleMonitor(Timing timing = {}, Clock clock = [] { return std::chrono::system_clock::now(); },
                         Exit exit = {});
    ~IdleMonitor();
    IdleMonitor(const IdleMonitor&) = delete;
    IdleMonitor& operator=(const IdleMonitor&) = delete;

    // Arms the repeating tick. Called once.
    void start();
    void beginRequest();
    void endRequest();
    // Restarts the idle clock without counting a request in.
    void noteActivity();
    // One tick; true when it found the helper idle and called the exit.
    bool tick();

    std::int64_t activeRequests() const;

private:
    Timing timing_;
    Clock clock_;
    Exit exit_;
    mutable std::mutex lock_;  // guards lastActivity_, active_
    TimePoint lastActivity_;
    std::int64_t active_ = 0;
    std::condition_variable_any wake_;
    std::mutex wakeLock_;
    std::jthread timer_;
};

}  // namespace vornelo::helper

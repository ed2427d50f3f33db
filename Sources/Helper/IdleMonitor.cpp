#include "Helper/IdleMonitor.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace vornelo::helper {

std::optional<IdleTiming> IdleTiming::after(std::string_view seconds) {
    double value = 0;
    const auto* end = seconds.data() + seconds.size();
    const auto [stop, error] = std::from_chars(seconds.data(), end, value, std::chars_format::fixed);
    if (error != std::errc() || stop != end || !std::isfinite(value) || value < 0.01 || value > 86'400) return std::nullopt;
    const std::chrono::milliseconds threshold{std::llround(value * 1000)};
    return IdleTiming{threshold / 2, threshold / 2, threshold};
}

IdleMonitor::IdleMonitor(Timing timing, Clock clock, Exit exit)
    : timing_(timing), clock_(std::move(clock)), exit_(std::move(exit)), lastActivity_(clock_()) {
    if (!exit_) exit_ = [] { std::_Exit(0); };
}

IdleMonitor::~IdleMonitor() {
    if (timer_.joinable()) {
        timer_.request_stop();
        wake_.notify_all();
        timer_.join();
    }
}

void IdleMonitor::start() {
    timer_ = std::jthread([this](std::stop_token stop) {
        auto deadline = std::chrono::steady_clock::now() + timing_.firstTick;
        std::unique_lock lock(wakeLock_);
        while (!stop.stop_requested()) {
            if (wake_.wait_until(lock, stop, deadline, [] { return false; })) break;
            if (stop.stop_requested()) break;
            deadline += timing_.period;
            lock.unlock();
            tick();
            lock.lock();
        }
    });
}

void IdleMonitor::beginRequest() {
    std::lock_guard lock(lock_);
    ++active_;
}

void IdleMonitor::endRequest() {
    std::lock_guard lock(lock_);
    if (active_ > 0) --active_;
    lastActivity_ = clock_();
}

void IdleMonitor::noteActivity() {
    std::lock_guard lock(lock_);
    lastActivity_ = clock_();
}

bool IdleMonitor::tick() {
    std::lock_guard lock(lock_);
    if (active_ != 0) return false;
    const std::chrono::duration<double> elapsed = clock_() - lastActivity_;
    if (elapsed <= timing_.threshold) return false;
    // Still under the lock: a request arriving now waits and never starts in a dying process.
    exit_();
    return true;
}

std::int64_t IdleMonitor::activeRequests() const {
    std::lock_guard lock(lock_);
    return active_;
}

}  // namespace vornelo::helper

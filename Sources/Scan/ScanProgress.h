#pragma once
// How far a running scan has come, for a progress line: counters the scanners add to from any
// thread, and the folder being looked at. A reader may look at any time from another thread.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace vornelo::scan {

class ScanProgress {
public:
    void addItems(std::uint64_t count) { items_.fetch_add(count, std::memory_order_relaxed); }
    void addBytesFound(std::int64_t bytes) { bytesFound_.fetch_add(bytes, std::memory_order_relaxed); }
    void setFolder(std::string_view folder) {
        std::lock_guard guard(lock_);
        folder_.assign(folder);
    }
    // What the scan is doing now, as a participle phrase ("Looking", "Comparing files", ...).
    void setPhase(std::string_view phase) {
        std::lock_guard guard(lock_);
        phase_.assign(phase);
        folder_.clear();
    }

    [[nodiscard]] std::uint64_t items() const { return items_.load(std::memory_order_relaxed); }
    [[nodiscard]] std::int64_t bytesFound() const { return bytesFound_.load(std::memory_order_relaxed); }
    [[nodiscard]] std::string folder() const {
        std::lock_guard guard(lock_);
        return folder_;
    }
    [[nodiscard]] std::string phase() const {
        std::lock_guard guard(lock_);
        return phase_;
    }

private:
    std::atomic<std::uint64_t> items_{0};
    std::atomic<std::int64_t> bytesFound_{0};
    mutable std::mutex lock_;
    std::string folder_;
    std::string phase_ = "Looking";
};

}  // namespace vornelo::scan

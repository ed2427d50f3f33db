#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_set>
#include <utility>

namespace vornelo {

// The files with more than one hard link met so far by one walk, so that each counts once, as
// with du. Files with a single link, nearly all of them, never get here, so one lock is enough.
class LinkedFiles {
public:
    // True the first time a (device, inode) is offered.
    bool firstSight(dev_t device, std::uint64_t inode) {
        std::lock_guard guard(mutex_);
        return seen_.emplace(static_cast<std::uint64_t>(device), inode).second;
    }

private:
    struct Hash {
        std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& key) const noexcept {
            return std::hash<std::uint64_t>{}(key.first * 0x9E3779B97F4A7C15ull ^ key.second);
        }
    };
    std::mutex mutex_;
    std::unordered_set<std::pair<std::uint64_t, std::uint64_t>, Hash> seen_;
};

}  // namespace vornelo

#pragma once
// A concurrent work queue in the dispatch style: work items start in submission order and run in
// parallel on a pool that grows while every worker is busy (up to a ceiling) and shrinks again
// when workers stay idle. Meant for work that mostly waits (child processes, I/O), so the
// ceiling is well above the processor count.
//
// Thread safety: async may be called from any thread, from inside work items too.
// Work items must not throw; an escaping exception terminates the process.
// Destruction waits for every submitted item to finish; shared queues are never destroyed.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace vornelo::platform {

class ConcurrentQueue {
public:
    explicit ConcurrentQueue(std::string label, std::size_t maximumThreads = 64,
                             std::chrono::milliseconds idleLifetime = std::chrono::seconds(10));
    ~ConcurrentQueue();
    ConcurrentQueue(const ConcurrentQueue&) = delete;
    ConcurrentQueue& operator=(const ConcurrentQueue&) = delete;

    const std::string& label() const { return label_; }

    void async(std::function<void()> work);

    // Workers alive right now (busy or idle); for tests and diagnostics.
    std::size_t threadCount() const;

private:
    struct State;
    static void workerLoop(const std::shared_ptr<State>& state);

    std::string label_;
    std::shared_ptr<State> state_;
};

}  // namespace vornelo::platform

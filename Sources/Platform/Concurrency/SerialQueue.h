#pragma once
// A serial executor: one worker thread runs the submitted tasks one at a time, first in, first out.
//
// Thread safety: async and sync may be called from any thread. sync called from a task that is
// already running on this queue runs its work inline, since waiting for itself would deadlock.
// Destruction runs every task already submitted, then ends the worker; nothing may be submitted
// during or after destruction. A task that throws from async ends the process (std::terminate).

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>

namespace vornelo::platform {

class SerialQueue {
public:
    // The label names the worker thread (the first 15 bytes, as Linux allows).
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    // Queues the task and returns at once.
    void async(std::function<void()> task);

    // Runs `task` once no task has been submitted for `quiet` (counted from this call), or at
    // destruction, whichever comes first. A later call replaces a pending one, so work that only
    // the last of a stream of tasks needs is done once, after the stream.
    void whenIdle(std::chrono::milliseconds quiet, std::function<void()> task);

    // Runs work after every task submitted before it and returns its result (or rethrows what it
    // threw) on the calling thread.
    template <typename Work>
    std::invoke_result_t<Work&> sync(Work&& work);

    // Whether the calling thread is this queue's worker.
    [[nodiscard]] bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

private:
    void run();

    std::string label_;
    std::mutex mutex_;  // guards tasks_ and stopping_; never held while a task runs
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::function<void()> idleTask_;  // empty when none is pending
    std::chrono::steady_clock::time_point idleAt_{};
    std::thread worker_;  // declared last: it starts once the state above exists
};

template <typename Work>
std::invoke_result_t<Work&> SerialQueue::sync(Work&& work) {
    using Result = std::invoke_result_t<Work&>;
    if (isCurrent()) return work();
    // The promise is shared so that the worker never touches an object the waiting caller has
    // already destroyed.
    auto promise = std::make_shared<std::promise<Result>>();
    auto future = promise->get_future();
    async([promise, &work] {
        try {
            if constexpr (std::is_void_v<Result>) {
                work();
                promise->set_value();
            } else {
                promise->set_value(work());
            }
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    });
    return future.get();
}

}  // namespace vornelo::platform

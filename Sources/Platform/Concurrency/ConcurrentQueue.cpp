#include "Platform/Concurrency/ConcurrentQueue.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace vornelo::platform {

struct ConcurrentQueue::State {
    std::string threadName;
    std::size_t maximumThreads;
    std::chrono::milliseconds idleLifetime;

    std::mutex mutex;
    std::condition_variable workAvailable;
    std::condition_variable allWorkersGone;
    std::deque<std::function<void()>> pending;
    std::size_t threads = 0;
    std::size_t idle = 0;
    bool closing = false;
};

ConcurrentQueue::ConcurrentQueue(std::string label, std::size_t maximumThreads, std::chrono::milliseconds idleLifetime)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
    // The kernel keeps 15 bytes of a thread's name.
    state_->threadName = label_.substr(0, 15);
    state_->maximumThreads = std::max<std::size_t>(maximumThreads, 1);
    state_->idleLifetime = idleLifetime;
}

ConcurrentQueue::~ConcurrentQueue() {
    std::unique_lock lock(state_->mutex);
    state_->closing = true;
    state_->workAvailable.notify_all();
    state_->allWorkersGone.wait(lock, [&] { return state_->threads == 0; });
}

void ConcurrentQueue::async(std::function<void()> work) {
    bool startWorker = false;
    {
        std::lock_guard lock(state_->mutex);
        state_->pending.push_back(std::move(work));
        // An idle worker that has not yet picked up earlier items is already spoken for.
        if (state_->idle < state_->pending.size() && state_->threads < state_->maximumThreads) {
            ++state_->threads;
            startWorker = true;
        }
    }
    if (!startWorker) {
        state_->workAvailable.notify_one();
        return;
    }
    // Workers hold the state themselves, so a thread still winding down never touches a freed queue.
    std::thread([state = state_] { workerLoop(state); }).detach();
}

std::size_t ConcurrentQueue::threadCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->threads;
}

void ConcurrentQueue::workerLoop(const std::shared_ptr<State>& state) {
    ::pthread_setname_np(::pthread_self(), state->threadName.c_str());
    std::unique_lock lock(state->mutex);
    for (;;) {
        if (state->pending.empty()) {
            if (state->closing) break;
            ++state->idle;
            const bool woken = state->workAvailable.wait_for(
                lock, state->idleLifetime, [&] { return !state->pending.empty() || state->closing; });
            --state->idle;
            if (!woken) break;
            continue;
        }
        auto work = std::move(state->pending.front());
        state->pending.pop_front();
        lock.unlock();
        work();
        work = nullptr;  // captured resources go before the next wait, not after it
        lock.lock();
    }
    --state->threads;
    if (state->threads == 0) state->allWorkersGone.notify_all();
}

}  // namespace vornelo::platform

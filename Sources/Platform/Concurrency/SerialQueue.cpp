#include "Platform/Concurrency/SerialQueue.h"

#include <pthread.h>

#include <utility>

namespace vornelo::platform {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), worker_([this] { run(); }) {}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void SerialQueue::whenIdle(std::chrono::milliseconds quiet, std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        idleTask_ = std::move(task);
        idleAt_ = std::chrono::steady_clock::now() + quiet;
    }
    wake_.notify_one();
}

void SerialQueue::run() {
    // Named for debuggers and `top -H`; a failure only loses the name.
    ::pthread_setname_np(::pthread_self(), label_.substr(0, 15).c_str());
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            for (;;) {
                if (!tasks_.empty()) {
                    task = std::move(tasks_.front());
                    tasks_.pop_front();
                    break;
                }
                // Quiet long enough, or stopping: the idle task runs before the worker ends.
                if (idleTask_ && (stopping_ || std::chrono::steady_clock::now() >= idleAt_)) {
                    task = std::exchange(idleTask_, nullptr);
                    break;
                }
                if (stopping_) return;  // everything submitted has run
                if (idleTask_) {
                    wake_.wait_until(lock, idleAt_);
                } else {
                    wake_.wait(lock);
                }
            }
        }
        task();
    }
}

}  // namespace vornelo::platform

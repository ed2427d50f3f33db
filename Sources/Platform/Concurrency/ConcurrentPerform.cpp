#include "Platform/Concurrency/ConcurrentPerform.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vornelo::platform {

namespace {

// One call of concurrentPerform: iterations are claimed one at a time from `next`.
struct Job {
    Job(std::size_t count, const std::function<void(std::size_t)>& work) : iterations(count), body(work) {}

    const std::size_t iterations;
    const std::function<void(std::size_t)>& body;
    std::atomic<std::size_t> next{0};

    std::mutex mutex;
    std::condition_variable finished;
    std::size_t completed = 0;          // guarded by mutex
    std::exception_ptr firstFailure;    // guarded by mutex

    bool exhausted() const { return next.load(std::memory_order_relaxed) >= iterations; }

    // Runs iterations until none is left to claim.
    void work() {
        std::size_t done = 0;
        std::exception_ptr failure;
        for (;;) {
            const std::size_t index = next.fetch_add(1, std::memory_order_relaxed);
            if (index >= iterations) break;
            try {
                body(index);
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
            ++done;
        }
        if (done == 0 && !failure) return;
        std::lock_guard lock(mutex);
        if (failure && !firstFailure) firstFailure = failure;
        completed += done;
        if (completed == iterations) finished.notify_all();
    }
};

class Pool {
public:
    static Pool& shared() {
        static Pool pool;
        return pool;
    }

    std::size_t workerCount() const { return workers_.size(); }

    void submit(const std::shared_ptr<Job>& job, std::size_t helpersWanted) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(job);
        }
        if (helpersWanted >= workers_.size()) {
            wake_.notify_all();
        } else {
            for (std::size_t i = 0; i < helpersWanted; ++i) wake_.notify_one();
        }
    }

    void withdraw(const std::shared_ptr<Job>& job) {
        std::lock_guard lock(mutex_);
        std::erase(queue_, job);
    }

    ~Pool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& worker : workers_) worker.join();
    }

    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

private:
    Pool() {
        const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
        // The caller works too, so processors - 1 helpers keep every processor busy.
        const unsigned helpers = std::max(1u, processors - 1);
        workers_.reserve(helpers);
        for (unsigned i = 0; i < helpers; ++i) workers_.emplace_back([this] { run(); });
    }

    void run() {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
                job = queue_.front();
                if (job->exhausted()) {
                    queue_.pop_front();
                    continue;
                }
            }
            job->work();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Job>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace

void concurrentPerform(std::size_t iterations, const std::function<void(std::size_t)>& body) {
    if (iterations == 0) return;
    auto job = std::make_shared<Job>(iterations, body);
    auto& pool = Pool::shared();
    if (iterations > 1) pool.submit(job, iterations - 1);
    job->work();
    if (iterations > 1) pool.withdraw(job);
    std::unique_lock lock(job->mutex);
    job->finished.wait(lock, [&] { return job->completed == job->iterations; });
    if (job->firstFailure) std::rethrow_exception(job->firstFailure);
}

std::size_t concurrentPerformWorkerCount() { return Pool::shared().workerCount(); }

}  // namespace vornelo::platform

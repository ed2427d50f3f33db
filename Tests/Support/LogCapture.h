#pragma once
// Replaces the process-wide log sink for the life of the object and keeps what was logged.

#include "Platform/System/Logger.h"

#include <memory>
#include <mutex>
#include <vector>

namespace vornelo::test {

class LogCapture {
public:
    LogCapture() : state_(std::make_shared<State>()) {
        platform::Logger::setSink([state = state_](const platform::LogRecord& record) {
            std::lock_guard lock(state->mutex);
            state->records.push_back(record);
        });
    }
    ~LogCapture() { platform::Logger::setSink({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<platform::LogRecord> records() const {
        std::lock_guard lock(state_->mutex);
        return state_->records;
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<platform::LogRecord> records;
    };
    std::shared_ptr<State> state_;
};

}  // namespace vornelo::test

#pragma once
// Steps the platform and command-line tests share: waiting for a state another thread or process
// brings about, expecting a failure of one kind, and changes to the environment or the umask that
// last one scope.

#include "Platform/Files/FileError.h"
#include "Support/ChildProcess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace vornelo::test {

// True once `condition` holds; the bound only keeps a broken run from hanging the suite.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds bound = std::chrono::minutes(1)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The result is a failure with the file framework's `code`.
template <typename Value>
::testing::AssertionResult failsWith(const std::expected<Value, platform::FileError>& result, int code) {
    if (result) return ::testing::AssertionFailure() << "succeeded";
    if (result.error().isCocoa(code)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "failed with code " << result.error().code << ": " << result.error().description;
}

// An environment variable set (or, given nothing, unset) until the end of the scope.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* previous = std::getenv(name)) previous_ = previous;
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedVariable() { previous_ ? ::setenv(name_, previous_->c_str(), 1) : ::unsetenv(name_); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> previous_;
};

// What `action` returns, run under the umask `mask`.
template <typename Action>
auto underUmask(mode_t mask, Action action) {
    const mode_t previous = ::umask(mask);
    auto result = action();
    ::umask(previous);
    return result;
}

inline std::ptrdiff_t entryCount(const std::filesystem::path& folder) {
    return std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator());
}

}  // namespace vornelo::test

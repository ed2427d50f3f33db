#pragma once
// Runs one shell command as root after an administrator authenticates in the system's own
// prompt, without the privileged helper: the command goes to the scripting host as a
// "do shell script … with administrator privileges" statement, and the host's outcome becomes
// the command's output or a RunError whose text can be shown to the user unchanged.
//
// An administrator can forbid this path with the managed key "DisablePrivilegedTools"; the policy
// is read afresh on every call.
//
// Thread safety: stateless apart from the host path; calls are independent and may come from any
// thread.

#include "Core/ProcessRunner.h"

#include <expected>
#include <functional>
#include <future>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>

namespace vornelo {

class PrivilegedShell {
public:
    class RunError : public std::exception {
    public:
        enum class Kind { failed, cancelled };

        static RunError failed(std::string message) { return RunError(Kind::failed, std::move(message)); }
        static RunError cancelled() { return RunError(Kind::cancelled, {}); }

        Kind kind() const { return kind_; }
        const std::string& message() const { return message_; }  // the payload of failed
        // The sentence for the user.
        const std::string& errorDescription() const { return description_; }
        const std::string& description() const { return description_; }
        const char* what() const noexcept override { return description_.c_str(); }

        bool operator==(const RunError& other) const { return kind_ == other.kind_ && message_ == other.message_; }

    private:
        RunError(Kind kind, std::string message);

        Kind kind_;
        std::string message_;
        std::string description_;
    };

    static constexpr double timeoutSeconds = 300;
    static constexpr std::string_view disabledByPolicyMessage =
        "Actions that need an administrator password are disabled by your organisation.";
    static constexpr std::string_view launchFailurePrefix = "Couldn't start the authorization prompt: ";

    // The scripting host at its installed place.
    PrivilegedShell();
    // Another host program with the same interface (a build tree's, or a test's).
    explicit PrivilegedShell(std::string hostPath);

    const std::string& hostPath() const { return hostPath_; }

    // Runs `command` with administrator privileges: the command's standard output with white
    // space trimmed from both ends, or a RunError. A policy refusal starts no process. A stop
    // requested on `stop` ends the host (as a time-out would) and gives cancelled.
    //
    // The host starts at once. The future is deferred: get() or wait() waits for the host and
    // throws the RunError on the caller's own thread; wait_for answers future_status::deferred.
    [[nodiscard]] std::future<std::string> run(std::string command, std::stop_token stop = {}) const;
    // Completion form: `completion` is called once, on a queue thread (at once, on this thread,
    // for a policy refusal).
    void run(std::string command, std::stop_token stop,
             std::function<void(std::expected<std::string, RunError>)> completion) const;

    // The mapping of a finished host run to the command's output or an error.
    [[nodiscard]] static std::expected<std::string, RunError> result(const ProcessRunner::Output& output);

    // The command as the inside of a string literal: backslashes doubled first, then double
    // quotes escaped; nothing else changes.
    [[nodiscard]] static std::string escaped(std::string_view command);
    [[nodiscard]] static std::string scriptText(std::string_view command);

private:
    std::string hostPath_;
};

}  // namespace vornelo

#include "Core/ProcessRunner.h"

#include "Core/Log.h"
#include "Platform/Concurrency/ConcurrentQueue.h"
#include "Platform/Processes/Subprocess.h"
#include "Platform/Encoding/Text.h"

#include <fmt/format.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>

namespace vornelo {

namespace {

using platform::Subprocess;
using Clock = Subprocess::Clock;
using Stream = Subprocess::Stream;

// Beyond this a time-out cannot fire within the life of any machine; it also keeps the
// conversion to clock ticks from overflowing.
constexpr double neverSeconds = 1e9;

Clock::duration seconds(double value) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

std::optional<Clock::time_point> deadlineAfter(Clock::time_point start, double timeoutSeconds) {
    if (std::isnan(timeoutSeconds) || timeoutSeconds <= 0) return start;
    if (timeoutSeconds >= neverSeconds) return std::nullopt;
    return start + seconds(timeoutSeconds);
}

std::string decoded(std::string bytes) { return platform::Text::isValidUtf8(bytes) ? std::move(bytes) : std::string(); }

platform::ConcurrentQueue& processQueue() {
    // Never destroyed: runs may still be in flight while the process exits.
    static auto* queue = new platform::ConcurrentQueue("Vornelo.process");
    return *queue;
}

// Waits for the child's exit while draining its pipes; at the time-out (or a stop) sends
// SIGTERM, then SIGKILL after the grace. Answers whether the time-out found the child running.
bool waitForExit(Subprocess& child, double timeoutSeconds) {
    const auto timeoutAt = deadlineAfter(Clock::now(), timeoutSeconds);
    std::optional<Clock::time_point> killAt;
    bool terminating = false;
    bool timedOut = false;
    while (!child.hasExited()) {
        const auto now = Clock::now();
        if (!terminating) {
            const bool timeUp = timeoutAt && now >= *timeoutAt;
            if ((timeUp || child.stopRequested()) && child.isRunning()) {
                timedOut = timeUp;
                terminating = true;
                child.terminate();
                killAt = now + seconds(ProcessRunner::terminateGraceSeconds);
                continue;
            }
        } else if (killAt && now >= *killAt) {
            if (child.isRunning()) child.kill();
            killAt.reset();
            continue;
        }
        child.waitForActivity(terminating ? killAt : timeoutAt);
    }
    return timedOut;
}

// Both streams share one window counted from the exit, so a grandchild holding both pipes
// costs the caller 2 seconds, not 2 per pipe.
void collectStreams(Subprocess& child) {
    const auto endAt = Clock::now() + seconds(ProcessRunner::pipeEndWaitSeconds);
    while ((child.isOpen(Stream::output) || child.isOpen(Stream::error)) && Clock::now() < endAt) {
        child.waitForActivity(endAt);
    }
    child.closeStream(Stream::output);
    child.closeStream(Stream::error);
}

}  // namespace

ProcessRunner::Output ProcessRunner::runBlocking(const std::string& executablePath,
                                                 const std::vector<std::string>& arguments, double timeoutSeconds,
                                                 std::stop_token stop) {
    auto child = Subprocess::spawn(executablePath, arguments, std::move(stop));
    if (!child) {
        const auto& description = child.error().description;
        Log::process().error("could not launch %{public}s: %{public}s", executablePath, description);
        return Output{launchFailureExitCode, "", description, true, false};
    }
    const bool timedOut = waitForExit(*child, timeoutSeconds);
    collectStreams(*child);
    if (timedOut) {
        // %f as printf writes it, which is what readers of the log expect.
        Log::process().error("%{public}s timed out after %fs and was terminated", executablePath,
                             fmt::format("{:f}", timeoutSeconds));
    }
    return Output{child->terminationStatus(), decoded(child->take(Stream::output)),
                  decoded(child->take(Stream::error)), false, timedOut};
}

void ProcessRunner::run(std::string executablePath, std::vector<std::string> arguments, double timeoutSeconds,
                        std::stop_token stop, std::function<void(Output)> completion) {
    processQueue().async([executablePath = std::move(executablePath), arguments = std::move(arguments),
                          timeoutSeconds, stop = std::move(stop), completion = std::move(completion)] {
        auto output = runBlocking(executablePath, arguments, timeoutSeconds, stop);
        if (completion) completion(std::move(output));
    });
}

std::future<ProcessRunner::Output> ProcessRunner::run(std::string executablePath, std::vector<std::string> arguments,
                                                      double timeoutSeconds, std::stop_token stop) {
    auto promise = std::make_shared<std::promise<Output>>();
    auto future = promise->get_future();
    run(std::move(executablePath), std::move(arguments), timeoutSeconds, std::move(stop),
        [promise](Output output) { promise->set_value(std::move(output)); });
    return future;
}

}  // namespace vornelo

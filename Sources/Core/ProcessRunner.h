#pragma once
// Runs one external program to completion with a time-out and hands back everything in one
// value. Never throws: a failure to start, a time-out and a non-zero exit are fields of Output.
//
// The child inherits the environment, working directory and user; standard input is the null
// device; both output streams are drained while it runs, into memory. At the time-out a child
// still running gets SIGTERM, and SIGKILL 2 seconds later if it is running yet. After the child
// exits, each stream gets at most 2 seconds (counted from the exit) to reach its end, so a
// grandchild holding a pipe open cannot stall the caller; what it writes later is lost. Signals
// go through a pidfd, so a reused process ID is never signalled.
//
// Thread safety: every function may be called from any thread; runs are independent. In a child
// made by fork() from a process that already used run, only runBlocking works (the queue's
// threads did not come along).
// Cancellation: a stop requested on the token ends the child as a time-out would (SIGTERM, then
// SIGKILL 2 seconds later) without setting timedOut; the Output still arrives.

#include <cstdint>
#include <functional>
#include <future>
#include <stop_token>
#include <string>
#include <vector>

namespace vornelo {

class ProcessRunner {
public:
    struct Output {
        // Exit status; the signal's number when a signal ended the child; -1 when it never started.
        std::int32_t exitCode = 0;
        // Each stream decoded as a whole: "" when its bytes are not valid UTF-8.
        std::string stdout;
        std::string stderr;  // on a start failure, the description of that failure
        bool launchFailed = false;
        bool timedOut = false;  // the time-out found the child running and told it to terminate

        bool succeeded() const { return !launchFailed && !timedOut && exitCode == 0; }
        bool operator==(const Output&) const = default;
    };

    static constexpr double terminateGraceSeconds = 2.0;
    static constexpr double pipeEndWaitSeconds = 2.0;
    static constexpr std::int32_t launchFailureExitCode = -1;

    // `executablePath` is run directly (no shell, no PATH search); `arguments` exclude the program
    // name. `timeoutSeconds` that is zero, negative or NaN fires at once; infinity never fires.
    [[nodiscard]] static Output runBlocking(const std::string& executablePath, const std::vector<std::string>& arguments,
                                            double timeoutSeconds, std::stop_token stop = {});

    // The same on the shared concurrent queue "Vornelo.process"; several runs proceed at once.
    // Dropping the future neither stops nor leaks the run.
    [[nodiscard]] static std::future<Output> run(std::string executablePath, std::vector<std::string> arguments,
                                                 double timeoutSeconds, std::stop_token stop = {});
    // Completion form: `completion` is called once, on a queue thread, with the Output.
    static void run(std::string executablePath, std::vector<std::string> arguments, double timeoutSeconds,
                    std::stop_token stop, std::function<void(Output)> completion);
};

}  // namespace vornelo

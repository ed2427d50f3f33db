#pragma once
// One child process started with posix_spawn and held by a process file descriptor (pidfd), so
// that a signal can never reach another process that reused its ID. Standard input is the null
// device; standard output and standard error go to two pipes that the owner drains with
// waitForActivity.
//
// The child inherits the environment, working directory, user and process group; its signal
// mask is emptied and every signal disposition reset to the default, so a caller that blocks or
// ignores signals does not pass that on.
//
// Ownership: the object owns the child. Destroying it while the child still runs kills the child
// (SIGKILL) and reaps it, so an abandoned run leaves neither a runaway process nor a zombie. The
// process must not reap children it did not wait for itself (no waitpid(-1), no SIGCHLD set to
// SIG_IGN), or the exit status is lost.
//
// Thread safety: one object is used by one thread at a time. A stop requested on the token given
// to spawn may come from any thread; it only wakes waitForActivity.

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileError.h"

#include <sys/types.h>

#include <chrono>
#include <expected>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace vornelo::platform {

class Subprocess {
public:
    using Clock = std::chrono::steady_clock;
    enum class Stream { output = 0, error = 1 };

    // Starts `executable` (used as given, never searched in PATH) with `arguments`, which do not
    // include the program name. A failure to start is a FileError on the executable's path and no
    // child exists afterwards.
    [[nodiscard]] static std::expected<Subprocess, FileError> spawn(const std::string& executable,
                                                                    const std::vector<std::string>& arguments,
                                                                    std::stop_token stop = {});

    // The first executable regular file called `name` in the directories of $PATH (the default
    // search path when it is unset); `name` itself when it holds a slash; nothing when absent.
    [[nodiscard]] static std::optional<std::string> searchPath(const std::string& name);

    Subprocess(Subprocess&&) noexcept;
    Subprocess& operator=(Subprocess&&) noexcept;
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;
    ~Subprocess();

    pid_t processIdentifier() const { return pid_; }

    // Waits until output arrives, a stream ends, the child exits, a stop is requested or the
    // deadline passes (no deadline: no limit), then reads everything that is ready. Interrupted
    // waits return early; callers loop.
    void waitForActivity(std::optional<Clock::time_point> deadline);

    // Checks without waiting; reaps the child once it has exited.
    bool isRunning();
    bool hasExited() const { return exited_; }
    // The exit status when the child exited normally, else the number of the signal that ended
    // it. Meaningful once hasExited().
    int terminationStatus() const { return terminationStatus_; }
    bool terminatedBySignal() const { return terminatedBySignal_; }

    // Delivers a signal through the pidfd. False when the child has already exited (or been
    // reaped); never reaches a process that reused the ID.
    bool sendSignal(int signal);
    bool terminate();  // SIGTERM
    bool kill();       // SIGKILL

    bool isOpen(Stream stream) const { return pipes_[index(stream)].valid(); }
    // Stops reading a stream: whatever is still in the pipe is lost, and a writer that keeps the
    // pipe open (a grandchild, say) no longer matters.
    void closeStream(Stream stream) { pipes_[index(stream)].reset(); }
    // The bytes read so far and not yet taken.
    const std::string& received(Stream stream) const { return buffers_[index(stream)]; }
    std::string take(Stream stream) { return std::exchange(buffers_[index(stream)], {}); }

    bool stopRequested() const { return stop_.stop_requested(); }

    // For a signal handler: pidfd_send_signal on a raw pidfd. Async-signal-safe.
    static bool sendSignalFromHandler(int pidfd, int signal) noexcept;
    int pidfd() const { return pidfd_.get(); }

private:
    struct Waker;

    Subprocess(pid_t pid, FileDescriptor pidfd, FileDescriptor output, FileDescriptor error, std::stop_token stop);
    static std::size_t index(Stream stream) { return static_cast<std::size_t>(stream); }
    void drain(Stream stream);
    void reap();
    void killAndReap();

    pid_t pid_ = -1;
    FileDescriptor pidfd_;
    FileDescriptor pipes_[2];
    std::string buffers_[2];
    std::stop_token stop_;
    std::unique_ptr<Waker> waker_;
    bool exited_ = false;
    int terminationStatus_ = 0;
    bool terminatedBySignal_ = false;
};

}  // namespace vornelo::platform

#include "Platform/Processes/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace vornelo::platform {

namespace {

constexpr std::size_t readChunk = 64 * 1024;
// Bounds one drain so a child that writes without pause cannot starve its other stream, its
// exit or the caller's deadlines.
constexpr int chunksPerDrain = 16;

// A descriptor below 3 would be clobbered by the dup2 onto standard input, output or error in
// the child; a daemon that closed those gets its pipes there.
FileDescriptor aboveStandardStreams(FileDescriptor fd) {
    if (!fd || fd.get() > STDERR_FILENO) return fd;
    return FileDescriptor(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

struct Pipe {
    FileDescriptor readEnd;
    FileDescriptor writeEnd;
};

std::expected<Pipe, int> makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(errno);
    Pipe pipe{aboveStandardStreams(FileDescriptor(fds[0])), aboveStandardStreams(FileDescriptor(fds[1]))};
    if (!pipe.readEnd || !pipe.writeEnd) return std::unexpected(errno);
    // Only our end is non-blocking; the child's end stays as programs expect it.
    const int flags = ::fcntl(pipe.readEnd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(pipe.readEnd.get(), F_SETFL, flags | O_NONBLOCK) != 0) return std::unexpected(errno);
    return pipe;
}

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
public:
    SpawnAttributes() { posix_spawnattr_init(&attributes_); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

// Raw system calls: glibc 2.36 declares its pidfd wrappers without C linkage, so C++ cannot link
// against them.
int openPidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)); }

int sendThroughPidfd(int pidfd, int signal) noexcept {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0U));
}

bool holdsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

}  // namespace

// Turns a stop request on another thread into a readable descriptor for poll.
struct Subprocess::Waker {
    struct Notify {
        int fd;
        void operator()() const noexcept {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
        }
    };

    Waker(FileDescriptor eventFd, std::stop_token token)
        : event(std::move(eventFd)), callback(std::move(token), Notify{event.get()}) {}

    FileDescriptor event;                // declared first: outlives the callback
    std::stop_callback<Notify> callback;
};

std::expected<Subprocess, FileError> Subprocess::spawn(const std::string& executable,
                                                      const std::vector<std::string>& arguments,
                                                      std::stop_token stop) {
    const auto failure = [&](int error, std::string_view path) {
        return std::unexpected(FileError::fromErrno(error, FileOperation::read, path));
    };
    // A NUL would silently cut the path or an argument short and run something else.
    if (holdsNul(executable) || std::ranges::any_of(arguments, holdsNul)) return failure(EINVAL, executable);

    FileDescriptor devNull = aboveStandardStreams(FileDescriptor(::open("/dev/null", O_RDONLY | O_CLOEXEC)));
    if (!devNull) return failure(errno, "/dev/null");
    auto output = makePipe();
    if (!output) return failure(output.error(), executable);
    auto error = makePipe();
    if (!error) return failure(error.error(), executable);

    SpawnActions actions;
    posix_spawn_file_actions_adddup2(actions.get(), devNull.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), output->writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), error->writeEnd.get(), STDERR_FILENO);
    // Descriptors some library opened without O_CLOEXEC must not keep another run's pipes open.
    posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);

    SpawnAttributes attributes;
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(attributes.get(), &none);
    posix_spawnattr_setsigdefault(attributes.get(), &all);
    posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argv{executable};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (auto& text : argv) pointers.push_back(text.data());
    pointers.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(), pointers.data(), environ);
    if (spawned != 0) return failure(spawned, executable);

    // Not reaped yet, so the ID is still ours while the pidfd is opened.
    FileDescriptor pidfd(openPidfd(pid));
    if (!pidfd) {
        const int openError = errno;
        ::kill(pid, SIGKILL);
        retryOnInterrupt([&] { return ::waitpid(pid, nullptr, 0); });
        return failure(openError, executable);
    }
    return Subprocess(pid, std::move(pidfd), std::move(output->readEnd), std::move(error->readEnd), std::move(stop));
}

std::optional<std::string> Subprocess::searchPath(const std::string& name) {
    if (name.empty()) return std::nullopt;
    if (name.find('/') != std::string::npos) return name;
    const char* variable = std::getenv("PATH");
    const std::string_view directories = variable ? variable : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= directories.size()) {
        const auto end = std::min(directories.find(':', start), directories.size());
        // An empty entry means the current directory, as shells read it.
        const std::string directory(end == start ? std::string_view(".") : directories.substr(start, end - start));
        const std::string candidate = directory + "/" + name;
        struct stat status {};
        if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return std::nullopt;
}

Subprocess::Subprocess(pid_t pid, FileDescriptor pidfd, FileDescriptor output, FileDescriptor error,
                       std::stop_token stop)
    : pid_(pid), pidfd_(std::move(pidfd)), stop_(std::move(stop)) {
    pipes_[index(Stream::output)] = std::move(output);
    pipes_[index(Stream::error)] = std::move(error);
    if (stop_.stop_possible()) {
        FileDescriptor event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        // Without the descriptor a stop is still seen at the caller's next deadline.
        if (event) waker_ = std::make_unique<Waker>(std::move(event), stop_);
    }
}

Subprocess::Subprocess(Subprocess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidfd_(std::move(other.pidfd_)),
      pipes_{std::move(other.pipes_[0]), std::move(other.pipes_[1])},
      buffers_{std::move(other.buffers_[0]), std::move(other.buffers_[1])},
      stop_(std::move(other.stop_)),
      waker_(std::move(other.waker_)),
      exited_(other.exited_),
      terminationStatus_(other.terminationStatus_),
      terminatedBySignal_(other.terminatedBySignal_) {}

Subprocess& Subprocess::operator=(Subprocess&& other) noexcept {
    if (this == &other) return *this;
    killAndReap();
    pid_ = std::exchange(other.pid_, -1);
    pidfd_ = std::move(other.pidfd_);
    for (std::size_t i = 0; i < 2; ++i) {
        pipes_[i] = std::move(other.pipes_[i]);
        buffers_[i] = std::move(other.buffers_[i]);
    }
    stop_ = std::move(other.stop_);
    waker_ = std::move(other.waker_);
    exited_ = other.exited_;
    terminationStatus_ = other.terminationStatus_;
    terminatedBySignal_ = other.terminatedBySignal_;
    return *this;
}

Subprocess::~Subprocess() { killAndReap(); }

void Subprocess::waitForActivity(std::optional<Clock::time_point> deadline) {
    pollfd fds[4];
    int count = 0;
    int pidSlot = -1;
    int streamSlot[2] = {-1, -1};
    if (!exited_ && pidfd_) {
        pidSlot = count;
        fds[count++] = {pidfd_.get(), POLLIN, 0};
    }
    for (std::size_t i = 0; i < 2; ++i) {
        if (!pipes_[i]) continue;
        streamSlot[i] = count;
        fds[count++] = {pipes_[i].get(), POLLIN, 0};
    }
    if (count == 0) return;
    // Once the stop has been seen the event stays readable; the caller acts on it, so it is not
    // polled again.
    if (waker_ && !stop_.stop_requested()) fds[count++] = {waker_->event.get(), POLLIN, 0};

    int timeout = -1;
    if (deadline) {
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<long long>(remaining, 0, INT_MAX));
    }
    if (::poll(fds, static_cast<nfds_t>(count), timeout) <= 0) return;

    for (std::size_t i = 0; i < 2; ++i) {
        if (streamSlot[i] >= 0 && fds[streamSlot[i]].revents != 0) drain(static_cast<Stream>(i));
    }
    if (pidSlot >= 0 && fds[pidSlot].revents != 0) reap();
}

void Subprocess::drain(Stream stream) {
    auto& pipe = pipes_[index(stream)];
    auto& buffer = buffers_[index(stream)];
    char chunk[readChunk];
    for (int round = 0; round < chunksPerDrain && pipe; ++round) {
        const auto got = retryOnInterrupt([&] { return ::read(pipe.get(), chunk, sizeof chunk); });
        if (got > 0) {
            buffer.append(chunk, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        pipe.reset();  // end of file, or an error that will not go away
    }
}

bool Subprocess::isRunning() {
    if (exited_ || !pidfd_) return false;
    pollfd fd{pidfd_.get(), POLLIN, 0};
    if (retryOnInterrupt([&] { return ::poll(&fd, 1, 0); }) > 0) reap();
    return !exited_;
}

bool Subprocess::sendSignal(int signal) {
    if (exited_ || !pidfd_) return false;
    return sendSignalFromHandler(pidfd_.get(), signal);
}

bool Subprocess::terminate() { return sendSignal(SIGTERM); }

bool Subprocess::kill() { return sendSignal(SIGKILL); }

bool Subprocess::sendSignalFromHandler(int pidfd, int signal) noexcept {
    return sendThroughPidfd(pidfd, signal) == 0;
}

void Subprocess::reap() {
    if (exited_ || !pidfd_) return;
    siginfo_t info{};
    const int waited =
        retryOnInterrupt([&] { return ::waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED); });
    exited_ = true;
    if (waited != 0) {
        // Someone else reaped the child; its status is gone.
        terminationStatus_ = -1;
        return;
    }
    terminatedBySignal_ = info.si_code != CLD_EXITED;
    terminationStatus_ = info.si_status;
}

void Subprocess::killAndReap() {
    if (exited_ || !pidfd_) return;
    kill();
    reap();
}

}  // namespace vornelo::platform

#include "Platform/Processes/InterruptSignals.h"

#include "Platform/Files/FileDescriptor.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <thread>

namespace vornelo::platform {

namespace {

constexpr std::array<int, 3> handledSignals = {SIGINT, SIGTERM, SIGHUP};

// Where the handler reports; the only thing it touches.
std::atomic<int> signalEventFd{-1};

void notify(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
}

void onSignal(int) {
    const int saved = errno;  // the interrupted code may be between a call and its errno check
    const int fd = signalEventFd.load();
    if (fd >= 0) notify(fd);
    errno = saved;
}

}  // namespace

struct InterruptSignals::State {
    FileDescriptor signalled{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    FileDescriptor shutdown{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    std::stop_source source;
    std::array<struct sigaction, handledSignals.size()> previous{};
    sigset_t previousMask{};
    std::atomic<bool> restored{false};
    std::thread watcher;

    void restore() {
        if (restored.exchange(true)) return;
        for (std::size_t i = 0; i < handledSignals.size(); ++i) ::sigaction(handledSignals[i], &previous[i], nullptr);
    }

    // Runs with the signals unblocked, so the kernel delivers them here. Stays after the first
    // one, so that a second one meets the restored handling on this thread.
    void watch() {
        ::pthread_sigmask(SIG_UNBLOCK, &signalSet(), nullptr);
        pollfd fds[2] = {{signalled.get(), POLLIN, 0}, {shutdown.get(), POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, -1) < 0) continue;  // EINTR: a handled signal arrived on this thread
            if (fds[1].revents != 0) return;
            if (fds[0].revents != 0 && !source.stop_requested()) {
                source.request_stop();
                restore();
                fds[0].fd = -1;  // stays readable; poll ignores a negative descriptor
            }
        }
    }

    static const sigset_t& signalSet() {
        static const sigset_t set = [] {
            sigset_t value;
            sigemptyset(&value);
            for (const int signal : handledSignals) sigaddset(&value, signal);
            return value;
        }();
        return set;
    }
};

InterruptSignals::InterruptSignals() : state_(std::make_unique<State>()) {
    ::pthread_sigmask(SIG_SETMASK, nullptr, &state_->previousMask);
    // Without the descriptors the signals keep their usual effect, which is still safe.
    if (!state_->signalled || !state_->shutdown) {
        state_->restored = true;
        return;
    }
    signalEventFd.store(state_->signalled.get());
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < handledSignals.size(); ++i) ::sigaction(handledSignals[i], &action, &state_->previous[i]);
    ::pthread_sigmask(SIG_BLOCK, &State::signalSet(), nullptr);
    state_->watcher = std::thread([state = state_.get()] { state->watch(); });
}

InterruptSignals::~InterruptSignals() {
    if (state_->watcher.joinable()) {
        notify(state_->shutdown.get());
        state_->watcher.join();
    }
    state_->restore();
    signalEventFd.store(-1);
    // A signal that arrived after the watcher left is delivered here, with the usual handling.
    ::pthread_sigmask(SIG_SETMASK, &state_->previousMask, nullptr);
}

std::stop_token InterruptSignals::token() const { return state_->source.get_token(); }

bool InterruptSignals::interrupted() const { return state_->source.stop_requested(); }

}  // namespace vornelo::platform

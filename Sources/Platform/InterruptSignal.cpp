#include "Platform/InterruptSignal.h"

#include <signal.h>

#include <atomic>

namespace vornelo::platform {

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void onInterrupt(int) { interrupted.store(true); }

}  // namespace

void InterruptSignal::install() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // SA_RESETHAND: the second Ctrl-C gets the default action, for a user who means it.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
}

bool InterruptSignal::received() { return interrupted.load(); }

}  // namespace vornelo::platform

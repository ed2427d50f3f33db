#pragma once
// Turns Ctrl-C into cancellation: while an object lives, SIGINT, SIGTERM and SIGHUP request a
// stop on its token instead of ending the process. The first of them also puts the previous
// handling back, so a second Ctrl-C ends the process as it would have without this object.
//
// The signals are blocked in the constructing thread (and so in every thread it starts later)
// and taken by a watcher thread of the object's own, so they are never held up behind a thread
// that waits in a way the runtime cannot interrupt.
//
// Ownership: at most one object at a time in a process (the signal handler is process-wide);
// construct and destroy it on the same thread, which gets its signal mask back.
// Thread safety: token() and interrupted() may be used from any thread.

#include <memory>
#include <stop_token>

namespace vornelo::platform {

class InterruptSignals {
public:
    InterruptSignals();
    ~InterruptSignals();
    InterruptSignals(const InterruptSignals&) = delete;
    InterruptSignals& operator=(const InterruptSignals&) = delete;

    std::stop_token token() const;
    bool interrupted() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vornelo::platform

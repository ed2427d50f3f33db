#pragma once
// Which processes have run exec, exited or been attached by a tracer, learnt from the kernel's
// process events (the netlink process connector), so that a caller can tell with one system
// call whether a process may no longer be what it judged.
//
// The kernel queues a process's exec event on the listening socket before the new image runs its
// first instruction, so anything that image writes is written after its event is queued: a caller
// that asks after reading a message learns of every exec that could have written it. When the
// queue overflowed, or anything read is not understood, every subscriber is told "maybe", never
// "no".
//
// Listening needs root (CAP_NET_ADMIN) in the initial network, PID and user namespaces (events
// carry PIDs as seen there). The kernel acknowledges a listener it accepted; without that answer
// nothing is watched and subscribe() gives nothing, so the caller must look for itself.
//
// Thread safety: shared() is made once, thread-safely; subscribe() and mayHaveChanged() may be
// called from any thread (one lock, held while the queue is drained without blocking).

#include "Platform/Files/FileDescriptor.h"

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <unordered_map>

namespace vornelo::platform {

class ExecWatch {
public:
    class Subscription {
    public:
        ~Subscription();
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;

        // Whether the process may have run exec, exited or gained a tracer since the last question
        // (or since subscribing).
        [[nodiscard]] bool mayHaveChanged();

    private:
        friend class ExecWatch;
        Subscription(ExecWatch& watch, pid_t pid) : watch_(watch), pid_(pid) {}

        ExecWatch& watch_;
        pid_t pid_;
        bool changed_ = false;  // guarded by the watch's lock
    };

    // The helper's one listener, started on first use.
    static ExecWatch& shared();

    [[nodiscard]] bool isWatching() const { return socket_.valid(); }

    // Events about pid from now on; nothing when events cannot be had.
    [[nodiscard]] std::unique_ptr<Subscription> subscribe(pid_t pid);

private:
    ExecWatch();

    void drainLocked();
    void markLocked(pid_t pid);
    void markEveryoneLocked();

    FileDescriptor socket_;
    std::mutex mutex_;
    std::unordered_multimap<pid_t, Subscription*> subscribers_;
};

}  // namespace vornelo::platform

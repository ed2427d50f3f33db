#pragma once
// Decides what each new connection gets: a ConnectionHandler bound to the peer the kernel reported
// at accept time, sharing the daemon's removal steps, idle monitor and log.
//
// Thread safety: accept() is called on the listener's thread; the handlers it makes run on their
// connections' threads.

#include "Helper/ConnectionHandler.h"

#include <memory>

namespace vornelo::helper {

class ListenerDelegate {
public:
    ListenerDelegate(RemovalSteps& steps, IdleMonitor& idle, const HelperLog& log)
        : steps_(steps), idle_(idle), log_(log) {}

    // Every connection is accepted; each request is judged on its own.
    std::unique_ptr<platform::VarlinkConnectionHandler> accept(const platform::SocketPeer& peer) const {
        return std::make_unique<ConnectionHandler>(peer, steps_, idle_, log_);
    }

private:
    RemovalSteps& steps_;
    IdleMonitor& idle_;
    const HelperLog& log_;
};

}  // namespace vornelo::helper

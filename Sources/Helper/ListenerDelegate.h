#pragma once
// Decides what each new connection gets: nothing for a peer the vetting refuses, else a
// ConnectionHandler bound to the peer the kernel reported at accept time (sharing the daemon's
// removal steps, idle monitor and log), behind the vetting of every message.
//
// Thread safety: accept() is called on each new connection's thread; the handlers it makes run on
// that thread.

#include "Helper/ClientVetting.h"
#include "Helper/ConnectionHandler.h"

#include <memory>

namespace vornelo::helper {

class ListenerDelegate {
public:
    ListenerDelegate(RemovalSteps& steps, IdleMonitor& idle, const HelperLog& log, const ClientVetting& vetting)
        : steps_(steps), idle_(idle), log_(log), vetting_(vetting) {}

    std::unique_ptr<platform::VarlinkConnectionHandler> accept(const platform::SocketPeer& peer) const {
        return vetting_.guard(peer, [&] {
            // Only an admitted peer restarts the idle clock: a refused one must not keep root alive.
            idle_.noteActivity();
            return std::make_unique<ConnectionHandler>(peer, steps_, idle_, log_);
        });
    }

private:
    RemovalSteps& steps_;
    IdleMonitor& idle_;
    const HelperLog& log_;
    const ClientVetting& vetting_;
};

}  // namespace vornelo::helper

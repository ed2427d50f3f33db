#pragma once
// Ctrl-C as a request to stop: once installed, the first SIGINT only raises a flag that long work
// polls through its own cancellation; a second SIGINT ends the process as usual.
//
// Thread safety: received() may be polled from any thread; install() once, from the main thread.

namespace vornelo::platform {

struct InterruptSignal {
    static void install();
    [[nodiscard]] static bool received();
};

}  // namespace vornelo::platform

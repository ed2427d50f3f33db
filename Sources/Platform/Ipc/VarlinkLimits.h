#pragma once
// What a Varlink service lets one peer make it spend. The defaults are the root helper's
// (docs/helper-protocol.md gives the figures and the memory they bound).

#include <chrono>
#include <cstddef>
#include <limits>

namespace vornelo::platform {

struct VarlinkLimits {
    // Bytes of one message before its NUL.
    std::size_t maxMessageBytes = 4 * 1024 * 1024;
    std::size_t maxConnections = 64;
    std::size_t maxConnectionsPerUser = 8;
    // How long a message may take from its first byte to its NUL, and a reply from its first
    // byte sent to its last, before the connection goes.
    std::chrono::milliseconds messageTimeout{10'000};
    // Bytes of one string (as sent, escapes included), number or literal.
    std::size_t maxTokenBytes = 32 * 1024;
    // Elements kept of each array; the rest are read, counted and dropped.
    std::size_t maxArrayElements = std::numeric_limits<std::size_t>::max();
    // What a message may hold in memory of its own; beyond it, it draws on the shared pool.
    std::size_t heldBytesPerConnection = 64 * 1024;
    std::size_t sharedHeldBytes = 8 * 1024 * 1024;
};

}  // namespace vornelo::platform

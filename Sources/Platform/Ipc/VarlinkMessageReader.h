#pragma once
// Reads Varlink messages (a JSON object, then a NUL byte) from a connected socket one at a time,
// parsing while the bytes arrive, so that what a peer can make the service spend is bounded
// before any of its message is judged:
//
// - time: a message must be complete within the limit from its first byte, however it trickles;
// - bytes: at most maxMessageBytes before the NUL, each token (a string with its escapes, a
//   number, a literal) at most maxTokenBytes, nesting at most 64 deep;
// - what is kept: an array keeps its first maxArrayElements elements, the rest are read and
//   counted, never held;
// - memory: every value kept is charged (its bytes and an estimate of its overhead) first to
//   the connection's own allowance, then to a pool shared by every connection; a message that
//   needs more than the pool has waits for others to give some back, until its time is up.
//
// Thread safety: a reader belongs to its connection's thread; one pool serves every reader, from
// any thread.

#include "Platform/Ipc/VarlinkLimits.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <expected>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vornelo::platform {

// Bytes shared by the messages of every connection beyond each one's own allowance.
class VarlinkMemoryPool {
public:
    explicit VarlinkMemoryPool(std::size_t bytes) : available_(bytes) {}

    // Takes at least `least` bytes and up to `most` when there are, waiting until `deadline` for
    // others to give back enough; the bytes taken, or 0 when it could not (or wake() was called).
    [[nodiscard]] std::size_t take(std::size_t least, std::size_t most, std::chrono::steady_clock::time_point deadline);
    void give(std::size_t bytes);
    // Ends every wait at once, for good (the service is stopping).
    void wake();
    std::size_t available() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t available_;
    bool woken_ = false;
};

// The bytes one message holds, given back when it goes.
class VarlinkHeldBytes {
public:
    VarlinkHeldBytes(VarlinkMemoryPool& pool, std::size_t allowance) : pool_(&pool), allowance_(allowance) {}
    VarlinkHeldBytes(VarlinkHeldBytes&& other) noexcept
        : pool_(other.pool_), allowance_(other.allowance_), used_(other.used_), fromPool_(std::exchange(other.fromPool_, 0)) {}
    VarlinkHeldBytes& operator=(VarlinkHeldBytes&&) = delete;
    ~VarlinkHeldBytes() { pool_->give(fromPool_); }

    [[nodiscard]] bool add(std::size_t bytes, std::chrono::steady_clock::time_point deadline);
    std::size_t used() const { return used_; }

private:
    VarlinkMemoryPool* pool_;
    std::size_t allowance_;
    std::size_t used_ = 0;
    std::size_t fromPool_ = 0;
};

struct VarlinkMessage {
    nlohmann::json value;
    // The full length of each array that held more than maxArrayElements, by JSON pointer from
    // the message's root ("/parameters/paths").
    std::map<std::string, std::size_t> arrayLengths;
    VarlinkHeldBytes held;
};

class VarlinkMessageReader {
public:
    enum class Problem {
        closed,       // the peer ended the connection between messages, or the service stops
        unfinished,   // the message did not end within the time limit, or the peer went half-way
        tooLong,      // more than maxMessageBytes before its NUL
        tokenTooLong, // a string, number or literal longer than maxTokenBytes
        tooDeep,      // nested deeper than maxNesting
        notJson,      // not one JSON value followed by its NUL
        noMemory,     // the pool had no room for it within its time
    };

    static constexpr std::size_t maxNesting = 64;

    // `wake` is an event descriptor that becomes readable when the service stops.
    VarlinkMessageReader(int fd, const VarlinkLimits& limits, VarlinkMemoryPool& pool, int wake,
                         const std::atomic<bool>& stopping);
    ~VarlinkMessageReader();
    VarlinkMessageReader(const VarlinkMessageReader&) = delete;
    VarlinkMessageReader& operator=(const VarlinkMessageReader&) = delete;

    // Waits, as long as it takes, for the first byte of the next message; false when the peer
    // closed the connection (or it failed) or the service stops.
    [[nodiscard]] bool awaitMessage();
    // Whether the whole of the message that has begun (its NUL included) has been received.
    [[nodiscard]] bool holdsWholeMessage() const;
    // Reads the message that has begun, to its NUL, within the time limit from `began`.
    [[nodiscard]] std::expected<VarlinkMessage, Problem> read(std::chrono::steady_clock::time_point began);

    // A sentence for the diagnostics about why a connection was closed.
    [[nodiscard]] static std::string describe(Problem problem, const VarlinkLimits& limits);

private:
    class Source;
    class Builder;

    int fd_;
    const VarlinkLimits& limits_;
    VarlinkMemoryPool& pool_;
    std::unique_ptr<Source> source_;
    std::unique_ptr<std::istream> stream_;
};

}  // namespace vornelo::platform

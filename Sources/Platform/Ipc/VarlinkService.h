#pragma once
// A Varlink service on a UNIX stream socket: every message is one JSON object followed by a NUL
// byte; calls are {"method": "<interface>.<Method>", "parameters": {...}}, replies
// {"parameters": {...}}, errors {"error": "<interface>.<Error>", "parameters": {...}}. The
// introspection interface org.varlink.service (GetInfo, GetInterfaceDescription) is answered here
// from the interface text, so any Varlink client can talk to the service.
//
// The listening socket comes from systemd socket activation (LISTEN_PID naming this process,
// LISTEN_FDS at least 1, descriptor 3 a listening stream socket) or, when started by hand, is bound
// at the path given. Each connection gets its own thread: calls on one connection are handled one
// after the other, connections in parallel. The peer is read from the kernel at accept time
// (SocketPeer) and the handler for the connection is made from it on the connection's own thread,
// before anything is read, so a slow judgement of one peer never holds up the others.
//
// Messages are parsed as they arrive, within the limits (VarlinkLimits, VarlinkMessageReader): a
// message must be whole within the time limit from its first byte and a reply sent within it from
// its first, whatever the peer does; what a message holds in memory is bounded per connection and
// across all of them. A connection that sends something that is not a call, or breaks a limit, is
// closed; nothing else is disturbed. Connections beyond the per-user or overall limit are closed
// at once. Replies are written as they are encoded, never held whole.
//
// Thread safety: run() blocks the calling thread; stop() may be called from any thread and
// returns once every connection thread has ended. Handlers run on their connection's thread.

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Identity/SocketPeer.h"
#include "Platform/Ipc/VarlinkLimits.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace vornelo::platform {

struct VarlinkError {
    std::string error;  // qualified name, "org.varlink.service.InvalidParameter"
    nlohmann::json parameters = nlohmann::json::object();

    static VarlinkError invalidParameter(std::string_view parameter);
    static VarlinkError methodNotFound(std::string_view method);
};

using VarlinkReply = std::expected<nlohmann::json, VarlinkError>;

// The full length of each array of a call's parameters that held more elements than the service
// keeps (VarlinkLimits::maxArrayElements), by JSON pointer within the parameters ("/paths"); such
// an array holds its first elements only. An array not listed is whole.
using VarlinkArrayLengths = std::map<std::string, std::size_t>;

// Serves the calls of one connection. Called on that connection's thread only.
class VarlinkConnectionHandler {
public:
    virtual ~VarlinkConnectionHandler() = default;
    // `method` is the name inside the service's interface ("HelperVersion"); `parameters` is
    // always an object. The reply's value must be an object.
    virtual VarlinkReply call(std::string_view method, const nlohmann::json& parameters,
                              const VarlinkArrayLengths& arrayLengths) = 0;
    // Asked when a message begins, before a byte of it is parsed (introspection calls included),
    // and again once all of it has arrived, before it is delivered; false closes the connection
    // without an answer and without a word to the diagnostics.
    virtual bool admitsNextMessage() { return true; }
    // Called after every dispatched message (introspection too) once its reply has been written,
    // failed to be written, or was not asked for (oneway).
    virtual void replySent() {}
};

struct VarlinkIdentity {
    std::string vendor;
    std::string product;
    std::string version;
    std::string url;
};

class VarlinkService {
public:
    using Identity = VarlinkIdentity;
    using Limits = VarlinkLimits;

    // Makes the handler for a new connection, on that connection's thread; nullptr refuses (closes)
    // it.
    using Accept = std::function<std::unique_ptr<VarlinkConnectionHandler>(const SocketPeer&)>;
    // Told of connections closed for cause (one sentence); may be called from any thread.
    using Diagnostics = std::function<void(const std::string&)>;

    // `interfaceText` is the interface's description in Varlink's interface language; its
    // "interface <name>" line gives the name calls are matched against.
    VarlinkService(std::string interfaceText, Identity identity, Accept accept, Limits limits = {},
                   Diagnostics diagnostics = {});
    ~VarlinkService();
    VarlinkService(const VarlinkService&) = delete;
    VarlinkService& operator=(const VarlinkService&) = delete;

    const std::string& interfaceName() const;

    // Takes the socket systemd passed, if any (and clears LISTEN_* so children do not inherit it),
    // else binds `path` (mode 0666, its folder made if missing; a stale socket nobody listens on
    // is replaced, anything else there is an error). Fails with a sentence naming the path.
    [[nodiscard]] std::expected<void, std::string> listen(const std::filesystem::path& path);
    // Uses a socket that is already listening (tests); the service owns it from now on.
    void adopt(FileDescriptor listening);
    // Whether the socket came from socket activation.
    bool activated() const;

    // Accepts connections until stop(). Returns at once if listen() did not succeed.
    void run();
    void stop();

    // Connections open right now (for tests and diagnostics).
    std::size_t openConnections() const;

    // The socket systemd passed to this process, checked and taken, if any.
    [[nodiscard]] static std::expected<FileDescriptor, std::string> activationSocket();

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace vornelo::platform

#include "Platform/Ipc/VarlinkService.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <thread>

namespace vornelo::platform {

namespace {

constexpr std::string_view serviceInterface = "org.varlink.service";
constexpr std::size_t maxNesting = 64;

const char* serviceDescription =
    "# The Varlink Service Interface is provided by every varlink service. It\n"
    "# describes the service and the interfaces it implements.\n"
    "interface org.varlink.service\n"
    "\n"
    "# Get a list of all the interfaces a service provides and information\n"
    "# about the implementation.\n"
    "method GetInfo() -> (\n"
    "  vendor: string,\n"
    "  product: string,\n"
    "  version: string,\n"
    "  url: string,\n"
    "  interfaces: []string\n"
    ")\n"
    "\n"
    "# Get the description of an interface that is implemented by this service.\n"
    "method GetInterfaceDescription(interface: string) -> (description: string)\n"
    "\n"
    "# The requested interface was not found.\n"
    "error InterfaceNotFound (interface: string)\n"
    "\n"
    "# The requested method was not found\n"
    "error MethodNotFound (method: string)\n"
    "\n"
    "# The interface defines the requested method, but the service does not\n"
    "# implement it.\n"
    "error MethodNotImplemented (method: string)\n"
    "\n"
    "# One of the passed parameters is invalid.\n"
    "error InvalidParameter (parameter: string)\n"
    "\n"
    "# Client is denied access\n"
    "error PermissionDenied ()\n"
    "\n"
    "# Method is expected to be called with 'more' set to true, but wasn't\n"
    "error ExpectedMore ()\n";

std::string parseInterfaceName(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + start, end - start);
        const auto first = line.find_first_not_of(" \t");
        if (first != std::string_view::npos) line.remove_prefix(first);
        if (line.starts_with("interface ")) {
            line.remove_prefix(10);
            const auto last = line.find_first_of(" \t\r");
            return std::string(line.substr(0, last));
        }
        start = end + 1;
    }
    return {};
}

// Deeper nesting than any call needs is refused before the parser sees it.
bool nestingWithin(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

std::string errnoSentence(std::string_view what, const std::filesystem::path& path, int error) {
    return std::string(what) + " " + path.native() + ": " + std::strerror(error) + ".";
}

// True when something accepts connections at the path (it is not a leftover of a dead service).
bool someoneListens(const std::filesystem::path& path) {
    FileDescriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

VarlinkError VarlinkError::invalidParameter(std::string_view parameter) {
    return {"org.varlink.service.InvalidParameter", {{"parameter", parameter}}};
}

VarlinkError VarlinkError::methodNotFound(std::string_view method) {
    return {"org.varlink.service.MethodNotFound", {{"method", method}}};
}

struct VarlinkService::State {
    struct Connection {
        FileDescriptor fd;
        SocketPeer peer;
        std::unique_ptr<VarlinkConnectionHandler> handler;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    std::string interfaceText;
    std::string interfaceName;
    Identity identity;
    Accept accept;
    Limits limits;
    Diagnostics diagnostics;

    FileDescriptor listening;
    FileDescriptor wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    bool activated = false;
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex;  // guards connections and perUser
    std::list<std::shared_ptr<Connection>> connections;
    std::map<uid_t, std::size_t> perUser;

    void tell(const std::string& sentence) const {
        if (diagnostics) diagnostics(sentence);
    }

    void acceptOne();
    void reapFinished();
    void serve(Connection& connection);
    bool handleMessage(Connection& connection, std::string_view text, std::string& reply);
    VarlinkReply dispatch(Connection& connection, std::string_view method, const nlohmann::json& parameters);
    VarlinkReply serviceCall(std::string_view method, const nlohmann::json& parameters) const;
    bool writeAll(int fd, std::string_view bytes) const;
    // Waits for input on fd or the stop signal; false on stop, time-out or error.
    bool waitReadable(int fd, int timeoutMs) const;
};

VarlinkService::VarlinkService(std::string interfaceText, Identity identity, Accept accept, Limits limits,
                               Diagnostics diagnostics)
    : state_(std::make_shared<State>()) {
    state_->interfaceName = parseInterfaceName(interfaceText);
    state_->interfaceText = std::move(interfaceText);
    state_->identity = std::move(identity);
    state_->accept = std::move(accept);
    state_->limits = limits;
    state_->diagnostics = std::move(diagnostics);
}

VarlinkService::~VarlinkService() { stop(); }

const std::string& VarlinkService::interfaceName() const { return state_->interfaceName; }

bool VarlinkService::activated() const { return state_->activated; }

std::expected<FileDescriptor, std::string> VarlinkService::activationSocket() {
    const char* pidText = std::getenv("LISTEN_PID");
    const char* countText = std::getenv("LISTEN_FDS");
    if (pidText == nullptr || countText == nullptr) return FileDescriptor();
    const std::string_view pidView(pidText);
    const std::string_view countView(countText);
    long pid = 0;
    long count = 0;
    const auto pidParse = std::from_chars(pidView.data(), pidView.data() + pidView.size(), pid);
    const auto countParse = std::from_chars(countView.data(), countView.data() + countView.size(), count);
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    // Variables meant for another process (a parent that was activated) are not ours to use.
    if (pidParse.ec != std::errc{} || pid != ::getpid()) return FileDescriptor();
    if (countParse.ec != std::errc{} || count < 1) return std::unexpected(std::string("Socket activation passed no socket."));
    constexpr int first = 3;
    int type = 0;
    int listening = 0;
    socklen_t length = sizeof type;
    sockaddr_storage address{};
    socklen_t addressLength = sizeof address;
    if (::getsockopt(first, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM ||
        ::getsockname(first, reinterpret_cast<sockaddr*>(&address), &addressLength) != 0 || address.ss_family != AF_UNIX) {
        return std::unexpected(std::string("Socket activation passed descriptor 3, which is not a UNIX stream socket."));
    }
    length = sizeof listening;
    if (::getsockopt(first, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 || listening == 0) {
        return std::unexpected(std::string("Socket activation passed descriptor 3, which is not listening."));
    }
    ::fcntl(first, F_SETFD, FD_CLOEXEC);
    // Further sockets have no use here; they must not leak into children.
    for (long extra = 1; extra < count; ++extra) ::close(static_cast<int>(first + extra));
    return FileDescriptor(first);
}

std::expected<void, std::string> VarlinkService::listen(const std::filesystem::path& path) {
    auto passed = activationSocket();
    if (!passed) return std::unexpected(passed.error());
    if (passed->valid()) {
        state_->listening = std::move(*passed);
        state_->activated = true;
        return {};
    }
    sockaddr_un address{};
    if (path.native().size() >= sizeof address.sun_path) {
        return std::unexpected("The socket path " + path.native() + " is too long.");
    }
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) return std::unexpected("Something other than a socket is at " + path.native() + ".");
        if (someoneListens(path)) return std::unexpected("Another service already listens at " + path.native() + ".");
        ::unlink(path.c_str());
    }
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) return std::unexpected(errnoSentence("Could not make a socket for", path, errno));
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::unexpected(errnoSentence("Could not bind", path, errno));
    }
    // Every user may connect; each request is judged on its own.
    if (::chmod(path.c_str(), 0666) != 0 || ::listen(socket.get(), SOMAXCONN) != 0) {
        return std::unexpected(errnoSentence("Could not listen at", path, errno));
    }
    state_->listening = std::move(socket);
    return {};
}

void VarlinkService::adopt(FileDescriptor listening) { state_->listening = std::move(listening); }

void VarlinkService::run() {
    auto& state = *state_;
    if (!state.listening) return;
    while (!state.stopping.load()) {
        if (!state.waitReadable(state.listening.get(), -1)) continue;
        state.acceptOne();
    }
}

void VarlinkService::stop() {
    auto& state = *state_;
    state.stopping.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(state.wake.get(), &one, sizeof one);
    std::list<std::shared_ptr<State::Connection>> all;
    {
        std::lock_guard lock(state.mutex);
        all.swap(state.connections);
    }
    for (auto& connection : all) {
        if (connection->thread.joinable()) connection->thread.join();
    }
}

std::size_t VarlinkService::openConnections() const {
    std::lock_guard lock(state_->mutex);
    return static_cast<std::size_t>(std::count_if(state_->connections.begin(), state_->connections.end(),
                                                  [](const auto& connection) { return !connection->finished.load(); }));
}

bool VarlinkService::State::waitReadable(int fd, int timeoutMs) const {
    pollfd entries[2] = {{fd, POLLIN, 0}, {wake.get(), POLLIN, 0}};
    const int ready = retryOnInterrupt([&] { return ::poll(entries, 2, timeoutMs); });
    if (ready <= 0 || stopping.load()) return false;
    return (entries[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void VarlinkService::State::reapFinished() {
    std::list<std::shared_ptr<Connection>> done;
    {
        std::lock_guard lock(mutex);
        for (auto it = connections.begin(); it != connections.end();) {
            if ((*it)->finished.load()) {
                done.splice(done.end(), connections, it++);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : done) connection->thread.join();
}

void VarlinkService::State::acceptOne() {
    reapFinished();
    FileDescriptor fd(::accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd) return;
    auto peer = SocketPeer::ofSocket(fd.get());
    if (!peer) {
        tell(peer.error());
        return;
    }
    const uid_t user = peer->uid();
    {
        std::lock_guard lock(mutex);
        const auto open = connections.size();
        auto& mine = perUser[user];
        if (open >= limits.maxConnections || mine >= limits.maxConnectionsPerUser) {
            tell("closed a connection from uid " + std::to_string(user) + ": too many connections");
            return;
        }
        ++mine;
    }
    auto connection = std::make_shared<Connection>(std::move(fd), std::move(*peer), nullptr);
    std::lock_guard lock(mutex);
    connections.push_back(connection);
    // The thread holds only a raw reference: the list keeps the connection alive until joined.
    connection->thread = std::thread([this, raw = connection.get()] { serve(*raw); });
}

void VarlinkService::State::serve(Connection& connection) {
    std::string buffer;
    std::string reply;
    char chunk[65536];
    const int fd = connection.fd.get();
    const int stall = static_cast<int>(limits.stallTimeout.count());
    if (accept) connection.handler = accept(connection.peer);
    while (connection.handler) {
        // Between messages a connection may idle; inside one it must keep coming.
        if (!waitReadable(fd, buffer.empty() ? -1 : stall)) {
            if (!buffer.empty() && !stopping.load()) tell("closed a connection from uid " + std::to_string(connection.peer.uid()) + ": message left unfinished");
            break;
        }
        const auto got = retryOnInterrupt([&] { return ::recv(fd, chunk, sizeof chunk, 0); });
        if (got <= 0) break;
        buffer.append(chunk, static_cast<std::size_t>(got));
        std::size_t start = 0;
        bool keep = true;
        for (auto end = buffer.find('\0', start); keep && end != std::string::npos; end = buffer.find('\0', start)) {
            if (end - start > limits.maxMessageBytes) break;
            if (!connection.handler->admitsNextMessage()) {
                keep = false;
                break;
            }
            reply.clear();
            keep = handleMessage(connection, std::string_view(buffer).substr(start, end - start), reply) &&
                   (reply.empty() || writeAll(fd, reply));
            start = end + 1;
        }
        if (!keep) break;
        buffer.erase(0, start);
        if (buffer.size() > limits.maxMessageBytes) {
            tell("closed a connection from uid " + std::to_string(connection.peer.uid()) + ": message too long");
            break;
        }
    }
    connection.fd.reset();
    {
        std::lock_guard lock(mutex);
        if (--perUser[connection.peer.uid()] == 0) perUser.erase(connection.peer.uid());
    }
    connection.finished.store(true);
}

bool VarlinkService::State::handleMessage(Connection& connection, std::string_view text, std::string& reply) {
    if (!nestingWithin(text, maxNesting)) return false;
    const auto message = nlohmann::json::parse(text, nullptr, false);
    if (message.is_discarded() || !message.is_object()) {
        tell("closed a connection from uid " + std::to_string(connection.peer.uid()) + ": not a Varlink call");
        return false;
    }
    const auto method = message.find("method");
    if (method == message.end() || !method->is_string()) {
        tell("closed a connection from uid " + std::to_string(connection.peer.uid()) + ": not a Varlink call");
        return false;
    }
    const auto parametersIt = message.find("parameters");
    const nlohmann::json empty = nlohmann::json::object();
    if (parametersIt != message.end() && !parametersIt->is_object() && !parametersIt->is_null()) return false;
    const auto& parameters = parametersIt == message.end() || parametersIt->is_null() ? empty : *parametersIt;
    const auto oneway = message.find("oneway");
    const bool wantsNoReply = oneway != message.end() && oneway->is_boolean() && oneway->get<bool>();

    const auto result = dispatch(connection, method->get_ref<const std::string&>(), parameters);
    if (wantsNoReply) return true;
    nlohmann::json out;
    if (result) {
        out["parameters"] = *result;
    } else {
        out["error"] = result.error().error;
        out["parameters"] = result.error().parameters;
    }
    reply = out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    reply.push_back('\0');
    return true;
}

VarlinkReply VarlinkService::State::dispatch(Connection& connection, std::string_view method,
                                            const nlohmann::json& parameters) {
    const auto dot = method.rfind('.');
    if (dot == std::string_view::npos) {
        return std::unexpected(VarlinkError{"org.varlink.service.InterfaceNotFound", {{"interface", method}}});
    }
    const auto interface = method.substr(0, dot);
    const auto name = method.substr(dot + 1);
    if (interface == serviceInterface) return serviceCall(name, parameters);
    if (interface != interfaceName) {
        return std::unexpected(VarlinkError{"org.varlink.service.InterfaceNotFound", {{"interface", interface}}});
    }
    auto result = connection.handler->call(name, parameters);
    if (result && !result->is_object()) *result = nlohmann::json::object();
    if (!result && result.error().error == "org.varlink.service.MethodNotFound") {
        result.error().parameters = {{"method", method}};
    }
    return result;
}

VarlinkReply VarlinkService::State::serviceCall(std::string_view method, const nlohmann::json& parameters) const {
    if (method == "GetInfo") {
        return nlohmann::json{{"vendor", identity.vendor},
                              {"product", identity.product},
                              {"version", identity.version},
                              {"url", identity.url},
                              {"interfaces", {serviceInterface, interfaceName}}};
    }
    if (method == "GetInterfaceDescription") {
        const auto it = parameters.find("interface");
        if (it == parameters.end() || !it->is_string()) return std::unexpected(VarlinkError::invalidParameter("interface"));
        const auto& wanted = it->get_ref<const std::string&>();
        if (wanted == serviceInterface) return nlohmann::json{{"description", serviceDescription}};
        if (wanted == interfaceName) return nlohmann::json{{"description", interfaceText}};
        return std::unexpected(VarlinkError{"org.varlink.service.InterfaceNotFound", {{"interface", wanted}}});
    }
    return std::unexpected(VarlinkError{"org.varlink.service.MethodNotFound",
                                        {{"method", std::string(serviceInterface) + "." + std::string(method)}}});
}

bool VarlinkService::State::writeAll(int fd, std::string_view bytes) const {
    const int stall = static_cast<int>(limits.stallTimeout.count());
    while (!bytes.empty()) {
        const auto put = retryOnInterrupt([&] { return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT); });
        if (put > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(put));
            continue;
        }
        if (put < 0 && errno != EAGAIN) return false;
        // A client that does not read its replies loses its connection, not a thread.
        pollfd entries[2] = {{fd, POLLOUT, 0}, {wake.get(), POLLIN, 0}};
        const int ready = retryOnInterrupt([&] { return ::poll(entries, 2, stall); });
        if (ready <= 0 || stopping.load() || (entries[0].revents & POLLOUT) == 0) return false;
    }
    return true;
}

}  // namespace vornelo::platform

#include "Platform/Ipc/VarlinkService.h"

#include "Platform/Ipc/VarlinkMessageReader.h"

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
    std::unique_ptr<VarlinkMemoryPool> pool;

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
    void closedFor(const Connection& connection, const std::string& why) const;
    // Answers one message; false when the connection must go.
    bool handleMessage(Connection& connection, VarlinkMessage& message);
    VarlinkReply dispatch(Connection& connection, std::string_view method, const nlohmann::json& parameters,
                          const VarlinkArrayLengths& lengths);
    VarlinkReply serviceCall(std::string_view method, const nlohmann::json& parameters) const;
    bool writeReply(int fd, const nlohmann::json& reply) const;
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
    state_->pool = std::make_unique<VarlinkMemoryPool>(limits.sharedHeldBytes);
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
    state.pool->wake();
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

void VarlinkService::State::closedFor(const Connection& connection, const std::string& why) const {
    tell("closed a connection from uid " + std::to_string(connection.peer.uid()) + ": " + why);
}

void VarlinkService::State::serve(Connection& connection) {
    if (accept) connection.handler = accept(connection.peer);
    if (connection.handler) {
        VarlinkMessageReader reader(connection.fd.get(), limits, *pool, wake.get(), stopping);
        // Between messages a connection may idle; a message has its time limit from the moment its
        // first byte is seen (for the first one: once the peer's accept-time check has passed).
        while (reader.awaitMessage()) {
            const auto began = std::chrono::steady_clock::now();
            const bool arrived = reader.holdsWholeMessage();
            if (!connection.handler->admitsNextMessage()) break;
            auto message = reader.read(began);
            if (!message) {
                if (!stopping.load()) closedFor(connection, VarlinkMessageReader::describe(message.error(), limits));
                break;
            }
            // Judged again once all of it is in, unless it was in already: an exec while it was
            // arriving is seen now.
            if ((!arrived && !connection.handler->admitsNextMessage()) || !handleMessage(connection, *message)) break;
        }
    }
    connection.fd.reset();
    {
        std::lock_guard lock(mutex);
        if (--perUser[connection.peer.uid()] == 0) perUser.erase(connection.peer.uid());
    }
    connection.finished.store(true);
}

bool VarlinkService::State::handleMessage(Connection& connection, VarlinkMessage& message) {
    const auto& value = message.value;
    const auto method = value.is_object() ? value.find("method") : value.end();
    if (!value.is_object() || method == value.end() || !method->is_string()) {
        closedFor(connection, "not a Varlink call");
        return false;
    }
    const auto parametersIt = value.find("parameters");
    const nlohmann::json empty = nlohmann::json::object();
    if (parametersIt != value.end() && !parametersIt->is_object() && !parametersIt->is_null()) return false;
    const auto& parameters = parametersIt == value.end() || parametersIt->is_null() ? empty : *parametersIt;
    const auto oneway = value.find("oneway");
    const bool wantsNoReply = oneway != value.end() && oneway->is_boolean() && oneway->get<bool>();
    // Lengths below the parameters, as the handler sees them.
    VarlinkArrayLengths lengths;
    constexpr std::string_view prefix = "/parameters/";
    for (const auto& [pointer, length] : message.arrayLengths) {
        if (pointer.starts_with(prefix)) lengths.emplace(pointer.substr(prefix.size() - 1), length);
    }

    const auto result = dispatch(connection, method->get_ref<const std::string&>(), parameters, lengths);
    // Told once the reply is out (or could not be written, or was not wanted), on every path.
    struct Replied {
        VarlinkConnectionHandler& handler;
        ~Replied() { handler.replySent(); }
    } replied{*connection.handler};
    if (wantsNoReply) return true;
    nlohmann::json out;
    if (result) {
        out["parameters"] = *result;
    } else {
        out["error"] = result.error().error;
        out["parameters"] = result.error().parameters;
    }
    return writeReply(connection.fd.get(), out);
}

VarlinkReply VarlinkService::State::dispatch(Connection& connection, std::string_view method,
                                            const nlohmann::json& parameters, const VarlinkArrayLengths& lengths) {
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
    auto result = connection.handler->call(name, parameters, lengths);
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

namespace {

// Sends the reply as the serializer produces it, in pieces, so that a large reply is never held
// whole; all of it must be gone by the deadline. After a failure the rest is dropped.
class ReplySender final : public nlohmann::detail::output_adapter_protocol<char> {
public:
    ReplySender(int fd, int wake, const std::atomic<bool>& stopping, std::chrono::steady_clock::time_point deadline)
        : fd_(fd), wake_(wake), stopping_(stopping), deadline_(deadline) {}

    void write_character(char c) override {
        pending_.push_back(c);
        if (pending_.size() >= capacity) flush();
    }
    void write_characters(const char* bytes, std::size_t length) override {
        pending_.append(bytes, length);
        if (pending_.size() >= capacity) flush();
    }

    // Sends what is pending; false once anything could not be sent in time.
    bool flush() {
        std::string_view bytes(pending_);
        while (!failed_ && !bytes.empty()) {
            const auto put = retryOnInterrupt([&] { return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT); });
            if (put > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(put));
                continue;
            }
            if (put < 0 && errno != EAGAIN) {
                failed_ = true;
                break;
            }
            // A client that does not read its replies loses its connection, not a thread.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now()).count();
            pollfd entries[2] = {{fd_, POLLOUT, 0}, {wake_, POLLIN, 0}};
            const int ready = left <= 0 ? 0 : retryOnInterrupt([&] { return ::poll(entries, 2, static_cast<int>(left)); });
            if (ready < 0 || stopping_.load() || (ready == 0 && left <= 0)) failed_ = true;
        }
        pending_.clear();
        return !failed_;
    }

private:
    static constexpr std::size_t capacity = 16 * 1024;
    int fd_;
    int wake_;
    const std::atomic<bool>& stopping_;
    std::chrono::steady_clock::time_point deadline_;
    std::string pending_;
    bool failed_ = false;
};

}  // namespace

bool VarlinkService::State::writeReply(int fd, const nlohmann::json& reply) const {
    const auto sender = std::make_shared<ReplySender>(fd, wake.get(), stopping,
                                                      std::chrono::steady_clock::now() + limits.messageTimeout);
    nlohmann::detail::serializer<nlohmann::json> serializer(sender, ' ', nlohmann::json::error_handler_t::replace);
    serializer.dump(reply, false, false, 0);
    sender->write_character('\0');
    return sender->flush();
}

}  // namespace vornelo::platform

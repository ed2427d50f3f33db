#include "Platform/Ipc/VarlinkClient.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

namespace vornelo::platform {

namespace {

VarlinkClientError transportError(std::string description) {
    return {VarlinkClientError::Kind::transport, {}, nullptr, std::move(description)};
}

}  // namespace

std::expected<VarlinkClient, VarlinkClientError> VarlinkClient::connect(const std::filesystem::path& path) {
    sockaddr_un address{};
    if (path.native().size() >= sizeof address.sun_path) {
        return std::unexpected(transportError("The socket path " + path.native() + " is too long."));
    }
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return std::unexpected(transportError(std::string("Could not make a socket: ") + std::strerror(errno) + "."));
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    if (retryOnInterrupt([&] { return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address); }) != 0) {
        const int error = errno;
        const auto kind = error == EACCES || error == EPERM ? VarlinkClientError::Kind::denied
                                                            : VarlinkClientError::Kind::notListening;
        return std::unexpected(VarlinkClientError{kind, {}, nullptr,
                                                  "Could not connect to " + path.native() + ": " + std::strerror(error) + "."});
    }
    return VarlinkClient(std::move(fd));
}

bool VarlinkClient::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const auto put = retryOnInterrupt([&] { return ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL); });
        if (put <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

std::expected<std::string, VarlinkClientError> VarlinkClient::receive() {
    char chunk[65536];
    for (;;) {
        if (const auto end = pending_.find('\0'); end != std::string::npos) {
            std::string message = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return message;
        }
        if (pending_.size() > maxReplyBytes) return std::unexpected(transportError("The reply is too long."));
        const auto got = retryOnInterrupt([&] { return ::recv(fd_.get(), chunk, sizeof chunk, 0); });
        if (got == 0) return std::unexpected(transportError("The service closed the connection."));
        if (got < 0) return std::unexpected(transportError(std::string("The connection failed: ") + std::strerror(errno) + "."));
        pending_.append(chunk, static_cast<std::size_t>(got));
    }
}

std::expected<nlohmann::json, VarlinkClientError> VarlinkClient::call(std::string_view method,
                                                                      const nlohmann::json& parameters) {
    std::string request = nlohmann::json{{"method", method}, {"parameters", parameters}}.dump(
        -1, ' ', false, nlohmann::json::error_handler_t::replace);
    request.push_back('\0');
    if (!send(request)) return std::unexpected(transportError("The service closed the connection."));
    const auto text = receive();
    if (!text) return std::unexpected(text.error());
    const auto reply = nlohmann::json::parse(*text, nullptr, false);
    if (reply.is_discarded() || !reply.is_object()) return std::unexpected(transportError("The reply is not a Varlink message."));
    const auto parameters_ = reply.value("parameters", nlohmann::json::object());
    if (const auto error = reply.find("error"); error != reply.end()) {
        const std::string name = error->is_string() ? error->get<std::string>() : "";
        return std::unexpected(VarlinkClientError{VarlinkClientError::Kind::remote, name, parameters_,
                                                  "The service answered with the error " + name + "."});
    }
    return parameters_;
}

}  // namespace vornelo::platform

#pragma once
// A Varlink client on a UNIX stream socket: one connection, calls made one at a time, each
// answered by one reply (the protocol of VarlinkService).
//
// Thread safety: one object is used by one thread at a time.

#include "Platform/Files/FileDescriptor.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace vornelo::platform {

struct VarlinkClientError {
    enum class Kind {
        notListening,  // no socket at the path, or nobody accepts on it
        denied,        // the socket exists but may not be opened
        transport,     // the connection broke or the reply was not a Varlink message
        remote,        // the service answered with a Varlink error
    };
    Kind kind = Kind::transport;
    std::string error;  // remote: the error's qualified name
    nlohmann::json parameters;
    std::string description;  // one sentence
};

class VarlinkClient {
public:
    static constexpr std::size_t maxReplyBytes = 64 * 1024 * 1024;

    [[nodiscard]] static std::expected<VarlinkClient, VarlinkClientError> connect(const std::filesystem::path& path);

    // Sends {"method": method, "parameters": parameters} and returns the reply's parameters.
    [[nodiscard]] std::expected<nlohmann::json, VarlinkClientError> call(std::string_view method,
                                                                         const nlohmann::json& parameters);

    // The raw transport, for tests and benchmarks that send bytes of their own.
    int fd() const { return fd_.get(); }
    // Sends raw bytes; reads one NUL-terminated message (without its NUL).
    [[nodiscard]] bool send(std::string_view bytes);
    [[nodiscard]] std::expected<std::string, VarlinkClientError> receive();

private:
    explicit VarlinkClient(FileDescriptor fd) : fd_(std::move(fd)) {}
    FileDescriptor fd_;
    std::string pending_;
};

}  // namespace vornelo::platform

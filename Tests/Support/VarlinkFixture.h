#pragma once
// Helper and Varlink fixtures. A Varlink service on a socket in a temporary folder (reachable by every user), run on a thread
// of its own for the life of the object, and small client helpers for tests that speak bytes.

#include "Platform/Ipc/VarlinkClient.h"
#include "Platform/Ipc/VarlinkService.h"
#include "Support/TempDirectory.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <vector>
#include <string>
#include <thread>

namespace vornelo::test {

class ServedSocket {
public:
    ServedSocket(std::string interfaceText, platform::VarlinkService::Accept accept,
                 platform::VarlinkService::Limits limits = {})
        : path_(directory_ / "service.sock"),
          service_(std::move(interfaceText), {"Vendor", "Product", "7", "https://example.invalid"},
                   std::move(accept), limits) {
        ::chmod(directory_.path().c_str(), 0755);
        if (const auto listening = service_.listen(path_); !listening) throw std::runtime_error(listening.error());
        thread_ = std::thread([this] { service_.run(); });
    }
    ~ServedSocket() {
        service_.stop();
        thread_.join();
    }

    const std::filesystem::path& path() const { return path_; }
    platform::VarlinkService& service() { return service_; }

    platform::VarlinkClient connect() const {
        auto client = platform::VarlinkClient::connect(path_);
        if (!client) throw std::runtime_error(client.error().description);
        return std::move(*client);
    }

private:
    TempDirectory directory_{"vornelo-varlink"};
    std::filesystem::path path_;
    platform::VarlinkService service_;
    std::thread thread_;
};

// Whether the other end closed the connection within the time (end of file or a reset).
inline bool closedByPeer(int fd, int timeoutMs = 5000) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) <= 0) return false;
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// The test's own process as a connection's peer.
inline platform::SocketPeer ownPeer() {
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    auto peer = platform::SocketPeer::ofSocket(fds[0]);
    ::close(fds[0]);
    ::close(fds[1]);
    return std::move(*peer);
}

// The helper log's messages, without their timestamps; none when the file is missing.
inline std::vector<std::string> logMessages(const std::filesystem::path& file) {
    std::vector<std::string> out;
    std::istringstream lines(std::filesystem::exists(file) ? readFile(file) : "");
    for (std::string line; std::getline(lines, line);) out.push_back(line.substr(line.find(' ') + 1));
    return out;
}

}  // namespace vornelo::test

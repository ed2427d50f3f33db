// The helper's round trip for HelperVersion on an open connection (the daemon's own listener,
// delegate and connection handler, in this process), against a bare echo of the same request
// bytes over a UNIX socket in the same run. scripts/bench-helper prints the ratio.

#include "Helper/DaemonRemovalSteps.h"
#include "Helper/HelperInterface.h"
#include "Helper/ListenerDelegate.h"
#include "Platform/VarlinkClient.h"

#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

using namespace vornelo;

std::string versionRequest() {
    std::string request = nlohmann::json{{"method", helper::HelperInterface::helperVersionMethod},
                                         {"parameters", nlohmann::json::object()}}
                              .dump();
    request.push_back('\0');
    return request;
}

// Sends the request and reads up to and including the NUL of the answer.
bool roundTrip(int fd, const std::string& request, char* buffer, std::size_t size) {
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return false;
    for (;;) {
        const auto got = ::recv(fd, buffer, size, 0);
        if (got <= 0) return false;
        if (buffer[got - 1] == '\0') return true;
    }
}

void BM_BareEcho(benchmark::State& state) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    // Reads a message up to its NUL and writes the same bytes back, as little as a server can do.
    std::thread echo([fd = fds[1]] {
        char buffer[4096];
        std::string message;
        for (;;) {
            const auto got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) return;
            message.append(buffer, static_cast<std::size_t>(got));
            if (message.back() != '\0') continue;
            if (::send(fd, message.data(), message.size(), MSG_NOSIGNAL) <= 0) return;
            message.clear();
        }
    });
    const auto request = versionRequest();
    char buffer[4096];
    for (auto _ : state) {
        if (!roundTrip(fds[0], request, buffer, sizeof buffer)) state.SkipWithError("the echo broke");
    }
    ::close(fds[0]);
    echo.join();
    ::close(fds[1]);
}
BENCHMARK(BM_BareEcho)->UseRealTime()->Unit(benchmark::kMicrosecond);

// With VORNELO_BENCH_ANCHORS naming an anchor store and this executable signed by it, every
// message is vetted by its code identity as the daemon does; else everyone is admitted.
void helperVersion(benchmark::State& state, bool vetted) {
    const char* anchors = std::getenv("VORNELO_BENCH_ANCHORS");
    if (vetted && anchors == nullptr) {
        state.SkipWithError("VORNELO_BENCH_ANCHORS is not set");
        return;
    }
    platform::CodeSigning signing{anchors ? anchors : ""};
    const auto vetting = vetted ? helper::ClientVetting(signing) : helper::ClientVetting::admittingEveryone();
    const auto directory = std::filesystem::temp_directory_path() / ("vornelo-bench-" + std::to_string(::getpid()));
    const auto socket = directory / "helper.sock";
    const helper::HelperLog log(directory / "helper.log");
    helper::IdleMonitor idle({}, [] { return std::chrono::system_clock::now(); }, [] {});
    helper::DaemonRemovalSteps steps({}, log);
    const helper::ListenerDelegate delegate(steps, idle, log, vetting);
    platform::VarlinkService service(std::string(helper::HelperInterface::text), {},
                                     [&](const platform::SocketPeer& peer) { return delegate.accept(peer); });
    if (!service.listen(socket)) {
        state.SkipWithError("the service could not listen");
        return;
    }
    std::thread serving([&] { service.run(); });
    {
        auto client = platform::VarlinkClient::connect(socket);
        const auto request = versionRequest();
        char buffer[4096];
        for (auto _ : state) {
            if (!client || !roundTrip(client->fd(), request, buffer, sizeof buffer)) state.SkipWithError("the helper broke");
        }
    }
    service.stop();
    serving.join();
    std::filesystem::remove_all(directory);
}
void BM_HelperVersion(benchmark::State& state) { helperVersion(state, false); }
BENCHMARK(BM_HelperVersion)->UseRealTime()->Unit(benchmark::kMicrosecond);
void BM_HelperVersionVetted(benchmark::State& state) { helperVersion(state, true); }
BENCHMARK(BM_HelperVersionVetted)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

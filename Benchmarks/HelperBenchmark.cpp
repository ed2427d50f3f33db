// The helper's round trip for HelperVersion on an open connection (the daemon's own listener,
// delegate and connection handler, in this process), against a bare echo of the same request
// bytes over a UNIX socket in the same run; and, as root, a RemoveItems of 500 applications granted
// by a polkit rule (a bus and polkitd of its own) against one pkcheck of the same action plus 500
// renameat2 calls on the same tree. scripts/bench-helper prints the ratios.

#include "Helper/DaemonRemovalSteps.h"
#include "Core/HelperPolicy.h"
#include "Core/PackageOwnership.h"
#include "Core/HelperInterface.h"
#include "Helper/ListenerDelegate.h"
#include "Core/PrivilegedHelperConstants.h"
#include "Helper/AdministratorApproval.h"
#include "Helper/ConnectionHandler.h"
#include "Platform/Encoding/Base64.h"
#include "Platform/Trash/TrashInfo.h"
#include "Platform/Ipc/VarlinkClient.h"
#include "Support/PolkitSandbox.h"
#include "Support/TempDirectory.h"
#include "Support/VarlinkFixture.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>
#include <vector>

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

constexpr int removalCount = 500;

void makeApps(const std::filesystem::path& folder) {
    for (int index = 0; index < removalCount; ++index) {
        const auto app = folder / ("App" + std::to_string(index) + ".app");
        std::filesystem::create_directories(app / "Contents");
        test::writeFile(app / "Contents/Info.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier"
                                                     "</key><string>com.example.app" + std::to_string(index) + "</string></dict></plist>");
    }
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor seconds (user and system) of this process, or of its reaped children.
double cpuSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The least any mover into a Trash of this format does per item: claim the name with a new
// .trashinfo (created exclusively, handed to the user, written) and rename the item beside it.
// Returns false when a step fails, so a broken floor is never reported as a fast one.
bool moveLikeTheFloor(const std::filesystem::path& folder, const std::filesystem::path& trash, const test::Account& account) {
    std::filesystem::create_directories(trash / "files");
    std::filesystem::create_directories(trash / "info");
    const int files = ::open((trash / "files").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int info = ::open((trash / "info").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool moved = files >= 0 && info >= 0;
    for (int index = 0; moved && index < removalCount; ++index) {
        const std::string name = "App" + std::to_string(index) + ".app";
        const auto text = platform::TrashInfo::contents((folder / name).native(), std::chrono::system_clock::now());
        const int fd = ::openat(info, platform::TrashInfo::fileName(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        moved = fd >= 0 && ::fchown(fd, account.uid, account.gid) == 0 &&
                ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (fd >= 0) ::close(fd);
        moved = moved && ::renameat2(AT_FDCWD, (folder / name).c_str(), files, name.c_str(), RENAME_NOREPLACE) == 0;
    }
    if (files >= 0) ::close(files);
    if (info >= 0) ::close(info);
    return moved;
}

// Puts `folder` aside under `aside` and makes a new empty one like it, so that a round finds every
// name free. Nothing is deleted: on a file system without a journal, new files after many
// deletions cost far more, which would weigh on the rounds rather than on what they measure.
void renewed(const std::filesystem::path& folder, const std::filesystem::path& aside) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        std::filesystem::create_directories(folder);
        return;
    }
    std::filesystem::create_directories(aside.parent_path());
    std::filesystem::rename(folder, aside);
    std::filesystem::create_directory(folder);
    ::chmod(folder.c_str(), info.st_mode & 07777);
    [[maybe_unused]] const int owned = ::chown(folder.c_str(), info.st_uid, info.st_gid);
}

double median(std::vector<double> values) {
    std::ranges::sort(values);
    return values[values.size() / 2];
}

constexpr int removalRounds = 5;

// In the polkit sandbox: "<removal seconds> <baseline seconds> <removal CPU seconds> <baseline CPU
// seconds> <floor seconds>", each the median of the rounds, or why it could not run. The rounds
// take the three in turn, each round in another order, so that a file system that slows down
// or speeds up as it fills weighs on all three alike. The removal's processor time is the
// helper's (this process, whose threads serve the socket); the baseline's is the renames' and
// pkcheck's. Neither counts polkitd's.
// With `inMemory`, the whole tree is on a tmpfs of its own (private to the sandbox), where new
// files cost little, so the figures show the helper's own work rather than the disk's.
std::string measureRemoval(bool inMemory) {
    const std::string right(PrivilegedHelperConstants::authorizationRight);
    test::TempDirectory root;
    const auto account = test::unprivilegedAccount();
    const auto outcome = test::runWithPolkit(
        {{{right + ".policy", test::readFile(VORNELO_SOURCE_DIR "/packaging/polkit/" + right + ".policy")}},
         test::polkitRule(right, "YES")},
        [&]() -> std::string {
            if (inMemory && ::mount("tmpfs", root.path().c_str(), "tmpfs", 0, "mode=0755") != 0) return "no tmpfs";
            for (const char* folder : {"home", "Library", "Applications", "baseline"}) std::filesystem::create_directories(root / folder);
            ::chmod(root.path().c_str(), 0755);
            if (::chown((root / "home").c_str(), account.uid, account.gid) != 0) return "no home for the user";
            test::writeFile(root / "passwd", std::regex_replace(test::readFile("/etc/passwd"),
                std::regex("\nnobody:([^:]*:[^:]*:[^:]*:[^:]*):[^:]*:"), "\nnobody:$1:" + (root / "home").native() + ":"));
            if (::mount((root / "passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0) return "no passwd mount";
            if (!platform::Trash::prepareUserTrash(account.uid)) return "no Trash";
            const auto trash = root / "home/.local/share/Trash";
            const helper::HelperLog log(root / "helper.log");
            helper::IdleMonitor idle({}, [] { return std::chrono::system_clock::now(); }, [] {});
            const platform::Authorization authorization;
            const helper::AdministratorApproval approval(authorization, log);
            const PathProtection protection("/var/empty", PathProtection::noStrings(), PathProtection::noStrings());
            // The apps are application folders in a Linux root, so the request also pays the package
            // manager's one question about all 500 (the system's own dpkg-query or rpm).
            auto places = HelperPolicy::LinuxRoots{}.under((root / "linux").native());
            places.applications = (root / "Applications").native();
            const PackageOwnership packages(PackageOwnership::forThisSystem());
            helper::DaemonRemovalSteps steps({{},
                                              helper::DaemonRemovalSteps::policyFor(
                                                  HelperPolicy::Roots{(root / "macOS/Applications").native(), (root / "Library").native(), places},
                                                  protection),
                                              {}, "/nonexistent/launchctl", "/nonexistent/systemctl",
                                              helper::DaemonRemovalSteps::packagesFor(places, packages),
                                              [&](auto form, const auto& peer) { return approval.authorizationStatus(form, peer); }},
                                             log);
            const test::ServedSocket served(std::string(helper::HelperInterface::text), [&](const platform::SocketPeer& peer) {
                return std::make_unique<helper::ConnectionHandler>(peer, steps, idle, log);
            });
            std::vector<std::string> paths;
            for (int index = 0; index < removalCount; ++index) paths.push_back(root / "Applications" / ("App" + std::to_string(index) + ".app"));
            const std::string check = "pkcheck --action-id " + right + " --process " + std::to_string(::getpid()) + " >/dev/null 2>&1";
            std::vector<double> removals, baselines, removalCpus, baselineCpus, floors, queries;
            // Each returns why it failed, or nothing.
            const auto removal = [&]() -> std::string {
                const double helperCpu = cpuSeconds(RUSAGE_SELF);
                const auto client = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
                    auto connection = platform::VarlinkClient::connect(served.path());
                    const auto form = platform::Authorization().externalFormOfThisProcess();
                    if (!connection || !form) return "no connection";
                    const auto start = std::chrono::steady_clock::now();
                    const auto reply = connection->call(helper::HelperInterface::removeItemsMethod,
                                                        {{"paths", paths}, {"authorization", platform::Base64::encode(*form)}});
                    if (!reply || (*reply)["moved"].size() != removalCount) return "FAILED " + (reply ? reply->dump().substr(0, 300) : "");
                    return "SECONDS " + std::to_string(secondsSince(start));
                });
                if (!client.message.starts_with("SECONDS ")) return client.message;
                removalCpus.push_back(cpuSeconds(RUSAGE_SELF) - helperCpu);
                removals.push_back(std::stod(client.message.substr(8)));
                return {};
            };
            const auto baseline = [&]() -> std::string {
                const double cpu = cpuSeconds(RUSAGE_SELF) + cpuSeconds(RUSAGE_CHILDREN);
                const auto start = std::chrono::steady_clock::now();
                if (std::system(check.c_str()) != 0) return "pkcheck refused";
                for (int index = 0; index < removalCount; ++index) {
                    const std::string name = "App" + std::to_string(index) + ".app";
                    ::renameat2(AT_FDCWD, (root / "Applications" / name).c_str(), AT_FDCWD, (root / "baseline" / name).c_str(), RENAME_NOREPLACE);
                }
                baselines.push_back(secondsSince(start));
                baselineCpus.push_back(cpuSeconds(RUSAGE_SELF) + cpuSeconds(RUSAGE_CHILDREN) - cpu);
                return {};
            };
            const auto floor = [&]() -> std::string {
                const auto start = std::chrono::steady_clock::now();
                if (std::system(check.c_str()) != 0) return "pkcheck refused";
                if (!moveLikeTheFloor(root / "Applications", root / "floor", account)) return "the floor's moves failed";
                floors.push_back(secondsSince(start));
                return {};
            };
            // The package manager's one question alone, as the removal asks it.
            const auto query = [&]() -> std::string {
                const auto start = std::chrono::steady_clock::now();
                if (!packages.refusals(paths, [](const std::string&) { return true; }).empty()) return "the package check refused an app";
                queries.push_back(secondsSince(start));
                return {};
            };
            const std::array<std::function<std::string()>, 4> inTurn{removal, baseline, floor, query};
            for (int round = 0; round < removalRounds; ++round) {
                int aside = 0;
                for (const auto& folder : {trash / "files", trash / "info", root / "baseline", root / "floor/files", root / "floor/info"}) {
                    renewed(folder, root / "aside" / (std::to_string(round) + "-" + std::to_string(aside++)));
                }
                for (std::size_t step = 0; step < inTurn.size(); ++step) {
                    makeApps(root / "Applications");
                    if (auto failed = inTurn[(step + static_cast<std::size_t>(round)) % inTurn.size()](); !failed.empty()) return failed;
                }
            }
            return "FIGURES " + std::to_string(median(removals)) + " " + std::to_string(median(baselines)) + " " +
                   std::to_string(median(removalCpus)) + " " + std::to_string(median(baselineCpus)) + " " +
                   std::to_string(median(floors)) + " " + std::to_string(median(queries));
        });
    return outcome.message;
}

// One run of interleaved rounds, reported as counters: the medians of each figure.
void removeItems500(benchmark::State& state, bool inMemory) {
    if (const auto reason = test::polkitSandboxSkipReason(); !reason.empty()) {
        state.SkipWithError(reason.c_str());
        return;
    }
    double removal = 0, baseline = 0, removalCpu = 0, baselineCpu = 0, floor = 0, query = 0;
    for (auto _ : state) {
        const auto message = measureRemoval(inMemory);
        if (!message.starts_with("FIGURES ") || std::sscanf(message.c_str() + 8, "%lf %lf %lf %lf %lf %lf", &removal, &baseline,
                                                            &removalCpu, &baselineCpu, &floor, &query) != 6) {
            state.SkipWithError(message.c_str());
            return;
        }
    }
    state.counters["removal_ms"] = removal * 1000;
    state.counters["baseline_ms"] = baseline * 1000;
    state.counters["removal_cpu_ms"] = removalCpu * 1000;
    state.counters["baseline_cpu_ms"] = baselineCpu * 1000;
    state.counters["floor_ms"] = floor * 1000;
    state.counters["query_ms"] = query * 1000;
}
void BM_RemoveItems500(benchmark::State& state) { removeItems500(state, false); }
BENCHMARK(BM_RemoveItems500)->Iterations(1)->Unit(benchmark::kMillisecond);
void BM_RemoveItems500InMemory(benchmark::State& state) { removeItems500(state, true); }
BENCHMARK(BM_RemoveItems500InMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

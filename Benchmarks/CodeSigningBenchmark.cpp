// Code identity checks on a signed 5 MB executable, against sha256sum of the same file in the
// same run: the first check of a file (hash, CMS, chain, requirement), the same for a running
// peer, and the cached peer check that a message costs. scripts/bench-codesign makes the fixture
// (VORNELO_CODESIGN_FIXTURE: a signed "program" and an "anchors" folder) and prints the ratios.

#include "Core/PrivilegedHelperConstants.h"
#include "Platform/Identity/CodeSigning.h"
#include "Platform/Identity/PeerProcess.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using namespace vornelo;
using platform::CodeSigning;

std::filesystem::path fixture() {
    const char* folder = std::getenv("VORNELO_CODESIGN_FIXTURE");
    return folder ? folder : "";
}

const platform::CodeRequirement& requirement() {
    static const auto parsed = platform::CodeRequirement::parse(PrivilegedHelperConstants::clientRequirement).value();
    return parsed;
}

pid_t spawn(const std::string& program, std::vector<std::string> arguments, bool quiet) {
    arguments.insert(arguments.begin(), program);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (quiet) ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
}

void runSha256sum(benchmark::State& state, const std::string& file) {
    for (auto _ : state) {
        const pid_t pid = spawn("/usr/bin/sha256sum", {file}, true);
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid || status != 0) {
            state.SkipWithError("sha256sum failed");
            break;
        }
    }
}

void BM_Sha256sum(benchmark::State& state) { runSha256sum(state, fixture() / "program"); }
BENCHMARK(BM_Sha256sum)->UseRealTime()->Unit(benchmark::kMicrosecond);

// What sha256sum costs before it reads a byte: its start and exit.
void BM_Sha256sumStartup(benchmark::State& state) { runSha256sum(state, "/dev/null"); }
BENCHMARK(BM_Sha256sumStartup)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_FirstCheckOfFile(benchmark::State& state) {
    const CodeSigning signing(fixture() / "anchors");
    for (auto _ : state) {
        if (!signing.checkFile(fixture() / "program", requirement()).satisfied) {
            state.SkipWithError("the fixture does not satisfy the requirement");
            break;
        }
    }
}
BENCHMARK(BM_FirstCheckOfFile)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The signed program running as a peer (it is a padded copy of sleep).
class RunningPeer {
public:
    RunningPeer() : pid_(spawn(fixture() / "program", {"600"}, true)), pidfd_(platform::PeerProcess::pidfdOf(pid_)) {
        ::usleep(50'000);  // past the loader
    }
    ~RunningPeer() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    int pidfd() const { return pidfd_.get(); }

private:
    pid_t pid_;
    platform::FileDescriptor pidfd_;
};

void checkPeer(benchmark::State& state, bool cached) {
    RunningPeer peer;
    CodeSigning signing(fixture() / "anchors");
    (void)signing.checkPeer(peer.pidfd(), requirement());
    for (auto _ : state) {
        if (!cached) signing.clearCache();
        const auto verdict = signing.checkPeer(peer.pidfd(), requirement());
        if (!verdict.satisfied || verdict.fromCache != cached) {
            state.SkipWithError(verdict.reason.c_str());
            break;
        }
    }
}

void BM_FirstCheckOfPeer(benchmark::State& state) { checkPeer(state, false); }
BENCHMARK(BM_FirstCheckOfPeer)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_CachedCheckOfPeer(benchmark::State& state) { checkPeer(state, true); }
BENCHMARK(BM_CachedCheckOfPeer)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

// The process runner's cost on top of starting a program: /bin/true through runBlocking and the
// asynchronous run, against a bare posix_spawn + waitpid of the same program in the same run.
// scripts/bench-process prints the ratios.

#include "Core/ProcessRunner.h"

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr const char* program = "/bin/true";

void BM_BareSpawnAndWait(benchmark::State& state) {
    char name[] = "/bin/true";
    char* argv[] = {name, nullptr};
    for (auto _ : state) {
        pid_t pid = -1;
        if (::posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(BM_BareSpawnAndWait)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_RunBlocking(benchmark::State& state) {
    for (auto _ : state) {
        const auto output = vornelo::ProcessRunner::runBlocking(program, {}, 10);
        if (!output.succeeded()) {
            state.SkipWithError("the runner did not succeed");
            break;
        }
        benchmark::DoNotOptimize(output);
    }
}
BENCHMARK(BM_RunBlocking)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_RunAsync(benchmark::State& state) {
    for (auto _ : state) {
        const auto output = vornelo::ProcessRunner::run(program, {}, 10).get();
        if (!output.succeeded()) {
            state.SkipWithError("the runner did not succeed");
            break;
        }
        benchmark::DoNotOptimize(output);
    }
}
BENCHMARK(BM_RunAsync)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

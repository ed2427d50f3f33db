// Protection checks per second. The baseline is the kernel's own path resolution (realpath) of
// the same path: shouldProtect must resolve links too, so the ratio shows what the rules add.

#include "Core/PathProtection.h"

#include <benchmark/benchmark.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

using vornelo::PathProtection;

struct Fixture {
    std::filesystem::path root;
    std::filesystem::path existing;
    std::filesystem::path missing;

    Fixture() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vornelo-bench.XXXXXX").native();
        root = ::mkdtemp(pattern.data());
        existing = root / "home/Library/Caches/com.example.app/data/blob.bin";
        std::filesystem::create_directories(existing.parent_path());
        std::ofstream(existing) << "x";
        missing = root / "home/Library/Caches/com.example.gone/data/blob.bin";
        std::filesystem::create_directory_symlink(root / "home", root / "home-link");
    }
    ~Fixture() { std::filesystem::remove_all(root); }
};

Fixture& fixture() {
    static Fixture shared;
    return shared;
}

PathProtection::StringListProvider exclusions(bool withExclusions) {
    auto list = std::make_shared<PathProtection::StringList>();
    if (withExclusions) {
        for (int i = 0; i < 20; ++i) list->push_back((fixture().root / "home/Projects" / std::to_string(i)).native());
    }
    std::shared_ptr<const PathProtection::StringList> shared = list;
    return [shared] { return shared; };
}

void BM_ShouldProtect(benchmark::State& state) {
    const bool existing = state.range(0) != 0;
    const bool withExclusions = state.range(1) != 0;
    const PathProtection protection(fixture().root / "home", exclusions(withExclusions), PathProtection::noStrings());
    const auto& path = existing ? fixture().existing : fixture().missing;
    for (auto _ : state) benchmark::DoNotOptimize(protection.shouldProtect(path));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ShouldProtect)->ArgNames({"existing", "exclusions"})->Args({1, 0})->Args({1, 1})->Args({0, 0})->Args({0, 1});

// A path that only the last rule protects: every table is walked and nothing touches the disk. A
// home reached through a link has its tables in both spellings.
void BM_EveryRuleWalked(benchmark::State& state) {
    const auto home = fixture().root / (state.range(0) != 0 ? "home-link" : "home");
    const PathProtection protection(home, exclusions(true), PathProtection::noStrings());
    const std::filesystem::path path = "/opt/vendor/com.crowdstrike.falcon/agent";
    for (auto _ : state) benchmark::DoNotOptimize(protection.shouldProtect(path));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EveryRuleWalked)->ArgName("homeLink")->Arg(0)->Arg(1);

void BM_RealpathBaseline(benchmark::State& state) {
    char resolved[PATH_MAX];
    for (auto _ : state) benchmark::DoNotOptimize(::realpath(fixture().existing.c_str(), resolved));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RealpathBaseline);

void BM_Normalise(benchmark::State& state) {
    const std::string path = "/private/var/folders/ab/cd/T/com.example.app/cache/";
    for (auto _ : state) benchmark::DoNotOptimize(PathProtection::normalise(path));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Normalise);

}  // namespace

BENCHMARK_MAIN();

// The allocated-size walk over a generated tree, warm cache. scripts/bench-engine compares the
// same walk with du on a larger tree.

#include "Core/FileSizing.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

// folders x files, one byte each, under a fresh temporary folder removed at exit.
class Tree {
public:
    Tree(int folders, int filesPerFolder) {
        std::string pattern = (fs::temp_directory_path() / "vornelo-sizing-bench.XXXXXX").native();
        root_ = ::mkdtemp(pattern.data());
        for (int folder = 0; folder < folders; ++folder) {
            const auto path = root_ / ("group-" + std::to_string(folder / 50)) / ("folder-" + std::to_string(folder));
            fs::create_directories(path);
            for (int file = 0; file < filesPerFolder; ++file) {
                const auto name = path / ("file-" + std::to_string(file));
                const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                if (fd >= 0) {
                    (void)::write(fd, "x", 1);
                    ::close(fd);
                }
            }
        }
    }
    ~Tree() {
        std::error_code error;
        fs::remove_all(root_, error);
    }
    const fs::path& root() const { return root_; }

private:
    fs::path root_;
};

void allocatedSize(benchmark::State& state) {
    static const Tree tree(100, 100);
    const auto& files = vornelo::platform::FileManager::defaultManager();
    const std::function<bool()> always = [] { return true; };
    std::int64_t total = 0;
    for (auto _ : state) {
        total = vornelo::FileSizing::allocatedSize(tree.root(), files, nullptr, always);
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * 10100);
    state.counters["bytes"] = static_cast<double>(total);
}
BENCHMARK(allocatedSize)->Unit(benchmark::kMillisecond);

void allocatedSizeWithRecorder(benchmark::State& state) {
    static const Tree tree(100, 100);
    const auto& files = vornelo::platform::FileManager::defaultManager();
    const std::function<bool()> always = [] { return true; };
    for (auto _ : state) {
        vornelo::ScanCoverageRecorder coverage;
        benchmark::DoNotOptimize(vornelo::FileSizing::allocatedSize(tree.root(), files, &coverage, always));
    }
    state.SetItemsProcessed(state.iterations() * 10100);
}
BENCHMARK(allocatedSizeWithRecorder)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

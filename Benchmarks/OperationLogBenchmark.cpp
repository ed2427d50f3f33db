// Operation log speed, each against a baseline measured in the same run:
// - append + flush against a loop doing only the file operations one line needs (append the
//   line, read the totals file, replace it atomically);
// - verifyChain and export over a full retained log (five rotated files and the current one, each
//   at the 5,000,000-byte threshold); scripts/bench-oplog compares them with sha256sum;
// - recent(50) on a 1 KB and a 5 MB log, which should cost the same.
//
// `OperationLogBenchmark --write-fixture DIR` writes the full retained log into DIR and exits, so
// that the script can hash the very same files.

#include "Core/OperationLog.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

using vornelo::OperationLog;
using Entry = OperationLog::Entry;
namespace fs = std::filesystem;

Entry sampleEntry(int number) {
    static const auto session = vornelo::Uuid::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    const auto when = vornelo::platform::TimePoint{std::chrono::sys_days{std::chrono::year{2024} / 5 / 1}} +
                      std::chrono::seconds(number);
    const std::string name = "Cache.db-" + std::to_string(number);
    return Entry(when, session, "clean", "/home/user/Library/Caches/com.example.browser/data/" + name,
                 4096 + number % 100000, OperationLog::Mode::trash, OperationLog::Outcome::success, false,
                 number % 7 == 0 ? std::optional<std::string>("Skipped: the item is in use.") : std::nullopt,
                 "/home/user/.Trash/" + name, 1'000'000 + static_cast<std::uint64_t>(number));
}

fs::path makeScratch() {
    std::string pattern = (fs::temp_directory_path() / "vornelo-oplog-bench.XXXXXX").native();
    return ::mkdtemp(pattern.data());
}

// Appends chained lines to `text` until it holds at least `minBytes` (a rotated file, which is
// moved once it reaches the threshold) or until one more line would reach `belowBytes` (the
// current file, which has not reached it yet). OperationLog stamps prevHash itself; here the chain
// is built by hand, the same way, so that fixtures of any size are quick to make.
void appendChainedLines(std::string& text, std::size_t minBytes, std::size_t belowBytes, int& number,
                        std::optional<std::string>& previous, OperationLog::Totals& totals) {
    for (;;) {
        const auto entry = sampleEntry(number + 1);
        auto line = *OperationLog::encodeLine(entry);
        if (previous) line.insert(line.find(",\"sessionID\""), ",\"prevHash\":\"" + *previous + "\"");
        if (text.size() >= minBytes || text.size() + line.size() + 1 >= belowBytes) return;
        ++number;
        previous = OperationLog::hash(line);
        (void)totals.record(entry);
        text.append(line).push_back('\n');
    }
}

// Writes the files the store would have after long use: rotated files 5..1 at the threshold and
// the current log just under it, chained across the files, plus a totals file naming the last line.
void writeRetainedLog(const fs::path& folder) {
    const OperationLog names(folder / "operations.log", false);
    std::optional<std::string> previous;
    OperationLog::Totals totals;
    int number = 0;
    constexpr auto threshold = static_cast<std::size_t>(OperationLog::defaultMaxFileBytes);
    for (int file = OperationLog::rotatedFilesKept; file >= 0; --file) {
        std::string text;
        if (file == 0) {
            appendChainedLines(text, SIZE_MAX, threshold, number, previous, totals);
        } else {
            appendChainedLines(text, threshold, SIZE_MAX, number, previous, totals);
        }
        std::ofstream(file == 0 ? names.fileURL() : names.rotatedURL(file), std::ios::binary) << text;
    }
    totals.lastHash = previous;
    std::ofstream(names.totalsURL(), std::ios::binary) << totals.encoded();
}

struct RetainedLog {
    fs::path folder;
    bool owned = false;
    RetainedLog() {
        if (const char* given = std::getenv("VORNELO_OPLOG_FIXTURE")) {
            folder = given;
            return;
        }
        folder = makeScratch();
        owned = true;
        writeRetainedLog(folder);
    }
    ~RetainedLog() {
        if (owned) fs::remove_all(folder);
    }
};

RetainedLog& retainedLog() {
    static RetainedLog shared;
    return shared;
}

constexpr int batch = 100;

void BM_AppendFlush(benchmark::State& state) {
    const auto folder = makeScratch();
    {
        OperationLog log(folder / "operations.log", true);
        int number = 0;
        for (auto _ : state) {
            for (int i = 0; i < batch; ++i) log.append(sampleEntry(++number));
            log.flush();
        }
        state.SetItemsProcessed(state.iterations() * batch);
    }
    fs::remove_all(folder);
}
BENCHMARK(BM_AppendFlush)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Only the file operations of one line, with no encoding, hashing or parsing: the floor.
void BM_MinimalLoop(benchmark::State& state) {
    const auto folder = makeScratch();
    const auto log = (folder / "operations.log").native();
    const auto totals = (folder / "operations.totals.json").native();
    const auto temporary = (folder / ".operations.totals.json.tmp").native();
    const std::string line = *OperationLog::encodeLine(sampleEntry(1)) + ",\"prevHash\":\"" + std::string(64, '0') + "\"\n";
    const std::string totalsText = OperationLog::Totals(1, 1, std::string(64, '0'), 1, 0).encoded();
    std::ofstream(totals) << totalsText;
    char buffer[4096];
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
            benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
            ::close(fd);
            fd = ::open(totals.c_str(), O_RDONLY | O_CLOEXEC);
            while (::read(fd, buffer, sizeof buffer) > 0) {
            }
            ::close(fd);
            fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            benchmark::DoNotOptimize(::write(fd, totalsText.data(), totalsText.size()));
            ::close(fd);
            ::rename(temporary.c_str(), totals.c_str());
        }
    }
    state.SetItemsProcessed(state.iterations() * batch);
    fs::remove_all(folder);
}
BENCHMARK(BM_MinimalLoop)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_EncodeLine(benchmark::State& state) {
    const auto entry = sampleEntry(7);
    for (auto _ : state) benchmark::DoNotOptimize(OperationLog::encodeLine(entry));
}
BENCHMARK(BM_EncodeLine);

void BM_TotalsRoundTrip(benchmark::State& state) {
    OperationLog::Totals totals(1'000'000, 5000, std::string(64, 'a'), 2'000'000, 0);
    for (auto _ : state) benchmark::DoNotOptimize(OperationLog::Totals::decode(totals.encoded()));
}
BENCHMARK(BM_TotalsRoundTrip);

void BM_VerifyChain(benchmark::State& state) {
    const OperationLog log(retainedLog().folder / "operations.log", false);
    for (auto _ : state) {
        const auto status = log.verifyChain();
        if (!status.isIntact()) state.SkipWithError("the fixture does not verify");
        benchmark::DoNotOptimize(status);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(log.fileURL())));
}
BENCHMARK(BM_VerifyChain)->Unit(benchmark::kMillisecond)->UseRealTime();

void exportBenchmark(benchmark::State& state, OperationLog::ExportFormat format) {
    const OperationLog log(retainedLog().folder / "operations.log", false);
    const auto folder = makeScratch();
    for (auto _ : state) benchmark::DoNotOptimize(log.exportTo(folder / "export", format));
    fs::remove_all(folder);
}

void BM_ExportJsonLines(benchmark::State& state) { exportBenchmark(state, OperationLog::ExportFormat::jsonl); }
BENCHMARK(BM_ExportJsonLines)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ExportCsv(benchmark::State& state) { exportBenchmark(state, OperationLog::ExportFormat::csv); }
BENCHMARK(BM_ExportCsv)->Unit(benchmark::kMillisecond)->UseRealTime();

// Arg: the size of the current log in bytes.
void BM_Recent50(benchmark::State& state) {
    const auto folder = makeScratch();
    {
        std::string text;
        std::optional<std::string> previous;
        OperationLog::Totals totals;
        int number = 0;
        appendChainedLines(text, SIZE_MAX, static_cast<std::size_t>(state.range(0)), number, previous, totals);
        std::ofstream(folder / "operations.log", std::ios::binary) << text;
        const OperationLog log(folder / "operations.log", false);
        std::size_t found = 0;
        for (auto _ : state) {
            const auto entries = log.recent(50);
            found = entries.size();
            benchmark::DoNotOptimize(entries);
        }
        state.counters["logBytes"] = static_cast<double>(text.size());
        state.counters["entries"] = static_cast<double>(found);
    }
    fs::remove_all(folder);
}
BENCHMARK(BM_Recent50)->Arg(1'000)->Arg(100'000)->Arg(5'000'000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--write-fixture") == 0) {
        fs::create_directories(argv[2]);
        writeRetainedLog(argv[2]);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

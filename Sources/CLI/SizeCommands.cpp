// size PATH...: the disk space each path takes (allocated bytes, links not followed, other file
// systems not entered) and what could not be read.

#include "CLI/Context.h"
#include "CLI/EngineOutput.h"
#include "Core/ByteSizeFormatter.h"
#include "Core/ConcurrentMap.h"
#include "Core/FileSizing.h"
#include "Core/ScanCoverage.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Encoding/Checked.h"
#include "Platform/Processes/InterruptSignals.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>

namespace vornelo::cli {

namespace {

using platform::FileManager;

struct Measured {
    std::string path;  // as given
    std::int64_t sizeBytes = 0;
    bool isSymbolicLink = false;
};

std::string grouped(std::int64_t value) {
    std::string digits = std::to_string(value);
    const std::size_t first = digits.front() == '-' ? 1 : 0;
    for (auto at = digits.size(); at > first + 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

// Draws "Measuring... N items" on the terminal at most ten times a second, from whichever walk
// thread reaches a check point, and tells the walks to stop after Ctrl-C.
class ProgressLine {
public:
    ProgressLine(bool enabled, const platform::InterruptSignals& interrupts) : enabled_(enabled), interrupts_(interrupts) {}

    bool checkPoint() {
        const auto items = items_.fetch_add(FileSizing::checkInterval) + FileSizing::checkInterval;
        if (enabled_) draw(items);
        return !interrupts_.interrupted();
    }

    void clear() {
        if (!enabled_ || !drawn_) return;
        std::fputs("\r\033[K", stdout);
        std::fflush(stdout);
    }

private:
    void draw(std::uint64_t items) {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard guard(mutex_);
        if (drawn_ && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
        lastDrawn_ = now;
        drawn_ = true;
        std::printf("\r\033[KMeasuring\u2026 %s items", grouped(static_cast<std::int64_t>(items)).c_str());
        std::fflush(stdout);
    }

    const bool enabled_;
    const platform::InterruptSignals& interrupts_;
    std::atomic<std::uint64_t> items_{0};
    std::mutex mutex_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDrawn_{};
};

void printHuman(const std::vector<Measured>& items, std::int64_t total, const ScanCoverage& coverage, bool cancelled) {
    std::size_t width = 1;
    for (const auto& item : items) width = std::max(width, grouped(item.sizeBytes).size());
    for (const auto& item : items) {
        const auto figure = grouped(item.sizeBytes);
        std::cout << std::string(width - figure.size(), ' ') << figure << " bytes  " << displayed(item.path) << "  ("
                  << ByteSizeFormatter::format(item.sizeBytes) << ")";
        if (item.isSymbolicLink) std::cout << "  (symbolic link, not followed)";
        std::cout << '\n';
    }
    if (items.size() > 1) std::cout << "Total: " << grouped(total) << " bytes (" << ByteSizeFormatter::format(total) << ")\n";
    if (cancelled) std::cout << "Cancelled: the sizes above are what was measured before the stop.\n";
    if (const auto unreadable = coverage.unavailableCount(); unreadable > 0) {
        std::cout << "Could not read " << unreadable << (unreadable == 1 ? " item" : " items")
                  << " (the sizes above leave them out):\n";
        for (const auto& issue : coverage.issues) {
            if (issue.kind != ScanCoverage::Kind::missing) std::cout << "  " << displayed(issue.path) << ": " << displayed(issue.detail) << '\n';
        }
        if (coverage.additionalIssueCount > 0) std::cout << "  \u2026 and " << coverage.additionalIssueCount << " more\n";
    }
    if (const auto missing = coverage.missingCount(); missing > 0) {
        std::cout << "Missing " << missing << (missing == 1 ? " item" : " items") << ":\n";
        for (const auto& issue : coverage.issues) {
            if (issue.kind == ScanCoverage::Kind::missing) std::cout << "  " << displayed(issue.path) << '\n';
        }
    }
}

void runSize(const std::vector<std::string>& paths, Context& context) {
    auto& fileManager = FileManager::defaultManager();
    std::vector<std::string> wanted;
    for (const auto& path : paths) {
        if (path.empty()) {
            printError("An empty path cannot be measured.");
            context.noteFailure(ExitCode::badUsage);
            continue;
        }
        wanted.push_back(path);
    }
    const platform::InterruptSignals interrupts;
    ScanCoverageRecorder coverage;
    ProgressLine progress(!context.json && stdoutIsTerminal(), interrupts);
    const std::function<bool()> shouldContinue = [&progress] { return progress.checkPoint(); };
    // Several paths are measured at once; their results keep the order they were given in.
    const auto measured = concurrentMap(wanted, [&](const std::string& path) {
        const std::filesystem::path url = FileManager::absoluteStandardizedPath(path);
        Measured result{path, FileSizing::allocatedSize(url, fileManager, &coverage, shouldContinue), false};
        if (const auto attributes = fileManager.attributesOfItem(url)) {
            result.isSymbolicLink = attributes->type == platform::FileType::symbolicLink;
            coverage.checked(url);
        }
        return result;
    });
    progress.clear();

    std::int64_t total = 0;
    for (const auto& item : measured) total = checkedAdd(total, item.sizeBytes);
    const auto snapshot = coverage.snapshot();
    const bool cancelled = interrupts.interrupted();
    if (!snapshot.issues.empty() || snapshot.additionalIssueCount > 0 || cancelled) context.noteFailure();

    if (!context.json) {
        printHuman(measured, total, snapshot, cancelled);
        return;
    }
    nlohmann::json items = nlohmann::json::array();
    for (const auto& item : measured) {
        items.push_back({{"path", item.path}, {"sizeBytes", item.sizeBytes}, {"isSymbolicLink", item.isSymbolicLink}});
    }
    printJson({{"items", items}, {"totalBytes", total}, {"cancelled", cancelled}, {"coverage", coverageJson(snapshot)}});
}

}  // namespace

void addSizeCommands(CLI::App& app, Context& context) {
    auto paths = std::make_shared<std::vector<std::string>>();
    auto* size = app.add_subcommand(
        "size", "Show the disk space each path takes: allocated bytes of the regular files inside, symbolic links "
                "not followed, other file systems not entered; then what could not be read or was missing");
    size->add_option("PATH", *paths, "Files or folders to measure")->required();
    size->footer("Exit code 1 when some item could not be read or was missing, or on Ctrl-C.");
    size->callback([paths, &context] { runSize(*paths, context); });
}

}  // namespace vornelo::cli

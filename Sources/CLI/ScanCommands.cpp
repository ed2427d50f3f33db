// scan [PATH...]: finds what could be cleaned, by category, and reports it (or saves it for
// clean --from-scan). Only reads.

#include "CLI/Context.h"
#include "CLI/EngineOutput.h"
#include "CLI/ScanCleanup.h"
#include "Core/ByteSizeFormatter.h"
#include "Core/ExclusionStore.h"
#include "Core/PathProtection.h"
#include "Platform/Encoding/Iso8601.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Processes/InterruptSignals.h"
#include "Scan/CleanupScan.h"
#include "Scan/ScanFile.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

namespace vornelo::cli {

namespace {

using platform::FileManager;
using scan::Category;

struct ScanArguments {
    std::vector<std::string> paths;
    std::vector<std::string> categories;
    std::optional<int> olderThan;
    std::string minimumSize;
    std::string keep = "oldest";
    std::vector<std::string> keepIn;
    bool crossMounts = false;
    std::string save;
};

constexpr std::size_t shownPerCategory = 10;
constexpr std::size_t shownIssues = 20;
constexpr int barCells = 20;

std::string grouped(std::uint64_t value) {
    auto digits = std::to_string(value);
    for (auto at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

std::string categoryTitle(Category category) {
    switch (category) {
        case Category::cache: return "Caches";
        case Category::log: return "Logs";
        case Category::trash: return "In the Trash";
        case Category::leftover: return "Leftovers of removed applications";
        case Category::artifact: return "Build outputs";
        case Category::app: return "Applications not run for long";
        case Category::installer: return "Installers and disk images";
        case Category::duplicate: return "Identical files";
        case Category::largeFile: return "Large files";
    }
    return "Findings";
}

// A bar of eighths of a cell for `share` (0 to 1) of the whole width.
std::string bar(double share) {
    static constexpr const char* eighths[] = {"", "\u258F", "\u258E", "\u258D", "\u258C", "\u258B", "\u258A", "\u2589"};
    const auto total = static_cast<int>(std::lround(std::clamp(share, 0.0, 1.0) * barCells * 8));
    std::string text;
    for (int i = 0; i < total / 8; ++i) text += "\u2588";
    text += eighths[total % 8];
    if (text.empty() && share > 0) text = eighths[1];
    return text;
}

std::string percent(double share) {
    const auto tenths = std::lround(share * 1000);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "%";
}

// The home shown as "~" to keep lines short.
std::string shortPath(const std::string& path, const std::string& home) {
    if (!home.empty() && home != "/" && path.starts_with(home) && (path.size() == home.size() || path[home.size()] == '/')) {
        return "~" + path.substr(home.size());
    }
    return path;
}

std::string padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::optional<std::int64_t> parseSize(std::string text) {
    std::erase(text, ' ');
    std::size_t digits = 0;
    while (digits < text.size() && (std::isdigit(static_cast<unsigned char>(text[digits])) || text[digits] == '.')) ++digits;
    if (digits == 0) return std::nullopt;
    double value = 0;
    try {
        std::size_t used = 0;
        value = std::stod(text.substr(0, digits), &used);
        if (used != digits) return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    auto unit = text.substr(digits);
    std::transform(unit.begin(), unit.end(), unit.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static const std::pair<std::string_view, double> units[] = {
        {"", 1},          {"b", 1},          {"k", 1e3},          {"kb", 1e3},         {"m", 1e6},
        {"mb", 1e6},      {"g", 1e9},        {"gb", 1e9},         {"t", 1e12},         {"tb", 1e12},
        {"kib", 1024.0},  {"mib", 1048576.0}, {"gib", 1073741824.0}, {"tib", 1099511627776.0},
    };
    for (const auto& [name, factor] : units) {
        if (unit != name) continue;
        const double bytes = value * factor;
        if (!std::isfinite(bytes) || bytes > 9.2e18) return std::nullopt;
        return static_cast<std::int64_t>(bytes);
    }
    return std::nullopt;
}

// A folder named on the command line, followed to where its links lead (it was asked for).
std::optional<std::filesystem::path> namedFolder(const std::string& text, Context& context) {
    auto& files = FileManager::defaultManager();
    const auto path = files.resolvingSymlinksInPath(FileManager::absoluteStandardizedPath(text));
    const auto attributes = files.attributesOfItem(path);
    if (!attributes || attributes->type != platform::FileType::directory) {
        printError("\u201C" + text + "\u201D is not a folder that can be scanned.");
        context.noteFailure(ExitCode::badUsage);
        return std::nullopt;
    }
    return std::filesystem::path(path);
}

std::optional<scan::ScanOptions> optionsFrom(const ScanArguments& arguments, Context& context) {
    scan::ScanOptions options;
    bool valid = true;
    const auto bad = [&](const std::string& sentence) {
        printError(sentence);
        context.noteFailure(ExitCode::badUsage);
        valid = false;
    };
    for (const auto& name : arguments.categories) {
        if (const auto category = fromRawValue<Category>(name)) {
            options.categories.push_back(*category);
            continue;
        }
        std::string names;
        for (const auto category : SafeFileDeleter::allCategories) names += (names.empty() ? "" : ", ") + std::string(rawValue(category));
        bad("\u201C" + name + "\u201D is not a category; use one of " + names + ".");
    }
    if (arguments.olderThan && *arguments.olderThan < 0) bad("The age given with --older-than must be 0 days or more.");
    options.olderThanDays = arguments.olderThan;
    if (!arguments.minimumSize.empty()) {
        options.minimumSize = parseSize(arguments.minimumSize);
        if (!options.minimumSize) bad("\u201C" + arguments.minimumSize + "\u201D is not a size; give bytes, or a number with KB, MB, GB, KiB, MiB or GiB.");
    }
    if (const auto keep = scan::keepRuleFromRawValue(arguments.keep)) {
        options.keep = *keep;
    } else {
        bad("\u201C" + arguments.keep + "\u201D is not a keep rule; use oldest, newest, shortest-path or first-named.");
    }
    for (const auto& path : arguments.paths) {
        if (const auto folder = namedFolder(path, context)) options.roots.push_back(*folder); else valid = false;
    }
    for (const auto& path : arguments.keepIn) {
        if (const auto folder = namedFolder(path, context)) options.keepIn.push_back(*folder); else valid = false;
    }
    options.crossMounts = arguments.crossMounts;
    if (!valid) return std::nullopt;
    return options;
}

// "Looking… 12,345 items, 1.2 GB found  ~/Projects/app" on the terminal, ten times a second,
// from a thread of its own while the scan runs.
class ProgressLine {
public:
    ProgressLine(bool enabled, const scan::ScanProgress& progress, std::string home)
        : enabled_(enabled), progress_(progress), home_(std::move(home)) {
        if (enabled_) drawer_ = std::thread([this] { run(); });
    }
    ~ProgressLine() { finish(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void finish() {
        if (!drawer_.joinable()) return;
        {
            std::lock_guard guard(lock_);
            done_ = true;
        }
        wake_.notify_all();
        drawer_.join();
        std::fputs("\r\033[K", stdout);
        std::fflush(stdout);
    }

private:
    void run() {
        std::unique_lock lock(lock_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return done_; })) {
            auto text = progress_.phase() + "\u2026 " + grouped(progress_.items()) + " items, " +
                        ByteSizeFormatter::format(progress_.bytesFound()) + " found";
            if (const auto folder = progress_.folder(); !folder.empty()) text += "  " + shortPath(folder, home_);
            text = displayed(text);
            if (text.size() > 110) {
                // Cut before a character, never inside one.
                auto cut = std::size_t{109};
                while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
                text = text.substr(0, cut) + "\u2026";
            }
            std::printf("\r\033[K%s", text.c_str());
            std::fflush(stdout);
        }
    }

    const bool enabled_;
    const scan::ScanProgress& progress_;
    const std::string home_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread drawer_;
};

// The size of a finding or group and, on a terminal, its bar padded to the bars' width.
void printSize(std::int64_t bytes, std::int64_t total, bool terminal) {
    const double share = total > 0 ? static_cast<double>(bytes) / static_cast<double>(total) : 0;
    std::cout << "  " << padded(ByteSizeFormatter::format(bytes), 9) << "  ";
    if (terminal) std::cout << bar(share) << std::string(static_cast<std::size_t>(barCells - std::min(barCells, static_cast<int>(std::ceil(share * barCells)))), ' ') << "  ";
}

void printFinding(const scan::Finding& finding, std::int64_t total, bool terminal, const std::string& home) {
    printSize(finding.sizeBytes, total, terminal);
    std::cout << displayed(shortPath(finding.path, home)) << '\n';
    std::cout << "             " << displayed(finding.reason ? *finding.reason : "") << " Last changed "
              << platform::Iso8601::format(finding.lastUsed).substr(0, 10) << "."
              << (finding.confidence == scan::Confidence::review ? " Look before cleaning." : "") << '\n';
}

void printDuplicates(const scan::ScanReport& report, std::int64_t total, bool terminal, const std::string& home) {
    std::vector<std::vector<const std::string*>> copies(report.duplicateGroups.size());
    for (const auto& finding : report.findings) {
        if (finding.group >= 0) copies.at(static_cast<std::size_t>(finding.group)).push_back(&finding.path);
    }
    std::size_t shown = 0;
    for (std::size_t g = 0; g < report.duplicateGroups.size(); ++g) {
        const auto& group = report.duplicateGroups[g];
        if (shown++ == shownPerCategory) {
            std::cout << "  \u2026 and " << countText(static_cast<std::int64_t>(report.duplicateGroups.size() - shownPerCategory), "more group")
                      << " (--json lists them all)\n";
            break;
        }
        printSize(group.bytesBack, total, terminal);
        std::cout << "back from "
                  << (group.copyCount == 1 ? std::string("1 copy") : std::to_string(group.copyCount) + " copies") << " of "
                  << displayed(shortPath(group.kept.front(), home)) << " (kept: " << group.keptBecause << ")\n";
        for (const auto* copy : copies[g]) std::cout << "             " << displayed(shortPath(*copy, home)) << '\n';
    }
}

void printCoverage(const ScanCoverage& coverage) {
    if (const auto unreadable = coverage.unavailableCount(); unreadable > 0) {
        std::cout << "\nCould not look at " << countText(unreadable, "item") << " (the totals leave them out):\n";
        std::size_t shown = 0;
        for (const auto& issue : coverage.issues) {
            if (issue.kind == ScanCoverage::Kind::missing) continue;
            if (shown++ == shownIssues) break;
            std::cout << "  " << displayed(issue.path) << ": " << displayed(issue.detail) << '\n';
        }
        if (const auto more = unreadable - static_cast<std::int64_t>(std::min(shown, shownIssues)); more > 0) {
            std::cout << "  \u2026 and " << more << " more\n";
        }
    }
    if (const auto missing = coverage.missingCount(); missing > 0) {
        std::cout << "\n" << countText(missing, "item") << (missing == 1 ? " was" : " were")
                  << " gone, or a link leading nowhere, and left alone.\n";
    }
}

void printReport(const scan::ScanReport& report, bool terminal, const std::string& home) {
    const auto total = report.totalBytes();
    if (report.findings.empty()) {
        std::cout << "Found nothing to clean among " << grouped(static_cast<std::uint64_t>(report.itemsLookedAt)) << " items.\n";
    } else {
        std::cout << "Found " << ByteSizeFormatter::format(total) << " to clean in "
                  << countText(static_cast<std::int64_t>(report.findings.size()), "item") << " (" << grouped(static_cast<std::uint64_t>(total))
                  << " bytes, each file counted once), among " << grouped(static_cast<std::uint64_t>(report.itemsLookedAt))
                  << " items looked at.\n";
    }
    for (const auto& category : report.totals()) {
        const double share = total > 0 ? static_cast<double>(category.sizeBytes) / static_cast<double>(total) : 0;
        std::cout << '\n' << categoryTitle(category.category) << ": " << ByteSizeFormatter::format(category.sizeBytes) << " in "
                  << countText(category.count, "item") << ", " << percent(share) << " of the total";
        if (terminal) std::cout << "  " << bar(share);
        std::cout << '\n';
        if (category.category == Category::duplicate) {
            printDuplicates(report, total, terminal, home);
            continue;
        }
        std::size_t shown = 0;
        std::int64_t rest = 0;
        for (const auto& finding : report.findings) {
            if (finding.category != category.category) continue;
            if (shown++ < shownPerCategory) {
                printFinding(finding, total, terminal, home);
            } else {
                rest += finding.sizeBytes;
            }
        }
        if (shown > shownPerCategory) {
            std::cout << "  \u2026 and " << countText(static_cast<std::int64_t>(shown - shownPerCategory), "more item") << " ("
                      << ByteSizeFormatter::format(rest) << "; --json lists them all)\n";
        }
    }
    printCoverage(report.coverage);
    if (report.cancelled) std::cout << "\nStopped early: the findings above are what was found before the stop.\n";
}

void runScan(const ScanArguments& arguments, Context& context) {
    const auto options = optionsFrom(arguments, context);
    if (!options) return;
    auto& files = FileManager::defaultManager();
    if (const auto problem = ExclusionStore::shared().readProblem()) {
        printError("Nothing was scanned, because your exclusions cannot be read and the findings could hold what you "
                   "excluded: " + *problem + ".");
        context.noteFailure();
        return;
    }
    const auto places = scan::ScanPlaces::forCurrentUser(files);
    // The shared rules, with the exclusions and managed prefixes read once for the whole scan
    // rather than at each of its many questions; the cleanup judges again with fresh ones.
    const auto once = [](const PathProtection::StringListProvider& provider) {
        return [list = provider()] { return list; };
    };
    const PathProtection protection(places.home, once(PathProtection::defaultExclusions()),
                                    once(PathProtection::defaultExtraBundlePrefixes()), files);
    const scan::CleanupScan scanner(places, protection, files);
    const platform::InterruptSignals interrupts;
    scan::ScanProgress progress;
    const bool terminal = !context.json && stdoutIsTerminal();
    scan::ScanReport report;
    {
        ProgressLine line(terminal, progress, places.home);
        report = scanner.run(*options, progress, interrupts.token());
    }
    if (report.cancelled || report.coverage.isPartial()) context.noteFailure();
    if (!arguments.save.empty()) {
        if (const auto saved = scan::ScanFile::save(report, FileManager::absoluteStandardizedPath(arguments.save), files); !saved) {
            printError(saved.error());
            context.noteFailure();
        }
    }
    if (context.json) {
        scan::ScanFile::write(report, [](std::string_view piece) { std::cout.write(piece.data(), static_cast<std::streamsize>(piece.size())); });
        std::cout.flush();
        return;
    }
    printReport(report, terminal, places.home);
    if (report.findings.empty()) return;
    if (!arguments.save.empty()) {
        std::cout << "\nSaved to " << displayed(arguments.save) << ": \u201Cvornelo-cli clean --from-scan " << displayed(arguments.save)
                  << "\u201D moves what it lists to the Trash as one run, after showing the plan.\n";
    } else {
        std::cout << "\nSave the findings with --save FILE, then clean them with \u201Cvornelo-cli clean --from-scan FILE\u201D.\n";
    }
}

}  // namespace

void addScanCommands(CLI::App& app, Context& context) {
    auto arguments = std::make_shared<ScanArguments>();
    auto* scan = app.add_subcommand(
        "scan", "Find what could be cleaned, by category: caches, logs, the Trash, leftovers of removed applications, "
                "build outputs, old installers, unused AppImages, identical files and large files. Changes nothing");
    scan->add_option("PATH", arguments->paths,
                     "Folders to look in (default: your home, the Trash of every file system, and as root the "
                     "system's package cache and crash reports)");
    scan->add_option("--category", arguments->categories,
                     "Only these categories (repeat it, or separate them with commas): cache, log, trash, leftover, "
                     "artifact, app, installer, duplicate, largeFile")
        ->delimiter(',')
        ->allow_extra_args(false);
    scan->add_option("--older-than", arguments->olderThan,
                     "Only what was not changed (used, for applications; trashed, for the Trash) for DAYS; replaces each "
                     "category's own age");
    scan->add_option("--min-size", arguments->minimumSize,
                     "Leave out findings smaller than SIZE (500MB, 4KiB, ...); also where large files and identical files "
                     "start (defaults 500 MB and 1 byte)");
    scan->add_option("--keep", arguments->keep,
                     "Which of identical files stays: oldest (the default), newest, shortest-path or first-named (in the "
                     "order of the PATHs)");
    scan->add_option("--keep-in", arguments->keepIn, "Every copy of identical files inside this folder stays");
    scan->add_flag("--cross-mounts", arguments->crossMounts, "Also look in other file systems mounted below the folders");
    scan->add_option("--save", arguments->save, "Save every finding to FILE, for clean --from-scan FILE");
    scan->footer("Protected and excluded places are never findings. Ctrl-C stops with what was found so far. --json "
                 "prints every finding and group. Exit code 1 when something could not be looked at or on Ctrl-C.");
    scan->callback([arguments, &context] { runScan(*arguments, context); });
}

}  // namespace vornelo::cli

// size PATH...: the disk space each path takes (allocated bytes, links not followed, other file
// systems not entered) and what could not be read; with --depth or --top, the largest items at each
// level below, and with --export the whole measured tree for browse --import.

#include "CLI/Context.h"
#include "CLI/EngineOutput.h"
#include "CLI/SpaceText.h"
#include "Core/ByteSizeFormatter.h"
#include "Core/ConcurrentMap.h"
#include "Core/FileSizing.h"
#include "Core/ScanCoverage.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Encoding/Checked.h"
#include "Platform/Processes/InterruptSignals.h"
#include "Scan/SpaceTree.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace vornelo::cli {

namespace {

using platform::FileManager;

struct Measured {
    std::string path;  // as given
    std::int64_t sizeBytes = 0;
    bool isSymbolicLink = false;
};

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

void runTotals(const std::vector<std::string>& paths, Context& context) {
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


struct SizeOptions {
    std::vector<std::string> paths;
    std::optional<std::int64_t> depth;
    std::optional<std::int64_t> top;
    std::string sort = "size";
    bool apparent = false;
    std::string exportFile;

    bool listsLevels() const { return depth || top || apparent || !exportFile.empty() || sort != "size"; }
};

// One measured path: a folder's tree, or a single item's size.
struct Sized {
    std::string path;  // as given
    std::filesystem::path url;
    std::unique_ptr<SpaceTree> tree;  // folders only
    SpaceTree::Totals totals;
    bool isSymbolicLink = false;
    bool exists = true;
};

struct Listing {
    const SizeOptions& options;
    std::size_t depth;
    std::size_t top;
    SpaceTree::Order order;
};

// The largest entries of a folder and what the rest amount to: the entries past `top` and the
// files not kept by name.
struct Level {
    std::vector<SpaceTree::Entry> shown;
    std::int64_t moreCount = 0;
    SpaceTree::Totals more;
};

Level levelOf(const SpaceTree& tree, const SpaceTree::Folder& folder, const Listing& listing) {
    Level level;
    auto entries = tree.entries(folder, listing.order, listing.options.apparent);
    const auto other = tree.otherFiles(folder);
    level.more = other;
    level.moreCount = other.files;
    for (std::size_t at = listing.top; at < entries.size(); ++at) {
        const auto& entry = entries[at];
        level.more.sizeBytes = checkedAdd(level.more.sizeBytes, entry.totals.sizeBytes);
        level.more.apparentBytes = checkedAdd(level.more.apparentBytes, entry.totals.apparentBytes);
        ++level.moreCount;
    }
    if (entries.size() > listing.top) entries.resize(listing.top);
    level.shown = std::move(entries);
    return level;
}

std::string childPath(const std::string& parent, const std::string& name) {
    return parent.ends_with('/') ? parent + name : parent + "/" + name;
}

// Why each listed item is protected, judged for all of them at once: a folder is searched two levels
// deep for security software, which is most of the time a listing takes after the walk.
using Verdicts = std::unordered_map<std::string, std::optional<std::string>>;

void collectListed(const SpaceTree& tree, const SpaceTree::Folder& folder, const std::string& path, std::size_t depth,
                   const Listing& listing, std::vector<std::pair<std::string, bool>>& listed) {
    for (const auto& entry : levelOf(tree, folder, listing).shown) {
        const auto entryPath = childPath(path, entry.name);
        listed.emplace_back(entryPath, entry.folder != nullptr);
        if (entry.folder && depth + 1 < listing.depth) collectListed(tree, *entry.folder, entryPath, depth + 1, listing, listed);
    }
}

Verdicts judged(std::vector<std::pair<std::string, bool>> listed) {
    const auto reasons = concurrentMap(listed, [](const std::pair<std::string, bool>& item) {
        return protectionOf(item.first, item.second);
    });
    Verdicts verdicts;
    for (std::size_t at = 0; at < listed.size(); ++at) verdicts.emplace(std::move(listed[at].first), reasons[at]);
    return verdicts;
}

nlohmann::json levelJson(const SpaceTree& tree, const SpaceTree::Folder& folder, const std::string& path,
                         std::int64_t parentBytes, std::size_t depth, const Listing& listing, const Verdicts& verdicts) {
    const auto level = levelOf(tree, folder, listing);
    auto children = nlohmann::json::array();
    for (const auto& entry : level.shown) {
        const auto entryPath = childPath(path, entry.name);
        const auto& reason = verdicts.at(entryPath);
        nlohmann::json child{{"name", entry.name},
                             {"path", entryPath},
                             {"kind", SpaceTree::kindName(entry.kind)},
                             {"sizeBytes", entry.totals.sizeBytes},
                             {"apparentSizeBytes", entry.totals.apparentBytes},
                             {"fileCount", entry.totals.files},
                             {"folderCount", entry.totals.folders},
                             {"share", parentBytes > 0 ? static_cast<double>(entry.totals.bytes(listing.options.apparent)) /
                                                             static_cast<double>(parentBytes)
                                                       : 0.0},
                             {"protected", reason.has_value()},
                             {"unreadable", entry.unreadable},
                             {"otherFileSystem", entry.otherFileSystem}};
        if (reason) child["reason"] = *reason;
        if (entry.folder && depth + 1 < listing.depth) {
            const auto below = levelJson(tree, *entry.folder, entryPath, entry.totals.bytes(listing.options.apparent), depth + 1,
                                         listing, verdicts);
            child["children"] = below["children"];
            child["moreItems"] = below["moreItems"];
        }
        children.push_back(std::move(child));
    }
    return {{"children", std::move(children)},
            {"moreItems",
             {{"count", level.moreCount}, {"sizeBytes", level.more.sizeBytes}, {"apparentSizeBytes", level.more.apparentBytes}}}};
}

// One line: size, bar and share of the parent, then the name indented by its depth.
class LevelPrinter {
public:
    LevelPrinter(const SpaceTree& tree, const Listing& listing, const Verdicts& verdicts, bool terminal)
        : tree_(tree), listing_(listing), verdicts_(verdicts), terminal_(terminal) {}

    void print(const SpaceTree::Folder& folder, const std::string& path, std::int64_t parentBytes, std::size_t depth) const {
        const auto level = levelOf(tree_, folder, listing_);
        const std::string indent(2 * depth, ' ');
        for (const auto& entry : level.shown) {
            const auto bytes = entry.totals.bytes(listing_.options.apparent);
            const auto entryPath = childPath(path, entry.name);
            std::cout << columns(bytes, parentBytes, true) << indent << displayed(entry.name)
                      << (entry.folder ? "/" : "");
            if (entry.folder) std::cout << "  " << filesText(entry.totals.files);
            if (entry.kind == SpaceTree::Kind::symbolicLink) std::cout << "  (symbolic link, not followed)";
            if (entry.otherFileSystem) std::cout << "  (another file system, not entered)";
            if (entry.unreadable) std::cout << "  (could not be read entirely)";
            if (const auto& reason = verdicts_.at(entryPath)) {
                std::cout << "  " << highlighted("protected: " + displayed(*reason));
            }
            std::cout << '\n';
            if (entry.folder && depth + 1 < listing_.depth) print(*entry.folder, entryPath, bytes, depth + 1);
        }
        if (level.moreCount > 0) {
            const auto bytes = level.more.bytes(listing_.options.apparent);
            std::cout << columns(bytes, parentBytes, false) << indent << "\u2026 and " << grouped(level.moreCount)
                      << (level.moreCount == 1 ? " more item" : " more items") << '\n';
        }
    }

private:
    std::string columns(std::int64_t bytes, std::int64_t parentBytes, bool withBar) const {
        auto size = ByteSizeFormatter::format(bytes);
        auto share = shareText(bytes, parentBytes);
        const std::string bar = withBar ? "[" + barText(bytes, parentBytes, 10, false) + "]" : std::string(12, ' ');
        return std::string(size.size() < 9 ? 9 - size.size() : 0, ' ') + size + "  " + bar + "  " +
               std::string(share.size() < 6 ? 6 - share.size() : 0, ' ') + share + "  ";
    }
    std::string highlighted(const std::string& text) const {
        const char* type = std::getenv("TERM");
        const bool colours = terminal_ && !noColourWanted() && type && std::string_view(type) != "dumb";
        return colours ? "\033[33m" + text + "\033[0m" : text;
    }

    const SpaceTree& tree_;
    const Listing& listing_;
    const Verdicts& verdicts_;
    const bool terminal_;
};

std::optional<SpaceTree::Order> parseOrder(const std::string& text) {
    if (text == "size") return SpaceTree::Order::size;
    if (text == "name") return SpaceTree::Order::name;
    if (text == "count") return SpaceTree::Order::count;
    return std::nullopt;
}

bool validOptions(const SizeOptions& options, Context& context) {
    const auto refuse = [&context](const std::string& sentence) {
        printError(sentence);
        context.noteFailure(ExitCode::badUsage);
        return false;
    };
    if (options.depth && (*options.depth < 0 || *options.depth > 1000)) {
        return refuse("The depth must be between 0 and 1000, not " + std::to_string(*options.depth) + ".");
    }
    if (options.top && *options.top < 1) return refuse("The number of items per level must be 1 or more, not " + std::to_string(*options.top) + ".");
    if (!parseOrder(options.sort)) return refuse("\u201C" + options.sort + "\u201D is not an order; use size, name or count.");
    if (!options.exportFile.empty() && options.paths.size() != 1) return refuse("Only one folder can be exported at a time.");
    for (const auto& path : options.paths) {
        if (path.empty()) return refuse("An empty path cannot be measured.");
    }
    return true;
}

void runLevels(const SizeOptions& options, Context& context) {
    if (!validOptions(options, context)) return;
    const auto& fileManager = FileManager::defaultManager();
    const Listing listing{options, static_cast<std::size_t>(options.depth.value_or(1)),
                          static_cast<std::size_t>(options.top.value_or(10)), *parseOrder(options.sort)};
    const bool exporting = !options.exportFile.empty();
    SpaceTree::Options treeOptions;
    treeOptions.filesPerFolder = exporting ? std::max(listing.top, SpaceTree::Options{}.filesPerFolder) : listing.depth > 0 ? listing.top : 0;
    treeOptions.folderDepth = exporting ? SpaceTree::unlimited : listing.depth;
    treeOptions.keepByApparentSize = options.apparent;

    const platform::InterruptSignals interrupts;
    ScanCoverageRecorder coverage;
    ProgressLine progress(!context.json && stdoutIsTerminal(), interrupts);
    const std::function<bool()> shouldContinue = [&progress] { return progress.checkPoint(); };
    std::vector<Sized> measured;
    for (const auto& path : options.paths) {
        if (interrupts.interrupted()) break;
        Sized item{path, FileManager::absoluteStandardizedPath(path), nullptr, {}, false, true};
        const auto attributes = fileManager.attributesOfItem(item.url);
        if (!attributes) {
            coverage.failed(item.url, attributes.error());
            item.exists = false;
        } else if (attributes->type == platform::FileType::directory) {
            item.tree = std::make_unique<SpaceTree>(item.url, treeOptions);
            item.tree->measure(fileManager, &coverage, shouldContinue);
            item.totals = item.tree->totals(item.tree->root());
            coverage.checked(item.url);
        } else {
            item.isSymbolicLink = attributes->type == platform::FileType::symbolicLink;
            const auto values = FileSizing::ResourceValues::from(*attributes);
            const bool regular = attributes->type == platform::FileType::regular;
            item.totals = {FileSizing::fileSize(values).value_or(0), regular ? attributes->size : 0, 1, 0};
            coverage.checked(item.url);
        }
        measured.push_back(std::move(item));
    }
    progress.clear();
    const bool cancelled = interrupts.interrupted();
    const auto snapshot = coverage.snapshot();
    if (!snapshot.issues.empty() || snapshot.additionalIssueCount > 0 || cancelled) context.noteFailure();

    std::optional<std::string> exportProblem;
    if (exporting && !cancelled) {
        if (measured.empty() || !measured.front().tree) {
            exportProblem = "Only a folder can be exported, and " + options.paths.front() + " is none.";
        } else if (const auto written = measured.front().tree->exportTo(options.exportFile); !written) {
            exportProblem = "The measured tree could not be written to " + options.exportFile + ": " + clause(written.error().description) + ".";
        }
        if (exportProblem) {
            printError(*exportProblem);
            context.noteFailure();
        }
    }

    std::int64_t total = 0;
    std::vector<std::pair<std::string, bool>> listed;
    for (const auto& item : measured) {
        total = checkedAdd(total, item.totals.bytes(options.apparent));
        if (item.exists) listed.emplace_back(item.url.native(), item.tree != nullptr);
        if (item.tree && listing.depth > 0) collectListed(*item.tree, item.tree->root(), item.url.native(), 0, listing, listed);
    }
    const auto verdicts = judged(std::move(listed));
    const auto verdictOf = [&verdicts](const Sized& item) {
        return item.exists ? verdicts.at(item.url.native()) : std::nullopt;
    };
    if (context.json) {
        nlohmann::json items = nlohmann::json::array();
        for (const auto& item : measured) {
            const auto reason = verdictOf(item);
            nlohmann::json object{{"path", item.path},
                                  {"sizeBytes", item.totals.sizeBytes},
                                  {"apparentSizeBytes", item.totals.apparentBytes},
                                  {"fileCount", item.totals.files},
                                  {"folderCount", item.totals.folders},
                                  {"isSymbolicLink", item.isSymbolicLink},
                                  {"protected", reason.has_value()}};
            if (reason) object["reason"] = *reason;
            if (item.tree && listing.depth > 0) {
                auto level = levelJson(*item.tree, item.tree->root(), item.url.native(), item.totals.bytes(options.apparent), 0,
                                       listing, verdicts);
                object["children"] = level["children"];
                object["moreItems"] = level["moreItems"];
            }
            items.push_back(std::move(object));
        }
        nlohmann::json document{{"items", items}, {"totalBytes", total}, {"cancelled", cancelled}, {"coverage", coverageJson(snapshot)}};
        if (exporting) document["exported"] = !cancelled && !exportProblem ? nlohmann::json(options.exportFile) : nlohmann::json(nullptr);
        printJson(document);
        return;
    }
    const bool terminal = stdoutIsTerminal();
    for (const auto& item : measured) {
        const auto bytes = item.totals.bytes(options.apparent);
        std::cout << displayed(item.path) << ": " << ByteSizeFormatter::format(bytes) << " (" << grouped(bytes)
                  << (options.apparent ? " bytes long" : " bytes") << ")";
        if (item.tree) std::cout << " in " << filesText(item.totals.files) << " and " << grouped(item.totals.folders) << (item.totals.folders == 1 ? " folder" : " folders");
        if (item.isSymbolicLink) std::cout << "  (symbolic link, not followed)";
        if (const auto reason = verdictOf(item)) {
            std::cout << "  protected: " << displayed(*reason);
        }
        std::cout << '\n';
        if (item.tree && listing.depth > 0) LevelPrinter(*item.tree, listing, verdicts, terminal).print(item.tree->root(), item.url.native(), bytes, 0);
    }
    if (measured.size() > 1) std::cout << "Total: " << grouped(total) << " bytes (" << ByteSizeFormatter::format(total) << ")\n";
    if (cancelled) std::cout << "Cancelled: the sizes above are what was measured before the stop.\n";
    printHuman({}, 0, snapshot, false);
    if (exporting && !cancelled && !exportProblem) std::cout << "The measured tree is in " << displayed(options.exportFile) << "; \u201Cvornelo-cli browse --import " << displayed(options.exportFile) << "\u201D shows it.\n";
}

}  // namespace

void addSizeCommands(CLI::App& app, Context& context) {
    auto options = std::make_shared<SizeOptions>();
    auto* size = app.add_subcommand(
        "size", "Show the disk space each path takes: allocated bytes of the regular files inside, symbolic links "
                "not followed, other file systems not entered; with --depth or --top, the largest items at each "
                "level below with their share of the folder above; then what could not be read or was missing");
    size->add_option("PATH", options->paths, "Files or folders to measure")->required();
    size->add_option("--depth", options->depth, "List the largest items this many levels down (default 1 with --top)");
    size->add_option("--top", options->top, "How many items to list at each level (default 10)");
    size->add_option("--sort", options->sort, "Order of each level: size (the default, largest first), name or count (most files first)");
    size->add_flag("--apparent", options->apparent, "Use the files' lengths rather than the space they take on disk");
    size->add_option("--export", options->exportFile,
                     "Also write the whole measured tree of the one folder given to FILE (JSON), for browse --import")
        ->type_name("FILE");
    size->footer("Protected items are marked with the rule that protects them. Exit code 1 when some item could not "
                 "be read or was missing, or on Ctrl-C.");
    size->callback([options, &context] {
        if (options->listsLevels()) {
            runLevels(*options, context);
        } else {
            runTotals(options->paths, context);
        }
    });
}

}  // namespace vornelo::cli

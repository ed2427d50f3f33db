#include "CLI/ScanCleanup.h"

#include "CLI/EngineOutput.h"
#include "Core/ExclusionStore.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Files/RegularFile.h"
#include "Platform/Processes/InterruptSignals.h"
#include "Scan/ScanFile.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <map>
#include <unordered_set>

namespace vornelo::cli {

namespace {

using Deleter = SafeFileDeleter;
using platform::FileManager;

struct LeftOut {
    std::string path;
    std::string reason;
};

constexpr std::size_t compareBufferBytes = 256 * 1024;

// Whether two regular files hold the same bytes, read to the end; false on any failure.
bool sameContents(const std::string& first, const std::string& second) {
    auto a = platform::RegularFile::openForReading(first);
    auto b = platform::RegularFile::openForReading(second);
    if (!a || !b || a->sizeWhenOpened() != b->sizeWhenOpened()) return false;
    std::vector<char> left(compareBufferBytes);
    std::vector<char> right(compareBufferBytes);
    for (std::int64_t offset = 0;;) {
        const auto gotLeft = a->read(offset, left);
        const auto gotRight = b->read(offset, right);
        if (!gotLeft || !gotRight || *gotLeft != *gotRight) return false;
        if (!std::equal(left.begin(), left.begin() + static_cast<std::ptrdiff_t>(*gotLeft), right.begin())) return false;
        if (*gotLeft < left.size()) return true;
        offset += static_cast<std::int64_t>(*gotLeft);
    }
}

// Why a finding cannot be cleaned as the scan saw it, or nothing when it still can.
std::optional<std::string> changeSinceScan(const scan::Finding& finding, const std::unordered_set<std::string>& cleaning) {
    const auto& files = FileManager::defaultManager();
    const auto attributes = files.attributesOfItem(finding.path);
    if (!attributes) return "It is gone.";
    if (attributes->fileNumber != finding.fileNumber) return "Another item is there now.";
    if (attributes->type == platform::FileType::regular && attributes->allocatedSize != finding.measuredBytes) {
        return "Its size changed.";
    }
    if (finding.category != scan::Category::duplicate) return std::nullopt;
    // Never every copy: the one that stays must still be there, unchanged, and not be cleaned too.
    const auto& kept = *finding.keptCopy;
    if (cleaning.contains(kept)) return "The copy that stays is listed for cleaning too.";
    const auto keptAttributes = files.attributesOfItem(kept);
    if (!keptAttributes || keptAttributes->fileNumber != finding.keptFileNumber ||
        keptAttributes->type != platform::FileType::regular) {
        return "The copy that stays is gone or is another file now.";
    }
    if (!sameContents(finding.path, kept)) return "It no longer holds the same contents as the copy that stays.";
    return std::nullopt;
}

struct FromScanRequest {
    std::string file;
    std::optional<std::vector<std::string>> categories;
    std::string mode = "trash";
    bool dryRun = false;
    bool yes = false;
};

// What clean was asked: its paths (nothing), a cleanup from a scan, or something refused (reported).
std::optional<std::optional<FromScanRequest>> requestFrom(const CLI::App& clean, Context& context) {
    const auto* fromScan = clean.get_option("--from-scan");
    const bool pathsGiven = clean.get_option("PATH")->count() > 0;
    if (fromScan->count() == 0) {
        if (pathsGiven) return std::optional<FromScanRequest>();
        printError("Name the paths to clean, or a saved scan with --from-scan FILE.");
        context.noteFailure(ExitCode::badUsage);
        return std::nullopt;
    }
    FromScanRequest request;
    request.file = fromScan->as<std::string>();
    if (pathsGiven) {
        printError("Give either paths to clean or --from-scan " + request.file + ", not both.");
        context.noteFailure(ExitCode::badUsage);
        return std::nullopt;
    }
    if (const auto* category = clean.get_option("--category"); category->count() > 0) {
        request.categories = category->as<std::vector<std::string>>();
    }
    if (const auto* mode = clean.get_option("--mode"); mode->count() > 0) request.mode = mode->as<std::string>();
    request.dryRun = clean.get_option("--dry-run")->count() > 0;
    request.yes = clean.get_option("--yes")->count() > 0;
    return std::optional(request);
}

struct ScanPlan {
    Deleter::Plan plan = Deleter::Plan::empty();
    ScanCoverage coverage;
    std::vector<LeftOut> leftOut;
    bool cancelled = false;
};

ScanPlan planFor(const std::vector<scan::Finding>& findings, bool showProgress) {
    ScanPlan result;
    std::unordered_set<std::string> cleaning;
    for (const auto& finding : findings) cleaning.insert(finding.path);
    const platform::InterruptSignals interrupts;
    ScanCoverageRecorder coverage;
    StatusLine line(showProgress);
    std::vector<Deleter::Plan> parts;
    std::map<std::string, const scan::Finding*> byPath;
    for (std::size_t i = 0; i < findings.size() && !interrupts.interrupted(); ++i) {
        const auto& finding = findings[i];
        line.show("Checking " + std::to_string(i + 1) + " of " + std::to_string(findings.size()) + ": " + finding.path);
        if (const auto change = changeSinceScan(finding, cleaning)) {
            result.leftOut.push_back({finding.path, *change});
            continue;
        }
        const std::filesystem::path url(finding.path);
        parts.push_back(Deleter::shared().preview(std::span(&url, 1), finding.category, &coverage, interrupts.token()));
        byPath[finding.path] = &finding;
    }
    line.clear();
    auto plan = Deleter::Plan::merged(parts);
    // A folder whose size changed is not what the scan judged.
    std::unordered_set<std::string> changed;
    for (const auto& item : plan.items()) {
        const auto found = byPath.find(item.id());
        if (found != byPath.end() && found->second->isFolder && item.sizeBytes() != found->second->measuredBytes) {
            changed.insert(item.id());
            result.leftOut.push_back({item.id(), "Its size changed."});
        }
    }
    result.plan = changed.empty() ? std::move(plan) : plan.removing(changed);
    result.coverage = coverage.snapshot();
    result.cancelled = interrupts.interrupted();
    return result;
}

nlohmann::json leftOutJson(const std::vector<LeftOut>& leftOut) {
    auto list = nlohmann::json::array();
    for (const auto& item : leftOut) list.push_back({{"path", item.path}, {"reason", item.reason}});
    return list;
}

void printLeftOut(const std::vector<LeftOut>& leftOut) {
    if (leftOut.empty()) return;
    std::cout << "Changed since the scan, left out (" << leftOut.size() << "):\n";
    for (const auto& item : leftOut) std::cout << "  " << displayed(item.path) << "\n    " << item.reason << '\n';
}

void runFromScan(const FromScanRequest& request, Context& context, const CleanSteps& steps) {
    const auto mode = fromRawValue<Deleter::Mode>(request.mode);
    if (!mode) {
        printError("\u201C" + request.mode + "\u201D is not a mode; use trash or permanent.");
        context.noteFailure(ExitCode::badUsage);
        return;
    }
    std::optional<std::vector<Deleter::Category>> categories;
    if (request.categories) {
        categories.emplace();
        for (const auto& name : *request.categories) {
            const auto category = fromRawValue<Deleter::Category>(name);
            if (!category) {
                printError("\u201C" + name + "\u201D is not a category; use one of cache, log, trash, leftover, artifact, "
                           "app, installer, duplicate or largeFile.");
                context.noteFailure(ExitCode::badUsage);
                return;
            }
            categories->push_back(*category);
        }
    }
    auto saved = scan::ScanFile::read(FileManager::absoluteStandardizedPath(request.file), FileManager::defaultManager());
    if (!saved) {
        printError(saved.error());
        context.noteFailure(ExitCode::badUsage);
        return;
    }
    if (const auto problem = ExclusionStore::shared().readProblem()) {
        printError("Nothing was cleaned, because your exclusions cannot be read and cleaning could touch what you "
                   "excluded: " + *problem + ".");
        context.noteFailure();
        return;
    }
    if (categories) {
        std::erase_if(saved->findings, [&](const scan::Finding& finding) {
            return std::find(categories->begin(), categories->end(), finding.category) == categories->end();
        });
    }
    const bool showProgress = !context.json && stdoutIsTerminal();
    const auto planned = planFor(saved->findings, showProgress);
    if (!context.json) {
        printPlan(planned.plan, *mode, planned.coverage);
        printLeftOut(planned.leftOut);
    }
    if (!planned.leftOut.empty() || planned.cancelled) context.noteFailure();
    const auto report = [&](const nlohmann::json& result, const std::optional<Uuid>& session) {
        printJson({{"sessionID", session ? nlohmann::json(session->uuidString()) : nlohmann::json(nullptr)},
                   {"plan", planJson(planned.plan, *mode)},
                   {"leftOut", leftOutJson(planned.leftOut)},
                   {"coverage", coverageJson(planned.coverage)},
                   {"cancelled", planned.cancelled},
                   {"result", result}});
    };
    if (planned.cancelled) {
        context.json ? report(nullptr, std::nullopt) : void(std::cout << "Cancelled while building the plan: nothing was changed.\n");
        return;
    }
    if (planned.plan.items().empty()) {
        if (context.json) report(nullptr, std::nullopt);
        return;
    }
    if (!request.yes && !request.dryRun) {
        const auto confirmed = steps.confirm(planned.plan, *mode, context);
        if (!confirmed) return;
        if (!*confirmed) {
            context.json ? report(nullptr, std::nullopt) : void(std::cout << "Nothing was changed.\n");
            return;
        }
    }
    const Uuid session;
    bool logWritten = true;
    const auto result = steps.execute(planned.plan, *mode, request.dryRun, session, showProgress, logWritten);
    if (result.failed > 0 || result.cancelled) context.noteFailure();
    if (!logWritten) {
        printError("The operation log " + Deleter::shared().opLog().fileURL().native() +
                   " could not be written, so this cleanup cannot be put back with restore.");
        context.noteFailure();
    }
    const bool logged = Deleter::shared().opLog().enabled();
    if (context.json) {
        report(resultJson(result), session);
        return;
    }
    printResult(result, planned.plan, logged ? std::optional(session) : std::nullopt, logWritten);
}

}  // namespace

void addFromScanOption(CLI::App& clean) {
    clean.get_option("PATH")->required(false);
    clean.add_option("--from-scan", "Clean what a scan saved with scan --save FILE, judged again now; findings that "
                                    "changed since are left out. --category then keeps only those categories");
}

bool cleanFromScan(const CLI::App& clean, Context& context, const CleanSteps& steps) {
    const auto request = requestFrom(clean, context);
    if (!request) return true;  // refused, and said why
    if (!*request) return false;
    runFromScan(**request, context, steps);
    return true;
}

}  // namespace vornelo::cli

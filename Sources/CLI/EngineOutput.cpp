#include "CLI/EngineOutput.h"

#include "CLI/Context.h"
#include "Core/ByteSizeFormatter.h"
#include "Platform/Files/FileManager.h"

#include <algorithm>
#include <cerrno>

#include <cstdio>
#include <iostream>

namespace vornelo::cli {

namespace {

using Deleter = SafeFileDeleter;

// What fits on one terminal line beside the counters; the start of a long path is dropped.
constexpr std::size_t maxStatusBytes = 100;

std::string fitted(const std::string& text) {
    if (text.size() <= maxStatusBytes) return text;
    std::size_t cut = text.size() - maxStatusBytes + 1;
    while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;  // whole characters
    return "\u2026" + text.substr(cut);
}

nlohmann::json itemJson(const Deleter::Item& item) {
    return {{"id", item.id()},
            {"url", item.url().native()},
            {"sizeBytes", item.sizeBytes()},
            {"category", rawValue(item.category())},
            {"protected", item.isProtected()}};
}

// What could not be read inside the items, leaving out the items that could not be reached at all
// (listed on their own).
void printIssues(const ScanCoverage& coverage, const std::vector<UnreachableItem>& unreachable) {
    const auto isUnreachableItem = [&](const std::string& path) {
        return std::ranges::any_of(unreachable, [&](const UnreachableItem& item) { return item.item->id() == path; });
    };
    std::vector<const ScanCoverage::Issue*> inside;
    for (const auto& issue : coverage.issues) {
        if (issue.kind != ScanCoverage::Kind::missing && !isUnreachableItem(issue.path)) inside.push_back(&issue);
    }
    if (inside.empty() && coverage.additionalIssueCount == 0) return;
    const auto unreadable = static_cast<std::int64_t>(inside.size()) + coverage.additionalIssueCount;
    std::cout << "Could not read " << countText(unreadable, "item") << " (the sizes above leave them out):\n";
    for (const auto* issue : inside) std::cout << "  " << displayed(issue->path) << ": " << displayed(issue->detail) << '\n';
    if (coverage.additionalIssueCount > 0) std::cout << "  \u2026 and " << coverage.additionalIssueCount << " more\n";
}

}  // namespace

void StatusLine::show(const std::string& text) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
    lastDrawn_ = now;
    drawn_ = true;
    std::printf("\r\033[K%s", fitted(displayed(text)).c_str());
    std::fflush(stdout);
}

void StatusLine::clear() {
    if (!enabled_ || !drawn_) return;
    drawn_ = false;
    std::fputs("\r\033[K", stdout);
    std::fflush(stdout);
}

std::string countText(std::int64_t count, std::string_view noun) {
    return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

std::string progressBar(std::int64_t done, std::int64_t total) {
    constexpr std::int64_t width = 20;
    const auto filled = total > 0 ? done * width / total : width;
    return "[" + std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(width - filled), '-') + "]";
}

bool goesForGood(const Deleter::Item& item, Deleter::Mode mode) {
    return Deleter::isInsideTrash(item.url()) && (item.category() == Deleter::Category::trash || mode == Deleter::Mode::permanent);
}

std::string protectionText(const Deleter::Item& item) {
    if (const auto reason = Deleter::shared().protection().protectionReason(item.url())) return reason->description();
    return "Contains security or device-management software.";
}

std::vector<UnreachableItem> unreachableItems(const Deleter::Plan& plan) {
    std::vector<UnreachableItem> found;
    for (const auto& item : plan.missingItems()) {
        const auto attributes = platform::FileManager::defaultManager().attributesOfItem(item.url());
        if (!attributes && attributes.error().underlyingPosixCode != ENOENT && attributes.error().underlyingPosixCode != ENOTDIR) {
            found.push_back({&item, attributes.error().description});
        }
    }
    return found;
}

nlohmann::json coverageJson(const ScanCoverage& coverage) {
    nlohmann::json issues = nlohmann::json::array();
    for (const auto& issue : coverage.issues) {
        issues.push_back({{"path", issue.path}, {"kind", ScanCoverage::rawValue(issue.kind)}, {"detail", issue.detail}});
    }
    return {{"checkedPaths", coverage.checkedPaths},
            {"issues", issues},
            {"additionalIssueCount", coverage.additionalIssueCount},
            {"skippedCloudOnly", coverage.skippedCloudOnly},
            {"isPartial", coverage.isPartial()},
            {"unavailableCount", coverage.unavailableCount()},
            {"missingCount", coverage.missingCount()}};
}

nlohmann::json planJson(const Deleter::Plan& plan, std::optional<Deleter::Mode> mode) {
    auto items = nlohmann::json::array();
    for (const auto& item : plan.items()) {
        auto object = itemJson(item);
        object["permanent"] = mode ? goesForGood(item, *mode) : item.isPermanentRemoval();
        items.push_back(std::move(object));
    }
    auto protectedItems = nlohmann::json::array();
    for (const auto& item : plan.protectedItems()) {
        auto object = itemJson(item);
        object["reason"] = protectionText(item);
        protectedItems.push_back(std::move(object));
    }
    auto missingItems = nlohmann::json::array();
    auto unreachable = nlohmann::json::array();
    const auto reached = unreachableItems(plan);
    for (const auto& item : plan.missingItems()) {
        const auto found = std::ranges::find(reached, &item, &UnreachableItem::item);
        if (found == reached.end()) {
            missingItems.push_back(itemJson(item));
            continue;
        }
        auto object = itemJson(item);
        object["reason"] = found->reason;
        unreachable.push_back(std::move(object));
    }
    return {{"id", plan.id().uuidString()},
            {"items", items},
            {"protectedItems", protectedItems},
            {"missingItems", missingItems},
            {"unreachableItems", unreachable},
            {"totalReclaimable", plan.totalReclaimable()}};
}

nlohmann::json resultJson(const Deleter::ExecutionResult& result) {
    auto failures = nlohmann::json::array();
    for (const auto& failure : result.failures) {
        failures.push_back({{"path", failure.path},
                            {"reason", failure.reason},
                            {"needsAdministrator", failure.needsAdministrator},
                            {"partlyRemoved", failure.partlyRemoved},
                            {"recoverySuggestion", failure.recoverySuggestion()}});
    }
    return {{"freedBytes", result.freedBytes},   {"succeeded", result.succeeded},
            {"failed", result.failed},           {"skipped", result.skipped},
            {"errors", result.errors},           {"failures", failures},
            {"removedIDs", result.removedIDs},   {"recoverable", result.recoverable},
            {"cancelled", result.cancelled},     {"dryRun", result.dryRun}};
}

void printPlan(const Deleter::Plan& plan, std::optional<Deleter::Mode> mode, const ScanCoverage& coverage) {
    if (plan.items().empty()) {
        std::cout << "Nothing to clean.\n";
    } else {
        std::cout << countText(static_cast<std::int64_t>(plan.items().size()), "item") << " to clean, "
                  << ByteSizeFormatter::format(plan.totalReclaimable()) << " (" << plan.totalReclaimable()
                  << " bytes) in all:\n";
    }
    for (const auto& item : plan.items()) {
        const auto size = ByteSizeFormatter::format(item.sizeBytes());
        std::cout << "  " << std::string(size.size() < 10 ? 10 - size.size() : 0, ' ') << size << "  " << displayed(item.id());
        if (mode ? goesForGood(item, *mode) : item.isPermanentRemoval()) std::cout << "  (inside a Trash: removed for good)";
        std::cout << '\n';
    }
    if (!plan.protectedItems().empty()) {
        std::cout << "Protected, never touched (" << plan.protectedItems().size() << "):\n";
        for (const auto& item : plan.protectedItems()) {
            std::cout << "  " << displayed(item.id()) << "\n    " << displayed(protectionText(item)) << '\n';
        }
    }
    const auto unreachable = unreachableItems(plan);
    if (plan.missingItems().size() > unreachable.size()) {
        std::cout << "Missing, already gone (" << plan.missingItems().size() - unreachable.size() << "):\n";
        for (const auto& item : plan.missingItems()) {
            if (std::ranges::find(unreachable, &item, &UnreachableItem::item) == unreachable.end()) std::cout << "  " << displayed(item.id()) << '\n';
        }
    }
    if (!unreachable.empty()) {
        std::cout << "Could not be reached, left as they are (" << unreachable.size() << "):\n";
        for (const auto& [item, reason] : unreachable) std::cout << "  " << displayed(item->id()) << "\n    " << displayed(reason) << '\n';
    }
    printIssues(coverage, unreachable);
}

void printResult(const Deleter::ExecutionResult& result, const Deleter::Plan& plan, const std::optional<Uuid>& session,
                 bool logWritten) {
    const auto removed = result.succeeded - result.recoverable;
    std::string what;
    if (result.recoverable > 0) what = (result.dryRun ? "move " : "Moved ") + countText(result.recoverable, "item") + " to the Trash";
    if (removed > 0) {
        what += what.empty() ? (result.dryRun ? "remove " : "Removed ") : " and remove" + std::string(result.dryRun ? " " : "d ");
        what += countText(removed, "item") + " inside a Trash for good";
    }
    what += " (" + ByteSizeFormatter::format(result.freedBytes) + ").";
    if (result.dryRun) {
        std::cout << "Dry run, nothing was changed" << (result.succeeded > 0 ? ": cleaning would " + what : ".") << '\n';
    } else {
        if (result.succeeded > 0 || result.partlyRemoved == 0) std::cout << (result.succeeded > 0 ? what : "Nothing was removed.") << '\n';
        if (result.partlyRemoved > 0) std::cout << "Partly removed " << countText(result.partlyRemoved, "item") << " before failing.\n";
    }
    if (result.skipped > 0) std::cout << "Skipped " << countText(result.skipped, "protected item") << ".\n";
    if (const auto unreachable = static_cast<std::int64_t>(unreachableItems(plan).size()); unreachable > 0) {
        std::cout << "Could not reach " << countText(unreachable, "item") << ", which " << (unreachable == 1 ? "was" : "were")
                  << " left as " << (unreachable == 1 ? "it was" : "they were") << ".\n";
    }
    if (result.failed > 0) {
        std::cout << "Could not remove " << countText(result.failed, "item") << ":\n";
        for (const auto& failure : result.failures) {
            std::cout << "  " << displayed(failure.path) << ": " << displayed(failure.reason) << "\n    "
                      << displayed(failure.recoverySuggestion()) << '\n';
        }
    }
    if (result.cancelled) {
        const auto skippedInRun = result.skipped - static_cast<std::int64_t>(plan.protectedItems().size());
        const auto untouched = static_cast<std::int64_t>(plan.items().size()) - result.succeeded - result.failed - skippedInRun;
        if (untouched > 0) {
            std::cout << "Cancelled: " << countText(untouched, "item") << (untouched == 1 ? " was" : " were")
                      << " left as before.\n";
        } else {
            std::cout << "Cancelled in the middle of the last item.\n";
        }
    }
    if (result.dryRun || result.recoverable == 0 || !logWritten) return;  // an unwritten log was reported already
    if (!session) {
        std::cout << "The operation log is off, so this run cannot be undone with restore; the items are in the Trash.\n";
        return;
    }
    std::cout << "Session " << session->uuidString() << ": \u201Cvornelo-cli restore " << session->uuidString()
              << "\u201D puts the trashed items back.\n";
}

}  // namespace vornelo::cli

#pragma once
// Output shared by the deletion engine's commands (size, preview, clean, sessions, restore): the
// JSON forms of plans, results and coverage, their prose forms, and a status line on the terminal.

#include "Core/SafeFileDeleter.h"
#include "Core/ScanCoverage.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vornelo::cli {

// One line redrawn in place on the terminal, at most ten times a second; does nothing when
// disabled. For one thread.
class StatusLine {
public:
    explicit StatusLine(bool enabled) : enabled_(enabled) {}
    ~StatusLine() { clear(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    void show(const std::string& text);
    void clear();

private:
    const bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDrawn_{};
};

// "1 item", "3 items".
std::string countText(std::int64_t count, std::string_view noun);
// "[#######-------------]" for done of total.
std::string progressBar(std::int64_t done, std::int64_t total);
// The item will be removed for good rather than moved to the Trash (when run in `mode`).
bool goesForGood(const SafeFileDeleter::Item& item, SafeFileDeleter::Mode mode);
// The sentence saying why the engine refuses to touch a protected item.
std::string protectionText(const SafeFileDeleter::Item& item);

// The plan's missing items that are there but could not be reached (a path longer than the
// system takes, a folder on the way that may not be searched), each with the reason; the plan's
// other missing items are gone. Looked at anew, item by item.
struct UnreachableItem {
    const SafeFileDeleter::Item* item;
    std::string reason;
};
std::vector<UnreachableItem> unreachableItems(const SafeFileDeleter::Plan& plan);

nlohmann::json coverageJson(const ScanCoverage& coverage);
// With a mode, each item also says whether it would be removed for good ("permanent").
nlohmann::json planJson(const SafeFileDeleter::Plan& plan, std::optional<SafeFileDeleter::Mode> mode);
nlohmann::json resultJson(const SafeFileDeleter::ExecutionResult& result);

void printPlan(const SafeFileDeleter::Plan& plan, std::optional<SafeFileDeleter::Mode> mode, const ScanCoverage& coverage);
// `session` is the run's identifier when its entries were logged; without it the run cannot be
// restored, and the text says so. With logWritten false (the log could not be written, which the
// caller has said) nothing is said about restoring.
void printResult(const SafeFileDeleter::ExecutionResult& result, const SafeFileDeleter::Plan& plan,
                 const std::optional<Uuid>& session, bool logWritten = true);

}  // namespace vornelo::cli

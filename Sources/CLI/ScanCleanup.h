#pragma once
// clean --from-scan FILE: the findings a scan saved become one cleanup plan, built by the deletion
// engine's preview (so everything is judged again now), shown, and executed as one run that
// restore can undo. Findings that changed since the scan are left out and listed.

#include "CLI/Context.h"
#include "Core/SafeFileDeleter.h"

#include <functional>
#include <optional>

namespace CLI {
class App;
}

namespace vornelo::cli {

// The steps of clean that a cleanup from a scan shares with it.
struct CleanSteps {
    std::function<std::optional<bool>(const SafeFileDeleter::Plan&, SafeFileDeleter::Mode, Context&)> confirm;
    std::function<SafeFileDeleter::ExecutionResult(const SafeFileDeleter::Plan&, SafeFileDeleter::Mode, bool dryRun,
                                                   const Uuid& session, bool showProgress, bool& logWritten)>
        execute;
};

// Adds --from-scan FILE to the clean command, whose paths then become optional.
void addFromScanOption(CLI::App& clean);
// Handles clean when --from-scan was given, or when neither it nor a path was (which it reports);
// false leaves the paths to clean.
bool cleanFromScan(const CLI::App& clean, Context& context, const CleanSteps& steps);

}  // namespace vornelo::cli

#pragma once
// What every command of vornelo-cli shares: the output style and the exit code it ends with.

#include "Core/OperationLog.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace CLI {
class App;
}

namespace vornelo::cli {

enum ExitCode : int { success = 0, someFailed = 1, badUsage = 2 };

struct Context {
    bool json = false;
    int exitCode = ExitCode::success;

    // Records a partial failure without hiding an earlier, worse code.
    void noteFailure(int code = ExitCode::someFailed) {
        if (code > exitCode) exitCode = code;
    }
};

// Writes one JSON document to standard output. Bytes that are not UTF-8 become U+FFFD.
void printJson(const nlohmann::json& document);
// One sentence on standard error, prefixed with the program's name, shown as `displayed` does.
void printError(std::string_view sentence);
// Text for a person's terminal: control characters (C0, DEL, C1, the bidirectional and line
// separators) as \n, \t, \r, \xNN or \uNNNN, and bytes that are not UTF-8 as \xNN, so that a
// file name cannot move the cursor, recolour or hide what is shown. JSON never needs it.
std::string displayed(std::string_view text);
// Standard output is a terminal (progress may be drawn).
bool stdoutIsTerminal();
// An operation-log entry as its log line holds it, plus its "id".
nlohmann::json entryJson(const OperationLog::Entry& entry);
// A moment as a person reads it, in the local time zone (TZ): "2024-05-01 14:00:03", as trash-list
// and file managers show deletion dates. Files and JSON keep ISO 8601 UTC.
std::string localTime(platform::TimePoint time);

// After a command that used the operation log: says on standard error what to do when an
// earlier version's log could not be moved to the log's place because both hold one.
void noteLogLeftBehind(const CLI::App& app);

// Each group registers its commands on the application.
void addProtectionCommands(CLI::App& app, Context& context);
void addExclusionCommands(CLI::App& app, Context& context);
void addPolicyCommands(CLI::App& app, Context& context);
void addFormatCommands(CLI::App& app, Context& context);
void addAccessCommands(CLI::App& app, Context& context);
void addLoginItemCommands(CLI::App& app, Context& context);
void addProcessCommands(CLI::App& app, Context& context);
void addSizeCommands(CLI::App& app, Context& context);
void addBrowseCommands(CLI::App& app, Context& context);
void addLogCommands(CLI::App& app, Context& context);
void addCleanCommands(CLI::App& app, Context& context);
void addRecoveryCommands(CLI::App& app, Context& context);
void addTrashCommands(CLI::App& app, Context& context);
void addScanCommands(CLI::App& app, Context& context);
// The root helper: `helper` groups what is asked of the helper's socket (HelperClientCommands.cpp)
// and the removal policy's local verdict (HelperCheckCommand.cpp).
void addHelperCommands(CLI::App& app, Context& context);
void addHelperClientCommands(CLI::App& helper, Context& context);
void addHelperCheckCommand(CLI::App& helper, Context& context);
// `completions SHELL`: the script each shell loads (Completion.cpp).
void addCompletionCommands(CLI::App& app, Context& context);

}  // namespace vornelo::cli

// vornelo-cli: every capability of the library, by hand or from scripts.

#include "CLI/Completion.h"
#include "CLI/Context.h"
#include "CLI/Usage.h"
#include "Platform/Identity/ProcessHardening.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    vornelo::platform::ProcessHardening::forbidAttaching();  // first: the helper refuses a client others could attach to
    using namespace vornelo::cli;
    Context context;
    CLI::App app{"Vornelo: clean safely. Every command answers in prose, or in JSON with --json.",
                 "vornelo-cli"};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_help_all_flag("--help-all", "Show the help of every command");
    app.add_flag("--json", context.json, "Print one JSON document for scripts");
    app.set_version_flag("--version", versionText(), "Print the version and exit");
    app.footer("Exit codes: 0 success, 1 when some items failed, 2 for bad usage.");

    addProtectionCommands(app, context);
    addExclusionCommands(app, context);
    addPolicyCommands(app, context);
    addFormatCommands(app, context);
    addAccessCommands(app, context);
    addLoginItemCommands(app, context);
    addProcessCommands(app, context);
    addSizeCommands(app, context);
    addBrowseCommands(app, context);
    addCleanCommands(app, context);
    addRecoveryCommands(app, context);
    addTrashCommands(app, context);
    addScanCommands(app, context);
    addLogCommands(app, context);
    addHelperCommands(app, context);

    addCompletionCommands(app, context);

    // Once every command is there: the global options reach all of them.
    offerGlobalOptions(app, context);
    const std::vector<std::string> words(argv + 1, argv + argc);
    if (isCompletionRequest(words)) return answerCompletion(app, words);
    try {
        app.parse(argc, argv);
        noteLogLeftBehind(app);
    } catch (const CLI::ParseError& error) {
        // Help and the version end the run well; everything else is bad usage.
        if (error.get_exit_code() == 0) return app.exit(error);
        return reportUsageError(app, words, error);
    } catch (const std::exception& error) {
        printError(error.what());
        return ExitCode::someFailed;
    }
    return context.exitCode;
}

// vornelo-cli: every capability of the library, by hand or from scripts.

#include "CLI/Context.h"
#include "Platform/Identity/ProcessHardening.h"

#include <CLI/CLI.hpp>

#include <iostream>

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
    app.footer("Exit codes: 0 success, 1 when some items failed, 2 for bad usage.");

    addProtectionCommands(app, context);
    addExclusionCommands(app, context);
    addPolicyCommands(app, context);
    addFormatCommands(app, context);
    addAccessCommands(app, context);
    addLoginItemCommands(app, context);
    addProcessCommands(app, context);
    addSizeCommands(app, context);
    addCleanCommands(app, context);
    addRecoveryCommands(app, context);
    addScanCommands(app, context);
    addLogCommands(app, context);
    addHelperCommands(app, context);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        app.exit(error);
        return ExitCode::badUsage;
    } catch (const std::exception& error) {
        printError(error.what());
        return ExitCode::someFailed;
    }
    return context.exitCode;
}

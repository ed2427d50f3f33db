// run: one program through the process runner, with its whole Output.
// admin-shell: one shell command as root through the privileged shell.

#include "CLI/Context.h"
#include "Core/PrivilegedShell.h"
#include "Core/ProcessRunner.h"
#include "Platform/Processes/InterruptSignals.h"
#include "Platform/Processes/ScriptHost.h"
#include "Platform/Processes/Subprocess.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <iostream>
#include <memory>
#include <optional>

namespace vornelo::cli {

namespace {

constexpr double defaultTimeoutSeconds = 60;

struct RunRequest {
    std::string timeout;
    const CLI::Option* timeoutOption = nullptr;
    std::vector<std::string> words;  // the program, then its arguments
};

struct AdminRequest {
    std::string command;
    std::string host;
};

std::optional<double> positiveSeconds(const std::string& text) {
    double value = 0;
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || !std::isfinite(value) || value <= 0) return std::nullopt;
    return value;
}

void printStream(std::string_view title, const std::string& text) {
    if (text.empty()) {
        std::cout << title << ": (nothing, or bytes that are not UTF-8)\n";
        return;
    }
    std::cout << title << ":\n" << text;
    if (text.back() != '\n') std::cout << '\n';
}

// A launch failure has nothing to show here; its sentence goes to standard error.
void printOutput(const ProcessRunner::Output& output, double timeout) {
    if (output.launchFailed) return;
    if (output.timedOut) {
        std::cout << "Timed out after " << fmt::format("{:g}", timeout)
                  << " s and was told to terminate; exit code " << output.exitCode << ".\n";
    } else {
        std::cout << "Exit code: " << output.exitCode << '\n';
    }
    printStream("Standard output", output.stdout);
    printStream("Standard error", output.stderr);
}

void runProgram(const RunRequest& request, Context& context) {
    double timeout = defaultTimeoutSeconds;
    if (request.timeoutOption->count() > 0) {
        const auto parsed = positiveSeconds(request.timeout);
        if (!parsed) {
            printError("The time-out \u201C" + request.timeout + "\u201D is not a positive number of seconds.");
            context.noteFailure(ExitCode::badUsage);
            return;
        }
        timeout = *parsed;
    }
    const auto& program = request.words.front();
    const auto executable = platform::Subprocess::searchPath(program).value_or(program);
    const std::vector<std::string> arguments(request.words.begin() + 1, request.words.end());

    platform::InterruptSignals interrupts;
    const auto output = ProcessRunner::run(executable, arguments, timeout, interrupts.token()).get();
    if (!output.succeeded()) context.noteFailure();
    if (context.json) {
        printJson({{"executablePath", executable},
                   {"arguments", arguments},
                   {"timeout", timeout},
                   {"exitCode", output.exitCode},
                   {"stdout", output.stdout},
                   {"stderr", output.stderr},
                   {"launchFailed", output.launchFailed},
                   {"timedOut", output.timedOut},
                   {"succeeded", output.succeeded()},
                   {"interrupted", interrupts.interrupted()}});
    } else {
        printOutput(output, timeout);
    }
    if (output.launchFailed) printError("Couldn\u2019t start \u201C" + executable + "\u201D: " + output.stderr);
    if (interrupts.interrupted()) printError("Interrupted: \u201C" + executable + "\u201D was told to terminate.");
}

void runAdminShell(const AdminRequest& request, Context& context) {
    const PrivilegedShell shell(request.host.empty() ? platform::ScriptHost::locate() : request.host);
    platform::InterruptSignals interrupts;
    try {
        const auto output = shell.run(request.command, interrupts.token()).get();
        if (context.json) {
            printJson({{"output", output}});
        } else if (!output.empty()) {
            std::cout << output << '\n';
        }
    } catch (const PrivilegedShell::RunError& error) {
        context.noteFailure();
        if (context.json) {
            const bool cancelled = error.kind() == PrivilegedShell::RunError::Kind::cancelled;
            printJson({{"error", {{"kind", cancelled ? "cancelled" : "failed"},
                                  {"message", error.message()},
                                  {"errorDescription", error.errorDescription()}}}});
        }
        printError(error.errorDescription());
    }
}

}  // namespace

void addProcessCommands(CLI::App& app, Context& context) {
    auto runRequest = std::make_shared<RunRequest>();
    auto* run = app.add_subcommand(
        "run", "Run a program with its output collected and a time-out (SIGTERM, then SIGKILL 2 s later)");
    runRequest->timeoutOption =
        run->add_option("--timeout", runRequest->timeout, "Seconds before the program is told to stop (default 60)")
            ->type_name("SECONDS");
    run->add_option("PROGRAM", runRequest->words,
                    "The program (a name without a slash is looked up in PATH) and its arguments; put -- before "
                    "the program when an argument starts with a dash")
        ->required();
    run->footer("Example: vornelo-cli run --timeout 5 -- /bin/ls -l /tmp\n"
                "Exit code 0 when the program exited with 0; 1 when it failed, could not start or timed out.");
    run->callback([runRequest, &context] { runProgram(*runRequest, context); });

    auto adminRequest = std::make_shared<AdminRequest>();
    auto* admin = app.add_subcommand(
        "admin-shell", "Run a shell command as root after an administrator authenticates (through pkexec)");
    admin->add_option("COMMAND", adminRequest->command, "The command for /bin/sh, as one argument (quote it)")
        ->required();
    admin->add_option("--host", adminRequest->host,
                      "The scripting host to use (default: the installed one, else the one built beside vornelo-cli)")
        ->type_name("PATH");
    admin->footer("Prints the command's standard output, trimmed. The administrator's policy key "
                  "DisablePrivilegedTools turns this off.");
    admin->callback([adminRequest, &context] { runAdminShell(*adminRequest, context); });
}

}  // namespace vornelo::cli

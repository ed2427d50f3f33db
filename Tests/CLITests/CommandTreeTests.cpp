// What must follow the commands as they are defined: bash's completion (run in bash, as a person
// presses Tab) and the manual pages, which must describe every command and option there is.
#include "Core/OperationLog.h"
#include "Support/CliFixture.h"

#include <chrono>
#include <functional>
#include <sstream>

namespace vornelo {
namespace {

using namespace std::chrono_literals;
using test::contains;

// A command as its --help shows it: its words, and the spellings of each option of its own.
struct Command {
    std::vector<std::string> path;
    std::vector<std::vector<std::string>> options;
    bool leaf = true;
};

using Runner = std::function<test::ProgramResult(const std::vector<std::string>&)>;

// The lines of the help section `heading` ("Options:"), up to the blank line that ends it.
std::vector<std::string> section(const std::string& help, const std::string& heading) {
    std::vector<std::string> lines;
    const auto at = help.find("\n" + heading + "\n");
    if (at == std::string::npos) return lines;
    std::istringstream stream(help.substr(at + heading.size() + 2));
    for (std::string line; std::getline(stream, line) && !line.empty();) {
        if (line.starts_with("  ") && line[2] != ' ') lines.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
    return lines;
}

// Every command of a CLI11 program, read from the --help of each, depth first.
std::vector<Command> commandsOf(const Runner& run, const std::vector<std::string>& path = {}) {
    auto arguments = path;
    arguments.push_back("--help");
    const auto help = run(arguments);
    EXPECT_EQ(help.exitCode, 0) << help.err;
    Command command{path, {}, true};
    for (const auto& names : section(help.out, "Options:")) {
        if (names == "-h,--help") continue;
        std::vector<std::string> spellings;
        std::istringstream stream(names);
        for (std::string spelling; std::getline(stream, spelling, ',');) spellings.push_back(spelling);
        command.options.push_back(spellings);
    }
    std::vector<Command> found;
    const auto subcommands = section(help.out, "Subcommands:");
    command.leaf = subcommands.empty();
    found.push_back(command);
    for (const auto& name : subcommands) {
        auto sub = path;
        sub.push_back(name);
        for (auto& below : commandsOf(run, sub)) found.push_back(std::move(below));
    }
    return found;
}

// The entry of a command in a manual's source: its heading line ("*log export* ...") and the
// indented lines under it; empty when there is none.
std::string entryOf(const std::string& manual, const std::string& name) {
    std::istringstream lines(manual);
    std::string entry;
    bool inside = false;
    for (std::string line; std::getline(lines, line);) {
        if (inside && !line.starts_with("\t")) break;
        if (inside || line.starts_with("*" + name + "*")) entry += line + "\n", inside = true;
    }
    return entry;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

TEST(ManualTest, EveryCommandAndOptionOfEachProgramHasItsEntryAndEveryPageItsSections) {
    const auto home = std::make_shared<test::TestHome>();
    const struct {
        const char* page;
        Runner run;
        std::size_t commands;  // at least
    } programs[] = {
        {"vornelo-cli.1", [home](const auto& arguments) { return test::runCli(arguments, home->home()); }, 30},
        {"vornelo-codesign.1", [](const auto& arguments) { return test::runProgram(VORNELO_BINARY_DIR "/vornelo-codesign", arguments); }, 2},
    };
    for (const auto& program : programs) {
        const auto manual = test::readFile(std::string(VORNELO_SOURCE_DIR "/docs/man/") + program.page + ".scd");
        std::size_t leaves = 0;
        for (const auto& command : commandsOf(program.run)) {
            const bool global = command.path.empty();
            if (!global && !command.leaf) continue;  // a group is described by its commands
            leaves += global ? 0 : 1;
            const auto entry = global ? manual : entryOf(manual, joined(command.path));
            EXPECT_NE(entry, "") << program.page << " has no entry for " << joined(command.path);
            for (const auto& spellings : command.options) {
                const bool described = std::ranges::any_of(spellings, [&](const auto& name) { return contains(entry, "*" + name + "*"); });
                EXPECT_TRUE(described) << program.page << ": " << joined(command.path) << " " << spellings.front() << " is not described";
            }
        }
        EXPECT_GE(leaves, program.commands) << program.page;
    }
    for (const char* page : {"vornelo-cli.1", "vornelo-codesign.1", "VorneloHelper.8"}) {
        const auto manual = test::readFile(std::string(VORNELO_SOURCE_DIR "/docs/man/") + page + ".scd");
        EXPECT_EQ(test::missingFrom(manual, {"# NAME", "# SYNOPSIS", "# EXIT STATUS", "# FILES", "# EXAMPLES", "*--version*"}), "") << page;
    }
    const auto manual = test::readFile(VORNELO_SOURCE_DIR "/docs/man/vornelo-cli.1.scd");
    EXPECT_EQ(test::missingFrom(manual, {"# ENVIRONMENT", "*XDG_STATE_HOME*", "*--json*", "*--help-all*",
                                         "_$XDG_STATE_HOME/vornelo/operations.log_", "_/etc/managed-preferences/com.tessaldon.Vornelo.plist_",
                                         "_/run/vornelo/com.tessaldon.Vornelo.helper_"}),
              "");
}

class CompletionTest : public test::CliTest {
protected:
    // What bash's completion offers for each line, as COMPREPLY holds it (words joined by spaces).
    std::vector<std::string> offered(const std::vector<std::vector<std::string>>& lines) const {
        const auto script = path("vornelo-cli.bash");
        test::writeFile(script, cli({"completions", "bash"}).out);
        std::string program = "source " + script.native() + " || exit 3\n";
        for (const auto& words : lines) {
            program += "COMP_WORDS=('" VORNELO_CLI_PATH "'";
            for (const auto& word : words) program += " '" + word + "'";
            program += "); COMP_CWORD=" + std::to_string(words.size()) + "; COMPREPLY=(); _vornelo_cli; echo \"${COMPREPLY[*]}\"\n";
        }
        const auto result = test::runProgram("/bin/bash", {"--norc", "-c", program},
                                             {{"HOME", home.home().native()}, {"XDG_CONFIG_HOME", path(".config").native()},
                                              {"XDG_DATA_HOME", path(".local/share").native()}});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        std::vector<std::string> answers;
        std::istringstream stream(result.out);
        for (std::string line; std::getline(stream, line);) answers.push_back(line);
        return answers;
    }
};

TEST_F(CompletionTest, BashCompletesCommandsOptionsValuesPathsAndSessionsFromTheLog) {
    const auto first = *Uuid::fromString("1BF794F4-2C1E-4F59-9A8B-0D6A7E3C5B21");
    const auto second = *Uuid::fromString("7A0C3D55-91E2-4B7E-8F11-2D3C4B5A6978");
    {
        OperationLog log(logPath(), true);
        const platform::TimePoint noon{std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} + 12h};
        for (const auto& [session, when] : {std::pair{first, noon}, std::pair{second, noon + 1h}}) {
            log.append(OperationLog::Entry(when, session, "clean", "/home/u/file", 1, OperationLog::Mode::trash,
                                           OperationLog::Outcome::success, false));
        }
    }
    test::writeFile(path("measured/file"));
    const auto partialPath = path("meas").native();
    const struct {
        std::vector<std::string> words;  // after the program, the last one being completed
        std::string offered;
    } cases[] = {
        {{"log", "re"}, "recent"},
        {{"lo"}, "login-item log"},
        {{"--json", "log", "e"}, "export enable"},      // a global option before the command
        {{"clean", "--d"}, "--dry-run"},
        {{"clean", "--dry-run", "--y"}, "--yes"},
        {{"size", "--j"}, "--json"},                    // offered by every command
        {{"completions", ""}, "bash zsh fish"},         // the values an argument lists
        {{"restore", "1b"}, first.uuidString()},        // from the log, whatever the case typed
        {{"restore", ""}, second.uuidString() + " " + first.uuidString()},  // the latest first
        {{"size", partialPath}, path("measured").native()},
        {{"run", "--", "--j"}, ""},                     // after "--" nothing is an option of ours
        {{"log", "recent", "-n", ""}, ""},              // a number: nothing to offer
        {{"sizee", ""}, ""},                            // after an unknown command, nothing
    };
    std::vector<std::vector<std::string>> lines;
    for (const auto& c : cases) lines.push_back(c.words);
    const auto answers = offered(lines);
    ASSERT_EQ(answers.size(), std::size(cases));
    for (std::size_t i = 0; i < answers.size(); ++i) {
        EXPECT_EQ(answers[i], cases[i].offered) << joined(cases[i].words);
    }
}

TEST_F(CompletionTest, ZshAndFishAreToldTheDescriptionsAndBadRequestsAreRefused) {
    const auto zsh = cli({"__complete", "zsh", "--", "log", "ver"});
    EXPECT_EQ(zsh.out, "words\nverify:Check the hash chain of the log (exit code 1 when it is not intact)\n");
    const auto fish = cli({"__complete", "fish", "--", "clean", "--mo"});
    EXPECT_TRUE(fish.out.starts_with("words\n--mode\ttrash (the default) or permanent;")) << fish.out;
    EXPECT_EQ(cli({"__complete", "fish", "--", "size", ""}).out, "files\n");
    // bash splits "--format=" at "=": still the option's value, not the FILE after it.
    EXPECT_EQ(cli({"__complete", "bash", "--", "log", "export", "--format", "=", ""}).out, "files\n");
    EXPECT_EQ(cli({"__complete", "bash", "--", "log", "export", "--format", "=", "csv", ""}).out, "files\n");
    EXPECT_EQ(cli({"__complete", "bash", "--", "log", "export", "--format", "=", "csv", "out", ""}).out, "none\n");
    for (const auto& shell : {"zsh", "fish"}) {
        const auto script = cli({"completions", shell}).out;
        EXPECT_TRUE(contains(script, "__complete " + std::string(shell) + " --")) << script;
    }
    EXPECT_EQ(cli({"__complete", "tcsh", "--", "log"}).exitCode, 2);
    EXPECT_EQ(cli({"__complete", "bash", "log"}).exitCode, 2);
}

}  // namespace
}  // namespace vornelo

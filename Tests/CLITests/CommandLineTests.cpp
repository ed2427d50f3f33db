// vornelo-cli as a command-line tool: its version, what it says about a line it cannot parse, the
// options every command takes, and times as a person reads them.
#include "Core/OperationLog.h"
#include "Support/CliFixture.h"

#include <chrono>
#include <regex>

namespace vornelo {
namespace {

using nlohmann::json;
using test::contains;
using namespace std::chrono_literals;

const platform::TimePoint noon{std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} + 12h};
const std::string quote = "\u201C", unquote = "\u201D";

std::string quoted(const std::string& text) { return quote + text + unquote; }

class CommandLineTest : public test::CliTest {
protected:
    void writeSession(const Uuid& session, platform::TimePoint when) const {
        OperationLog log(logPath(), true);
        log.append(OperationLog::Entry(when, session, "clean", "/home/u/file", 100, OperationLog::Mode::trash,
                                       OperationLog::Outcome::success, false));
    }
};

TEST_F(CommandLineTest, EveryProgramPrintsTheProjectsOneVersion) {
    writeSession(Uuid(), noon);
    const std::string version = VORNELO_VERSION;
    ASSERT_TRUE(std::regex_match(version, std::regex(R"(\d+\.\d+\.\d+)"))) << version;
    const struct {
        std::string program;
        std::vector<std::string> arguments;
        std::string said;
    } cases[] = {
        {VORNELO_CLI_PATH, {"--version"}, "vornelo-cli " + version + "\n"},
        // After a command, as a global option; the command itself does not run.
        {VORNELO_CLI_PATH, {"log", "clear", "--version"}, "vornelo-cli " + version + "\n"},
        {VORNELO_CODESIGN_PATH, {"--version"}, "vornelo-codesign " + version + "\n"},
        {VORNELO_HELPER_PATH, {"--version"}, "VorneloHelper " + version + "\n"},
    };
    for (const auto& c : cases) {
        const auto result = test::runProgram(c.program, c.arguments, {{"HOME", home.home().native()}});
        EXPECT_EQ(std::tuple(result.exitCode, result.out, result.err), std::tuple(0, c.said, "")) << c.program;
    }
    EXPECT_TRUE(std::filesystem::exists(logPath()));  // log clear --version cleared nothing
}

TEST_F(CommandLineTest, AnUnknownWordIsNamedWithTheClosestValidOnesAndExitsTwo) {
    const struct {
        std::vector<std::string> arguments;
        std::string error;  // the first line, whole
        std::string hint;
    } cases[] = {
        {{"sizee", "/tmp"}, "Unknown command " + quoted("sizee") + ". Did you mean " + quoted("size") + "?", "vornelo-cli --help"},
        {{"--frobnicate"}, "Unknown option " + quoted("--frobnicate") + ".", "vornelo-cli --help"},
        {{"size", "-rf"}, "Unknown option " + quoted("-rf") + ".", "vornelo-cli size --help"},
        {{"size", "/tmp", "--jsno"}, "Unknown option " + quoted("--jsno") + ". Did you mean " + quoted("--json") + "?", "vornelo-cli size --help"},
        {{"clean", "--dryrun", "/tmp/x"}, "Unknown option " + quoted("--dryrun") + ". Did you mean " + quoted("--dry-run") + "?", "vornelo-cli clean --help"},
        {{"log", "recnt"}, "Unknown command " + quoted("log recnt") + ". Did you mean " + quoted("log recent") + "?", "vornelo-cli log --help"},
        // A command of a group, typed without its group; several when several groups have it.
        {{"verify"}, "Unknown command " + quoted("verify") + ". Did you mean " + quoted("log verify") + "?", "vornelo-cli --help"},
        {{"disable"}, "Unknown command " + quoted("disable") + ". Did you mean " + quoted("login-item disable") + " or " +
                          quoted("log disable") + "?", "vornelo-cli --help"},
        {{"help"}, "Unknown command " + quoted("help") + ". Did you mean " + quoted("--help") + "?", "vornelo-cli --help"},
        {{"sess"}, "Unknown command " + quoted("sess") + ". Did you mean " + quoted("sessions") + "?", "vornelo-cli --help"},
        {{}, "A command is required.", "vornelo-cli --help"},
        {{"log"}, quoted("vornelo-cli log") + " needs one of its commands: recent, totals, verify, export, clear, enable, disable, "
                                               "status or path.", "vornelo-cli log --help"},
        {{"log", "totals", "extra"}, quoted("vornelo-cli log totals") + " takes no arguments, so " + quoted("extra") + " is not understood.",
         "vornelo-cli log totals --help"},
        {{"log", "recent", "-n"}, "The option " + quoted("-n") + " needs a value (a whole number).", "vornelo-cli log recent --help"},
        {{"log", "recent", "-n", "many"}, quoted("many") + " is not a valid value for " + quoted("-n") + ", which takes a whole number.",
         "vornelo-cli log recent --help"},
        {{"completions", "tcsh"}, quoted("tcsh") + " is not a valid SHELL; use " + quoted("bash") + ", " + quoted("zsh") + " or " +
                                      quoted("fish") + ".", "vornelo-cli completions --help"},
        {{"size"}, quoted("vornelo-cli size") + " needs PATH.", "vornelo-cli size --help"},
    };
    for (const auto& c : cases) {
        const auto result = cli(c.arguments);
        const auto newline = result.err.find('\n');
        EXPECT_EQ(std::tuple(result.exitCode, result.out, result.err.substr(0, newline)), std::tuple(2, "", "vornelo-cli: " + c.error))
            << result.err;
        EXPECT_TRUE(contains(result.err.substr(newline + 1), "Run " + quoted(c.hint) + " to see ")) << result.err;
    }
    EXPECT_FALSE(std::filesystem::exists(path("Library")));  // nothing ran
}

TEST_F(CommandLineTest, GlobalOptionsWorkBeforeOrAfterTheCommandAndEveryHelpListsThem) {
    test::writeFile(path("measured/file"), std::string(10000, 'x'));
    const auto measured = path("measured").native();
    const auto before = cli({"--json", "size", measured});
    ASSERT_EQ(before.exitCode, 0) << before.err;
    EXPECT_TRUE(json::parse(before.out, nullptr, false).contains("totalBytes")) << before.out;
    for (const auto& arguments : {std::vector<std::string>{"size", "--json", measured}, {"size", measured, "--json"}}) {
        EXPECT_EQ(cli(arguments).out, before.out);
    }
    // After "--" a word is the program's, not ours.
    const auto passed = cli({"run", "--", "/bin/echo", "--json"});
    EXPECT_TRUE(contains(passed.out, "--json")) << passed.out;

    // Every command, down the whole tree as --help shows it, lists the global options with its own.
    std::vector<std::vector<std::string>> pending{{}};
    std::size_t commands = 0;
    while (!pending.empty()) {
        auto command = pending.back();
        pending.pop_back();
        auto arguments = command;
        arguments.push_back("--help");
        const auto help = cli(arguments);
        ASSERT_EQ(help.exitCode, 0) << help.err;
        EXPECT_EQ(test::missingFrom(help.out, {"--json", "--version", "--help-all", "-h,--help"}), "") << testing::PrintToString(command);
        ++commands;
        const auto listing = help.out.find("\nSubcommands:\n");
        if (listing == std::string::npos) continue;
        std::istringstream lines(help.out.substr(listing + 14));
        for (std::string line; std::getline(lines, line) && line.starts_with("  ");) {
            auto sub = command;
            sub.push_back(line.substr(2, line.find(' ', 2) - 2));
            pending.push_back(sub);
        }
    }
    EXPECT_GT(commands, 30u);
}

TEST_F(CommandLineTest, PeopleReadLocalTimesWhileJsonAndTheLogKeepUtc) {
    const Uuid session;
    writeSession(session, noon);
    const std::map<std::string, std::string> kathmandu{{"TZ", "NPT-5:45"}};
    const auto recent = test::runCli({"log", "recent"}, home.home(), kathmandu);
    EXPECT_TRUE(recent.out.starts_with("2024-05-01 17:45:00  success  clean")) << recent.out;
    const auto sessions = test::runCli({"sessions"}, home.home(), kathmandu);
    EXPECT_TRUE(sessions.out.starts_with(session.uuidString() + "  2024-05-01 17:45:00  clean")) << sessions.out;

    const auto document = json::parse(test::runCli({"--json", "log", "recent"}, home.home(), kathmandu).out);
    EXPECT_EQ(document.at(0).at("timestamp"), "2024-05-01T12:00:00Z");
    EXPECT_EQ(json::parse(test::runCli({"--json", "sessions"}, home.home(), kathmandu).out).at(0).at("date"), "2024-05-01T12:00:00Z");
    EXPECT_TRUE(contains(test::readFile(logPath()), "\"timestamp\":\"2024-05-01T12:00:00Z\""));
}

}  // namespace
}  // namespace vornelo

#include "Platform/Processes/ScriptHost.h"

#include "Support/Subprocess.h"

#include <gtest/gtest.h>

namespace vornelo::platform {
namespace {

const std::string host = VORNELO_BINARY_DIR "/vornelo-script-host";

std::string script(std::string_view literal) {
    return std::string(ScriptHost::scriptPrefix) + std::string(literal) + std::string(ScriptHost::scriptSuffix);
}

// Round trips with the shell's own escaping are tested with the shell.
TEST(ScriptHostTest, UndoesExactlyTheTwoEscapesAndRefusesEverythingElse) {
    EXPECT_EQ(ScriptHost::commandFromScript(script(R"(say \"a\" \\ b \\\" c)")), R"(say "a" \ b \" c)");
    EXPECT_EQ(ScriptHost::commandFromScript(script("one\ntwo\r\n\tthree 'x' $HOME `id`")), "one\ntwo\r\n\tthree 'x' $HOME `id`");
    const std::vector<std::string> refused = {
        "", "display dialog \"hi\"", "do shell script \"echo hi\"", "do shell script \"echo hi\" with administrator privileges\n",
        " do shell script \"echo hi\" with administrator privileges",
        "do shell script \"echo hi\" with administrator privileges & \"x\"",
        "do shell script \"a\" & \"b\" with administrator privileges",  // an unescaped quote ends the literal
        script(R"(echo \n)"), script(R"(echo \t)"),                      // AppleScript escapes we never write
        script("echo trailing\\"),  // the lone backslash would escape the closing quote
        script("bad \xFF byte"),
        "do shell script \" with administrator privileges",  // prefix and suffix overlapping
    };
    for (const auto& text : refused) {
        const auto command = ScriptHost::commandFromScript(text);
        ASSERT_FALSE(command.has_value()) << text;
        EXPECT_TRUE(command.error().ends_with(".")) << command.error();
    }
}

TEST(ScriptHostTest, TheHostRefusesAnyOtherInvocationBeforeStartingAnything) {
    const std::vector<std::vector<std::string>> invocations = {
        {}, {"--help"}, {"-e"}, {"-e", "display dialog \"hi\""}, {"-e", script("id"), "extra"}, {"-x", script("id")},
        {"-e", script("id\\n")},
    };
    for (const auto& arguments : invocations) {
        const auto result = test::runProgram(host, arguments);
        EXPECT_EQ(result.exitCode, 2) << ::testing::PrintToString(arguments);
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(result.err.starts_with("vornelo-script-host: ")) << result.err;
    }
}

}  // namespace
}  // namespace vornelo::platform

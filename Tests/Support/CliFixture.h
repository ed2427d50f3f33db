#pragma once
// vornelo-cli run against a private home: the set-up every command test shares.

#include "Support/Subprocess.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::test {

inline bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// The first of `parts` missing from `text`, said as a complaint; empty when all are there. Also
// usable inside a child process, where gtest's assertions do not reach the parent.
inline std::string missingFrom(const std::string& text, const std::vector<std::string>& parts) {
    for (const auto& part : parts) {
        if (!contains(text, part)) return "\"" + part + "\" missing from:\n" + text;
    }
    return {};
}

class CliTest : public ::testing::Test {
protected:
    ProgramResult cli(const std::vector<std::string>& arguments) const { return runCli(arguments, home.home()); }
    // The command's --json output, expecting `exitCode`; a discarded value when it is no JSON.
    nlohmann::json cliJson(std::vector<std::string> arguments, int exitCode = 0) const {
        arguments.insert(arguments.begin(), "--json");
        const auto result = cli(arguments);
        EXPECT_EQ(result.exitCode, exitCode) << result.err << result.out;
        return nlohmann::json::parse(result.out, nullptr, false);
    }
    // Runs the command, expecting it to exit with `exitCode` and to print all of `parts` on its
    // standard output (`says`) or error (`complains`).
    ProgramResult says(const std::vector<std::string>& arguments, const std::vector<std::string>& parts,
                       int exitCode = 0) const {
        auto result = cli(arguments);
        EXPECT_EQ(result.exitCode, exitCode) << result.err;
        EXPECT_EQ(missingFrom(result.out, parts), "");
        return result;
    }
    ProgramResult complains(const std::vector<std::string>& arguments, int exitCode,
                            const std::vector<std::string>& parts = {}) const {
        auto result = cli(arguments);
        EXPECT_EQ(result.exitCode, exitCode) << result.out;
        EXPECT_EQ(missingFrom(result.err, parts), "");
        return result;
    }
    // Cleans the paths and returns the run's session ("" when there is none).
    std::string cleaned(const std::vector<std::string>& paths) const {
        std::vector<std::string> arguments{"clean", "--yes"};
        arguments.insert(arguments.end(), paths.begin(), paths.end());
        return cliJson(arguments).value("sessionID", "");
    }
    std::filesystem::path path(const std::string& relative) const { return home.home() / relative; }
    std::filesystem::path logPath() const { return path(".local/state/vornelo/operations.log"); }
    std::filesystem::path trash(const std::string& name) const { return path(".local/share/Trash/files") / name; }

    TestHome home;
};

}  // namespace vornelo::test

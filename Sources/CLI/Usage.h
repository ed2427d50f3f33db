#pragma once
// How vornelo-cli is used as a whole: the options every command takes, and what is said when a
// command line cannot be parsed.

#include <string>
#include <vector>

namespace CLI {
class App;
class ParseError;
}  // namespace CLI

namespace vornelo::cli {

struct Context;

// What --version prints: "vornelo-cli 0.1.0".
[[nodiscard]] std::string versionText();

// Gives every command below `root` the global options (--json, --version) and shows them, with
// --help-all, as "Global options" in its help. Called once every command is registered.
void offerGlobalOptions(CLI::App& root, Context& context);

// Says on standard error why `words` (the arguments after the program's name) could not be
// parsed: the unknown command or option with the closest valid ones, the missing command or
// argument, and which --help to read. Returns the exit code for bad usage.
int reportUsageError(const CLI::App& root, const std::vector<std::string>& words, const CLI::ParseError& error);

}  // namespace vornelo::cli

#pragma once
// vornelo-cli's commands as a person types them: which command a line of words reaches, what it
// takes next, and the first word there that the tree does not know. Usage errors, help and shell
// completion all read the commands through this, so none of them can drift from the commands.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace vornelo::cli {

// A word at the place where the tree did not expect it.
struct UnknownWord {
    enum class Kind { command, option, argument };
    Kind kind = Kind::command;
    std::string word;                      // as typed
    std::vector<std::string> suggestions;  // the closest valid words (command paths for commands)
};

// Where a line of words leaves the parser. Words after an unknown one are not looked at.
struct CommandWalk {
    const CLI::App* command = nullptr;          // the deepest command reached
    const CLI::Option* awaitingValue = nullptr;  // an option whose value has not come yet
    bool afterSeparator = false;                // "--" was given: every word is an argument
    std::size_t arguments = 0;                  // positional words given to `command`
    std::optional<UnknownWord> unknown;
};

[[nodiscard]] CommandWalk walkCommands(const CLI::App& root, const std::vector<std::string>& words);

// "log export" for that command; empty for the program itself.
[[nodiscard]] std::string commandPath(const CLI::App& command);
// Commands shown in help, in the order they were defined.
[[nodiscard]] std::vector<const CLI::App*> visibleSubcommands(const CLI::App& command);
// Every visible command below `root`, depth first in definition order.
[[nodiscard]] std::vector<const CLI::App*> allCommands(const CLI::App& root);
// The named options a person may give at `command`: its own, then those of the commands above it
// (which fall through to them). Hidden ones are left out.
[[nodiscard]] std::vector<const CLI::Option*> optionsAt(const CLI::App& command);
// Every spelling of the option: "--json", "-y", ...
[[nodiscard]] std::vector<std::string> spellings(const CLI::Option& option);
// The values an option or argument takes when it lists them ({a,b} after its type), else none.
[[nodiscard]] std::vector<std::string> listedValues(const CLI::Option& option);
// The positional argument `index` (0-based) of `command` would fill, if any.
[[nodiscard]] const CLI::Option* argumentAt(const CLI::App& command, std::size_t index);

// The candidates closest to `word` as a typing slip (a few letters wrong, missing, extra or
// swapped), else the one candidate that `word` begins; none when nothing is close.
[[nodiscard]] std::vector<std::string> closestWords(std::string_view word, const std::vector<std::string>& candidates);

}  // namespace vornelo::cli

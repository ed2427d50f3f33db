#pragma once
// Shell completion for vornelo-cli. The scripts that bash, zsh and fish load hold no commands of
// their own: at each Tab they ask vornelo-cli, which answers from its command tree
// (`vornelo-cli __complete SHELL -- WORD...`, the words after the program's name up to the one
// being completed). The answer's first line is "words" (then one candidate a line: bare for bash,
// "word:description" for zsh, "word<Tab>description" for fish), "files" (the shell completes a
// path) or "none".

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace vornelo::cli {

[[nodiscard]] bool isCompletionRequest(const std::vector<std::string>& words);
// Prints the answer to a completion request; returns the exit code (2 for a malformed request).
int answerCompletion(const CLI::App& root, const std::vector<std::string>& words);
// The script a shell loads, or empty for a shell without one.
[[nodiscard]] std::string completionScript(const std::string& shell);

}  // namespace vornelo::cli

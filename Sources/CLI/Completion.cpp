#include "CLI/Completion.h"

#include "CLI/CommandTree.h"
#include "CLI/Context.h"
#include "Core/CleanupSession.h"
#include "Core/OperationLog.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <memory>

namespace vornelo::cli {

namespace {

constexpr const char* requestWord = "__complete";
// Enough to find a recent run by its first letters without reading the whole log into the shell.
constexpr std::int64_t sessionsOffered = 200;
constexpr std::size_t descriptionBytes = 70;

struct Candidate {
    std::string word;
    std::string description;
};

struct Answer {
    std::string kind = "none";  // words, files or none
    std::vector<Candidate> candidates;
};

const std::string bashScript = R"(# bash completion for vornelo-cli: the candidates come from vornelo-cli's own commands.
_vornelo_cli() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    [[ $cur == "=" ]] && cur=""
    local IFS=$'\n'
    local -a reply
    reply=($("${COMP_WORDS[0]}" __complete bash -- "${COMP_WORDS[@]:1:COMP_CWORD}" 2>/dev/null))
    case ${reply[0]} in
        words) COMPREPLY=("${reply[@]:1}") ;;
        files) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- "$cur")) ;;
        *) COMPREPLY=() ;;
    esac
}
complete -F _vornelo_cli vornelo-cli
)";

const std::string zshScript = R"(#compdef vornelo-cli
# zsh completion for vornelo-cli: the candidates come from vornelo-cli's own commands.
_vornelo-cli() {
    local -a reply candidates
    reply=("${(@f)$("${words[1]}" __complete zsh -- "${(@)words[2,CURRENT]}" 2>/dev/null)}")
    case ${reply[1]} in
        (words) candidates=("${(@)reply[2,-1]}"); _describe -t values 'vornelo-cli' candidates ;;
        (files) _files ;;
    esac
}
if [[ "$funcstack[1]" == "_vornelo-cli" ]]; then _vornelo-cli "$@"; else compdef _vornelo-cli vornelo-cli; fi
)";

const std::string fishScript = R"(# fish completion for vornelo-cli: the candidates come from vornelo-cli's own commands.
function __vornelo_cli_complete
    set -l tokens (commandline -opc)
    set -l reply ($tokens[1] __complete fish -- $tokens[2..-1] (commandline -ct) 2>/dev/null)
    switch "$reply[1]"
        case words
            test (count $reply) -gt 1; and printf '%s\n' $reply[2..-1]
        case files
            __fish_complete_path (commandline -ct)
    end
end
complete -c vornelo-cli -f -a '(__vornelo_cli_complete)'
)";

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && std::ranges::equal(text.substr(0, prefix.size()), prefix, [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

// One line of help, short enough for a completion menu.
std::string shortened(std::string text) {
    std::ranges::replace_if(text, [](char c) { return c == '\n' || c == '\t'; }, ' ');
    if (const auto stop = text.find(". "); stop != std::string::npos) text.resize(stop);
    if (text.size() <= descriptionBytes) return text;
    auto cut = descriptionBytes - 1;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // whole characters
    return text.substr(0, cut) + "\u2026";
}

Answer words(std::vector<Candidate> candidates, std::string_view partial, bool ignoreCase = false) {
    std::erase_if(candidates, [&](const Candidate& candidate) {
        return ignoreCase ? !startsWithIgnoringCase(candidate.word, partial) : !candidate.word.starts_with(partial);
    });
    return {candidates.empty() ? "none" : "words", std::move(candidates)};
}

Answer sessions(std::string_view partial) {
    std::vector<Candidate> candidates;
    for (const auto& session : OperationLog::shared().cleanupSessions(sessionsOffered)) {
        candidates.push_back({session.id().uuidString(), localTime(session.date()) + " " + session.action() + ", " +
                                                             std::to_string(session.entries().size()) + " items"});
    }
    return words(std::move(candidates), partial, true);
}

bool isNumber(const CLI::Option& option) {
    const auto type = option.get_type_name();
    return type.starts_with("INT") || type.starts_with("UINT") || type.starts_with("FLOAT");
}

// What may stand where `option` (named or positional) takes its value.
Answer valuesOf(const CLI::Option& option, std::string_view partial) {
    if (const auto listed = listedValues(option); !listed.empty()) {
        std::vector<Candidate> candidates;
        for (const auto& value : listed) candidates.push_back({value, {}});
        return words(std::move(candidates), partial);
    }
    if (option.get_name(true).find("SESSION") != std::string::npos) return sessions(partial);
    if (isNumber(option)) return {};
    return {"files", {}};
}

Answer optionsMatching(const CLI::App& command, std::string_view partial) {
    std::vector<Candidate> candidates;
    for (const auto* option : optionsAt(command)) {
        for (auto& spelling : spellings(*option)) candidates.push_back({std::move(spelling), shortened(option->get_description())});
    }
    return words(std::move(candidates), partial);
}

Answer answerFor(const CLI::App& root, const std::vector<std::string>& before, const std::string& partial, bool bareValues) {
    const auto walk = walkCommands(root, before);
    if (walk.unknown) return {};
    if (walk.awaitingValue != nullptr) return valuesOf(*walk.awaitingValue, partial);
    if (!walk.afterSeparator && partial.starts_with("--") && partial.find('=') != std::string::npos) {
        // "--format=cs": the value of a long option in the same word.
        const auto equals = partial.find('=');
        const auto* option = walk.command->get_option_no_throw(partial.substr(0, equals));
        for (const auto* candidate : optionsAt(*walk.command)) {
            if (option == nullptr && std::ranges::count(spellings(*candidate), partial.substr(0, equals)) > 0) option = candidate;
        }
        if (option == nullptr) return {};
        auto answer = valuesOf(*option, partial.substr(equals + 1));
        if (!bareValues) {
            for (auto& candidate : answer.candidates) candidate.word = partial.substr(0, equals + 1) + candidate.word;
        }
        return answer;
    }
    if (!walk.afterSeparator && partial.starts_with("-")) return optionsMatching(*walk.command, partial);
    if (const auto subcommands = visibleSubcommands(*walk.command); !walk.afterSeparator && !subcommands.empty()) {
        std::vector<Candidate> candidates;
        for (const auto* sub : subcommands) candidates.push_back({sub->get_name(), shortened(sub->get_description())});
        return words(std::move(candidates), partial);
    }
    const auto* argument = argumentAt(*walk.command, walk.arguments);
    return argument ? valuesOf(*argument, partial) : Answer{};
}

// bash splits "--format=csv" into "--format", "=", "csv"; the tree reads it as one word.
std::vector<std::string> joinedAtEquals(const std::vector<std::string>& words) {
    std::vector<std::string> joined;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "=" && !joined.empty() && joined.back().starts_with("--") && joined.back().find('=') == std::string::npos) {
            joined.back() += "=";
            if (i + 1 < words.size()) joined.back() += words[++i];
        } else {
            joined.push_back(words[i]);
        }
    }
    return joined;
}

}  // namespace

bool isCompletionRequest(const std::vector<std::string>& words) { return !words.empty() && words[0] == requestWord; }

int answerCompletion(const CLI::App& root, const std::vector<std::string>& words) {
    if (words.size() < 3 || completionScript(words[1]).empty() || words[2] != "--") {
        printError("A completion request is " + std::string(requestWord) + " bash|zsh|fish -- WORD...");
        return ExitCode::badUsage;
    }
    const auto& shell = words[1];
    std::vector<std::string> typed(words.begin() + 3, words.end());
    if (shell == "bash") typed = joinedAtEquals(typed);
    if (typed.empty()) typed.emplace_back();
    const auto partial = typed.back();
    typed.pop_back();
    const auto answer = answerFor(root, typed, partial, shell == "bash");
    std::cout << answer.kind << '\n';
    for (const auto& candidate : answer.candidates) {
        if (shell == "bash" || candidate.description.empty()) {
            std::cout << candidate.word << '\n';
        } else if (shell == "zsh") {
            std::string word;
            for (const char c : candidate.word) word += c == ':' ? std::string("\\:") : std::string(1, c);
            std::cout << word << ':' << candidate.description << '\n';
        } else {
            std::cout << candidate.word << '\t' << candidate.description << '\n';
        }
    }
    return ExitCode::success;
}

std::string completionScript(const std::string& shell) {
    if (shell == "bash") return bashScript;
    if (shell == "zsh") return zshScript;
    if (shell == "fish") return fishScript;
    return {};
}

void addCompletionCommands(CLI::App& app, Context& context) {
    auto shell = std::make_shared<std::string>();
    auto* command = app.add_subcommand("completions", "Print the completion script of a shell: bash, zsh or fish");
    command->add_option("SHELL", *shell, "bash, zsh or fish")->required()->check(CLI::IsMember({"bash", "zsh", "fish"}));
    command->footer("Packages install the scripts where each shell looks. By hand: source <(vornelo-cli completions bash)");
    command->callback([shell, &context] {
        if (context.json) {
            printJson({{"shell", *shell}, {"script", completionScript(*shell)}});
        } else {
            std::cout << completionScript(*shell);
        }
    });
}

}  // namespace vornelo::cli

#include "CLI/Usage.h"

#include "CLI/CommandTree.h"
#include "CLI/Context.h"
#include "Platform/System/BuildVersion.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <iostream>
#include <memory>

namespace vornelo::cli {

namespace {

constexpr const char* globalGroup = "Global options";

std::string quoted(const std::string& text) { return "\u201C" + text + "\u201D"; }

// "“a”", "“a” or “b”", "“a”, “b” or “c”".
std::string alternatives(const std::vector<std::string>& words) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) text += i + 1 == words.size() ? " or " : ", ";
        text += quoted(words[i]);
    }
    return text;
}

std::string invocation(const CLI::App& command) {
    const auto path = commandPath(command);
    return path.empty() ? "vornelo-cli" : "vornelo-cli " + path;
}

std::string helpHint(const CLI::App& command, const char* what) {
    return "Run " + quoted(invocation(command) + " --help") + " to see " + what + ".";
}

// CLI11's phrases ("PATH is required") as sentences.
std::string sentence(std::string text) {
    if (!text.empty() && std::islower(static_cast<unsigned char>(text[0])) != 0) {
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    }
    if (!text.empty() && text.back() != '.') text += '.';
    return text;
}

std::string valueKind(const CLI::Option& option) {
    const auto type = option.get_type_name();
    if (type.starts_with("INT") || type.starts_with("UINT")) return "a whole number";
    if (type.starts_with("FLOAT")) return "a number";
    if (const auto values = listedValues(option); !values.empty()) return alternatives(values);
    return type;
}

struct Said {
    std::string error;
    std::string hint;
};

Said unknownWord(const UnknownWord& unknown, const CLI::App& command) {
    const auto suggestion = unknown.suggestions.empty() ? "" : " Did you mean " + alternatives(unknown.suggestions) + "?";
    switch (unknown.kind) {
        case UnknownWord::Kind::command: {
            const auto path = commandPath(command);
            const auto typed = path.empty() ? unknown.word : path + " " + unknown.word;
            // Other tools have a help command; this one has the option.
            const auto help = unknown.word == "help" ? " Did you mean " + quoted("--help") + "?" : suggestion;
            return {"Unknown command " + quoted(typed) + "." + help, helpHint(command, "the commands")};
        }
        case UnknownWord::Kind::option:
            return {"Unknown option " + quoted(unknown.word) + "." + suggestion,
                    helpHint(command, command.get_parent() ? "its options" : "the options")};
        case UnknownWord::Kind::argument:
            return {quoted(invocation(command)) + " takes no " + (argumentAt(command, 0) ? "further arguments" : "arguments") +
                        ", so " + quoted(unknown.word) + " is not understood.",
                    helpHint(command, "its usage")};
    }
    return {};
}

Said otherError(const CommandWalk& walk, const CLI::ParseError& error) {
    const auto& command = *walk.command;
    const std::string message = error.what();
    const std::string name = error.get_name();
    if (name == "RequiredError" && !visibleSubcommands(command).empty()) {
        if (command.get_parent() == nullptr) return {"A command is required.", helpHint(command, "the commands")};
        std::vector<std::string> names;
        for (const auto* sub : visibleSubcommands(command)) names.push_back(sub->get_name());
        std::string list;
        for (std::size_t i = 0; i < names.size(); ++i) list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
        return {quoted(invocation(command)) + " needs one of its commands: " + list + ".", helpHint(command, "what each does")};
    }
    if (name == "RequiredError" && message.ends_with(" is required")) {
        return {quoted(invocation(command)) + " needs " + message.substr(0, message.size() - 12) + ".", helpHint(command, "its usage")};
    }
    if (walk.awaitingValue != nullptr) {
        return {"The option " + quoted(walk.awaitingValue->get_name()) + " needs a value (" + valueKind(*walk.awaitingValue) + ").",
                helpHint(command, "its options")};
    }
    // "Could not convert: -n = abc"
    if (const std::string prefix = "Could not convert: "; message.starts_with(prefix) && message.find(" = ") != std::string::npos) {
        const auto equals = message.find(" = ");
        const auto option = message.substr(prefix.size(), equals - prefix.size());
        const auto* found = command.get_option_no_throw(option);
        return {quoted(message.substr(equals + 3)) + " is not a valid value for " + quoted(option) +
                    (found ? ", which takes " + valueKind(*found) : std::string()) + ".",
                helpHint(command, "its options")};
    }
    // "SHELL: tcsh not in {bash,zsh,fish}"
    if (const auto notIn = message.find(" not in {"); name == "ValidationError" && notIn != std::string::npos) {
        const auto colon = message.find(": ");
        const auto* option = colon < notIn ? command.get_option_no_throw(message.substr(0, colon)) : nullptr;
        if (option != nullptr) {
            return {quoted(message.substr(colon + 2, notIn - colon - 2)) + " is not a valid " + option->get_name(true) + "; use " +
                        valueKind(*option) + ".",
                    helpHint(command, "its usage")};
        }
    }
    return {sentence(message), helpHint(command, "its usage")};
}

// CLI11's help with one blank line between groups of options, where it leaves two.
class HelpFormatter : public CLI::Formatter {
public:
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
        auto text = CLI::Formatter::make_help(app, std::move(name), mode);
        for (auto at = text.find("\n\n\n"); at != std::string::npos; at = text.find("\n\n\n", at)) text.erase(at, 1);
        if (!text.ends_with('\n')) text += '\n';
        return text;
    }
};

}  // namespace

std::string versionText() { return "vornelo-cli " + std::string(platform::buildVersion()); }

void offerGlobalOptions(CLI::App& root, Context& context) {
    static const auto formatter = std::make_shared<HelpFormatter>();
    root.formatter(formatter);
    for (auto* command : root.get_subcommands([](CLI::App* sub) { return !sub->get_name().empty(); })) {
        command->formatter(formatter);
        if (command->get_option_no_throw("--json") == nullptr) {
            command->add_flag("--json", context.json, "Print one JSON document for scripts")->group(globalGroup);
        }
        if (command->get_option_no_throw("--version") == nullptr) {
            command->set_version_flag("--version", versionText(), "Print the version and exit")->group(globalGroup);
        }
        if (auto* helpAll = command->get_option_no_throw("--help-all")) helpAll->group(globalGroup);
        offerGlobalOptions(*command, context);
    }
}

int reportUsageError(const CLI::App& root, const std::vector<std::string>& words, const CLI::ParseError& error) {
    const auto walk = walkCommands(root, words);
    const auto said = walk.unknown ? unknownWord(*walk.unknown, *walk.command) : otherError(walk, error);
    printError(said.error);
    std::cerr << said.hint << '\n';
    return ExitCode::badUsage;
}

}  // namespace vornelo::cli

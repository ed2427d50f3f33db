#include "CLI/CommandTree.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <limits>
#include <numeric>
#include <ranges>

namespace vornelo::cli {

namespace {

using Kind = UnknownWord::Kind;

// How a word reads to the parser, the way CLI11 tells them apart.
struct Token {
    enum class Type { argument, separator, longOption, shortOption } type = Type::argument;
    std::string name;   // without dashes
    std::string value;  // after "=" of a long option, or the letters after a short one
    bool hasValue = false;
};

Token tokenOf(const std::string& word, const CLI::App& command) {
    if (word == "--") return {Token::Type::separator, {}, {}, false};
    if (word.size() > 2 && word.starts_with("--")) {
        const auto equals = word.find('=');
        if (equals == std::string::npos) return {Token::Type::longOption, word.substr(2), {}, false};
        return {Token::Type::longOption, word.substr(2, equals - 2), word.substr(equals + 1), true};
    }
    if (word.size() > 1 && word[0] == '-' && word[1] != '-') {
        // "-5" is a negative number unless an option is called that.
        const bool digit = std::isdigit(static_cast<unsigned char>(word[1])) != 0;
        if (digit && command.get_option_no_throw(word.substr(0, 2)) == nullptr) return {};
        return {Token::Type::shortOption, word.substr(1, 1), word.substr(2), word.size() > 2};
    }
    return {};
}

const CLI::Option* findOption(const CLI::App& command, const Token& token) {
    for (const auto* option : optionsAt(command)) {
        const auto& names = token.type == Token::Type::longOption ? option->get_lnames() : option->get_snames();
        if (std::ranges::find(names, token.name) != names.end()) return option;
    }
    return nullptr;
}

const CLI::App* findSubcommand(const CLI::App& command, const std::string& word) {
    for (const auto* sub : visibleSubcommands(command)) {
        if (sub->check_name(word)) return sub;
    }
    return nullptr;
}

// Values an option needs before the next word is free again.
std::size_t valuesNeeded(const CLI::Option& option) {
    if (option.get_items_expected_max() == 0) return 0;
    return static_cast<std::size_t>(std::max(0, std::min(option.get_type_size_min(), option.get_items_expected_min())));
}

std::vector<std::string> suggestedCommands(const CLI::App& root, const CLI::App& command, const std::string& word) {
    std::vector<std::string> names;
    for (const auto* sub : visibleSubcommands(command)) names.push_back(sub->get_name());
    auto close = closestWords(word, names);
    const auto prefix = commandPath(command);
    for (auto& name : close) name = prefix.empty() ? name : prefix + " " + name;
    if (!close.empty()) return close;
    // A command of another group typed without its group: "recent" for "log recent".
    for (const auto* other : allCommands(root)) {
        if (other->get_parent() != &command && other->check_name(word)) close.push_back(commandPath(*other));
    }
    return close;
}

std::vector<std::string> suggestedOptions(const CLI::App& command, const std::string& word) {
    std::vector<std::string> names;
    for (const auto* option : optionsAt(command)) {
        for (auto& spelling : spellings(*option)) names.push_back(std::move(spelling));
    }
    return closestWords(word, names);
}

// Optimal string alignment distance: edits of one character, and swaps of two neighbours.
std::size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

std::string_view withoutDashes(std::string_view word) {
    while (word.starts_with('-')) word.remove_prefix(1);
    return word;
}

}  // namespace

CommandWalk walkCommands(const CLI::App& root, const std::vector<std::string>& words) {
    CommandWalk walk;
    walk.command = &root;
    std::size_t valuesOwed = 0;
    for (const auto& word : words) {
        if (valuesOwed > 0) {
            if (--valuesOwed == 0) walk.awaitingValue = nullptr;
            continue;
        }
        auto token = walk.afterSeparator ? Token{} : tokenOf(word, *walk.command);
        if (token.type == Token::Type::separator) {
            walk.afterSeparator = true;
            continue;
        }
        if (token.type == Token::Type::argument) {
            if (const auto* sub = walk.afterSeparator ? nullptr : findSubcommand(*walk.command, word)) {
                walk.command = sub;
                walk.arguments = 0;
            } else if (argumentAt(*walk.command, walk.arguments) != nullptr) {
                ++walk.arguments;
            } else if (!walk.afterSeparator && !visibleSubcommands(*walk.command).empty()) {
                walk.unknown = UnknownWord{Kind::command, word, suggestedCommands(root, *walk.command, word)};
                return walk;
            } else {
                walk.unknown = UnknownWord{Kind::argument, word, {}};
                return walk;
            }
            continue;
        }
        // Options, and clusters of short flags ("-yv"), one letter at a time.
        for (;;) {
            const auto* option = findOption(*walk.command, token);
            if (option == nullptr) {
                walk.unknown = UnknownWord{Kind::option, word, suggestedOptions(*walk.command, word)};
                return walk;
            }
            const auto needed = valuesNeeded(*option);
            if (needed == 0 && token.type == Token::Type::shortOption && token.hasValue) {
                token = Token{Token::Type::shortOption, token.value.substr(0, 1), token.value.substr(1), token.value.size() > 1};
                continue;
            }
            valuesOwed = token.hasValue && needed > 0 ? needed - 1 : needed;
            walk.awaitingValue = valuesOwed > 0 ? option : nullptr;
            break;
        }
    }
    return walk;
}

std::string commandPath(const CLI::App& command) {
    std::vector<std::string> names;
    for (const auto* at = &command; at->get_parent() != nullptr; at = at->get_parent()) names.push_back(at->get_name());
    std::string path;
    for (const auto& name : names | std::views::reverse) path += (path.empty() ? "" : " ") + name;
    return path;
}

std::vector<const CLI::App*> visibleSubcommands(const CLI::App& command) {
    return command.get_subcommands(
        [](const CLI::App* sub) { return !sub->get_name().empty() && !sub->get_group().empty() && !sub->get_disabled(); });
}

std::vector<const CLI::App*> allCommands(const CLI::App& root) {
    std::vector<const CLI::App*> found;
    for (const auto* sub : visibleSubcommands(root)) {
        found.push_back(sub);
        for (const auto* below : allCommands(*sub)) found.push_back(below);
    }
    return found;
}

std::vector<const CLI::Option*> optionsAt(const CLI::App& command) {
    std::vector<const CLI::Option*> options;
    std::vector<std::string> taken;
    for (const auto* at = &command; at != nullptr; at = at->get_fallthrough() ? at->get_parent() : nullptr) {
        for (const auto* option : at->get_options([](const CLI::Option* o) { return o->nonpositional() && !o->get_group().empty(); })) {
            auto names = spellings(*option);
            // A command's own option hides one of the same name above it.
            if (std::ranges::any_of(names, [&](const auto& name) { return std::ranges::find(taken, name) != taken.end(); })) continue;
            taken.insert(taken.end(), names.begin(), names.end());
            options.push_back(option);
        }
    }
    return options;
}

std::vector<std::string> spellings(const CLI::Option& option) {
    std::vector<std::string> names;
    for (const auto& name : option.get_lnames()) names.push_back("--" + name);
    for (const auto& name : option.get_snames()) names.push_back("-" + name);
    return names;
}

std::vector<std::string> listedValues(const CLI::Option& option) {
    const auto type = option.get_type_name();
    const auto open = type.find(":{");
    const auto close = type.find('}', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) return {};
    std::vector<std::string> values;
    for (const auto part : std::views::split(std::string_view(type).substr(open + 2, close - open - 2), ',')) {
        values.emplace_back(part.begin(), part.end());
    }
    return values;
}

const CLI::Option* argumentAt(const CLI::App& command, std::size_t index) {
    std::size_t first = 0;
    for (const auto* option : command.get_options([](const CLI::Option* o) { return o->get_positional() && !o->nonpositional(); })) {
        const auto capacity = static_cast<std::size_t>(std::max(0, option->get_items_expected_max()));
        if (index < first + capacity) return option;
        first += capacity;
    }
    return nullptr;
}

std::vector<std::string> closestWords(std::string_view word, const std::vector<std::string>& candidates) {
    const auto core = withoutDashes(word);
    // A slip of one letter in short words, of up to three in long ones.
    const std::size_t allowed = std::clamp<std::size_t>(core.size() / 3, 1, 3);
    std::size_t best = std::numeric_limits<std::size_t>::max();
    std::vector<std::string> closest;
    for (const auto& candidate : candidates) {
        const auto distance = editDistance(core, withoutDashes(candidate));
        if (distance > allowed || distance > best) continue;
        if (distance < best) closest.clear();
        best = distance;
        if (std::ranges::find(closest, candidate) == closest.end()) closest.push_back(candidate);
    }
    if (!closest.empty() || core.size() < 2) return closest;
    for (const auto& candidate : candidates) {
        if (withoutDashes(candidate).starts_with(core) && std::ranges::find(closest, candidate) == closest.end()) closest.push_back(candidate);
    }
    if (closest.size() > 1) closest.clear();
    return closest;
}

}  // namespace vornelo::cli

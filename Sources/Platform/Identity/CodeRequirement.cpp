#include "Platform/Identity/CodeRequirement.h"

#include <fmt/format.h>

#include <cctype>
#include <variant>

namespace vornelo::platform {

namespace {

constexpr std::size_t maxTextLength = 4096;
constexpr int maxNesting = 16;  // hostile texts must not exhaust the stack

struct Token {
    enum class Kind { word, string, symbol, end } kind;
    std::string text;
};

struct Identifier {
    std::string value;
};
struct Anchored {};
struct LeafOrganizationalUnit {
    std::string value;
};

}  // namespace

struct CodeRequirement::Node {
    std::variant<std::vector<std::shared_ptr<const Node>>, Identifier, Anchored, LeafOrganizationalUnit> clause;
};

namespace {

using NodePointer = std::shared_ptr<const CodeRequirement::Node>;
using Result = std::expected<NodePointer, std::string>;

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    Result parseAll() {
        auto root = parseConjunction(0);
        if (!root) return root;
        auto next = token();
        if (!next) return std::unexpected(next.error());
        if (next->kind != Token::Kind::end) return unexpectedToken(*next);
        return root;
    }

private:
    std::expected<Token, std::string> token() {
        while (position_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[position_]))) ++position_;
        tokenStart_ = position_;
        if (position_ == text_.size()) return Token{Token::Kind::end, {}};
        const char c = text_[position_];
        if (c == '"') return quoted();
        if (c == '(' || c == ')' || c == '[' || c == ']' || c == '=') {
            ++position_;
            return Token{Token::Kind::symbol, std::string(1, c)};
        }
        const std::size_t start = position_;
        while (position_ < text_.size() &&
               (std::isalnum(static_cast<unsigned char>(text_[position_])) || text_[position_] == '.')) {
            ++position_;
        }
        if (position_ == start) {
            return std::unexpected(fmt::format("The requirement has an unexpected character '{}' at offset {}.", c, start));
        }
        return Token{Token::Kind::word, std::string(text_.substr(start, position_ - start))};
    }

    std::expected<Token, std::string> quoted() {
        const std::size_t start = ++position_;
        while (position_ < text_.size() && text_[position_] != '"') {
            if (text_[position_] == '\\' || text_[position_] == '\n') {
                return std::unexpected(fmt::format("The requirement's string at offset {} holds an escape or a line break.", start - 1));
            }
            ++position_;
        }
        if (position_ == text_.size()) {
            return std::unexpected(fmt::format("The requirement's string at offset {} is not closed.", start - 1));
        }
        return Token{Token::Kind::string, std::string(text_.substr(start, position_++ - start))};
    }

    std::expected<Token, std::string> peek() {
        const std::size_t saved = position_;
        auto next = token();
        position_ = saved;
        return next;
    }

    std::unexpected<std::string> unexpectedToken(const Token& found) {
        if (found.kind == Token::Kind::end) return std::unexpected(std::string("The requirement ends too early."));
        return std::unexpected(fmt::format("The requirement has an unsupported term \"{}\" at offset {}.", found.text, tokenStart_));
    }

    std::expected<void, std::string> expect(Token::Kind kind, std::string_view text) {
        auto next = token();
        if (!next) return std::unexpected(next.error());
        if (next->kind != kind || next->text != text) return unexpectedToken(*next);
        return {};
    }

    std::expected<std::string, std::string> expectString() {
        auto next = token();
        if (!next) return std::unexpected(next.error());
        if (next->kind != Token::Kind::string) return unexpectedToken(*next);
        return next->text;
    }

    Result parseConjunction(int depth) {
        if (depth > maxNesting) return std::unexpected(std::string("The requirement nests parentheses too deeply."));
        std::vector<NodePointer> clauses;
        for (;;) {
            auto clause = parseClause(depth);
            if (!clause) return clause;
            clauses.push_back(std::move(*clause));
            auto next = peek();
            if (!next) return std::unexpected(next.error());
            if (next->kind != Token::Kind::word || next->text != "and") break;
            (void)token();
        }
        if (clauses.size() == 1) return clauses.front();
        return std::make_shared<const CodeRequirement::Node>(CodeRequirement::Node{std::move(clauses)});
    }

    Result parseClause(int depth) {
        auto next = token();
        if (!next) return std::unexpected(next.error());
        if (next->kind == Token::Kind::symbol && next->text == "(") {
            auto inner = parseConjunction(depth + 1);
            if (!inner) return inner;
            if (auto closed = expect(Token::Kind::symbol, ")"); !closed) return std::unexpected(closed.error());
            return inner;
        }
        if (next->kind != Token::Kind::word) return unexpectedToken(*next);
        if (next->text == "identifier") {
            auto value = expectString();
            if (!value) return std::unexpected(value.error());
            return make(Identifier{std::move(*value)});
        }
        if (next->text == "anchor") {
            for (const char* word : {"apple", "generic"}) {
                if (auto ok = expect(Token::Kind::word, word); !ok) return std::unexpected(ok.error());
            }
            return make(Anchored{});
        }
        if (next->text == "certificate") return parseLeafField();
        return unexpectedToken(*next);
    }

    Result parseLeafField() {
        const std::pair<Token::Kind, const char*> expected[] = {{Token::Kind::word, "leaf"},
                                                                {Token::Kind::symbol, "["},
                                                                {Token::Kind::word, "subject.OU"},
                                                                {Token::Kind::symbol, "]"},
                                                                {Token::Kind::symbol, "="}};
        for (const auto& [kind, text] : expected) {
            if (auto ok = expect(kind, text); !ok) return std::unexpected(ok.error());
        }
        auto value = expectString();
        if (!value) return std::unexpected(value.error());
        return make(LeafOrganizationalUnit{std::move(*value)});
    }

    template <typename Clause>
    static NodePointer make(Clause clause) {
        return std::make_shared<const CodeRequirement::Node>(CodeRequirement::Node{std::move(clause)});
    }

    std::string_view text_;
    std::size_t position_ = 0;
    std::size_t tokenStart_ = 0;
};

std::optional<std::string> unmet(const CodeRequirement::Node& node, const SigningFacts& facts) {
    struct Visitor {
        const SigningFacts& facts;
        std::optional<std::string> operator()(const std::vector<NodePointer>& clauses) const {
            for (const auto& clause : clauses) {
                if (auto failed = unmet(*clause, facts)) return failed;
            }
            return std::nullopt;
        }
        std::optional<std::string> operator()(const Identifier& wanted) const {
            if (facts.identifier == wanted.value) return std::nullopt;
            return fmt::format("The code's identifier is \"{}\", not \"{}\".", facts.identifier, wanted.value);
        }
        std::optional<std::string> operator()(const Anchored&) const {
            if (facts.anchored) return std::nullopt;
            return std::string("The signing certificate does not chain to a trusted anchor.");
        }
        std::optional<std::string> operator()(const LeafOrganizationalUnit& wanted) const {
            const auto& units = facts.leafOrganizationalUnits;
            // Exactly one: a certificate naming several units would be read differently by others.
            if (units.size() == 1 && units.front() == wanted.value) return std::nullopt;
            if (units.size() > 1) return std::string("The signing certificate names more than one organisational unit.");
            return fmt::format("The signing certificate's organisational unit is \"{}\", not \"{}\".",
                               units.empty() ? "" : units.front(), wanted.value);
        }
    };
    return std::visit(Visitor{facts}, node.clause);
}

}  // namespace

std::expected<CodeRequirement, std::string> CodeRequirement::parse(std::string_view text) {
    if (text.size() > maxTextLength) {
        return std::unexpected(fmt::format("The requirement is longer than {} characters.", maxTextLength));
    }
    auto root = Parser(text).parseAll();
    if (!root) return std::unexpected(root.error());
    return CodeRequirement(std::string(text), std::move(*root));
}

std::optional<std::string> CodeRequirement::unmetClause(const SigningFacts& facts) const {
    return unmet(*root_, facts);
}

}  // namespace vornelo::platform

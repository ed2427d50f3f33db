#pragma once
// A code requirement: the small part of the requirement language our constants use, parsed into a
// tree and evaluated against what a verified signature says about the code.
//
//   requirement := clause ("and" clause)*
//   clause      := "(" requirement ")"
//                | "identifier" STRING
//                | "anchor" "apple" "generic"           the chain ends at an anchor in the store
//                | "certificate" "leaf" "[" "subject.OU" "]" "=" STRING
//
// Strings are double-quoted without escapes. Anything else (another operator, field or keyword)
// is a parse error: an unknown clause never counts as satisfied.
//
// Thread safety: a parsed requirement is immutable and may be shared between threads.

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::platform {

// What a valid signature tells about the signed code; the requirement is judged on these alone.
struct SigningFacts {
    std::string identifier;
    bool anchored = false;  // the certificate chain ends at an anchor of the trusted store
    std::vector<std::string> leafOrganizationalUnits;
};

class CodeRequirement {
public:
    struct Node;

    // The parsed requirement, or one sentence saying where the text leaves the grammar.
    [[nodiscard]] static std::expected<CodeRequirement, std::string> parse(std::string_view text);

    // Empty when the facts satisfy the requirement, else the first clause that fails, as a sentence.
    [[nodiscard]] std::optional<std::string> unmetClause(const SigningFacts& facts) const;

    const std::string& text() const { return text_; }

private:
    CodeRequirement(std::string text, std::shared_ptr<const Node> root) : text_(std::move(text)), root_(std::move(root)) {}

    std::string text_;
    std::shared_ptr<const Node> root_;
};

}  // namespace vornelo::platform

#pragma once
// What a scan hands back: findings, each a place that cleaning could give back, with the reason a
// person can judge it by, and the groups of identical files behind the duplicate findings.
//
// Plain values, copied freely between threads.

#include "Core/SafeFileDeleter.h"
#include "Platform/Encoding/Iso8601.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::scan {

using Category = SafeFileDeleter::Category;

// How sure the scanner is that the finding can go: `safe` things are rebuilt or downloaded again
// by the program that made them; `review` things need a person's look first.
enum class Confidence { safe, review };

[[nodiscard]] std::string_view rawValue(Confidence confidence);
[[nodiscard]] std::optional<Confidence> confidenceFromRawValue(std::string_view text);

// A text that many findings hold alike (the copy all of a group's copies leave in place), stored
// once and compared by value.
class SharedText {
public:
    SharedText() = default;
    explicit SharedText(std::string text) : text_(std::make_shared<const std::string>(std::move(text))) {}

    explicit operator bool() const { return text_ != nullptr; }
    const std::string& operator*() const { return *text_; }
    const std::string* operator->() const { return text_.get(); }

    friend bool operator==(const SharedText& a, const SharedText& b) {
        return a.text_ && b.text_ ? *a.text_ == *b.text_ : a.text_ == b.text_;
    }

private:
    std::shared_ptr<const std::string> text_;
};

struct Finding {
    std::string path;  // absolute
    Category category = Category::cache;
    // What it adds to the scan's total: its allocated bytes, less the files an earlier finding (in
    // path order) holds a link to, so that every file counts once across findings.
    std::int64_t sizeBytes = 0;
    // Its allocated bytes on its own (each file once inside it), as a cleanup plan measures it.
    std::int64_t measuredBytes = 0;
    SharedText reason;               // one sentence, often the same for many findings
    platform::TimePoint lastUsed{};  // newest change inside it; last run (apps); when trashed (Trash)
    Confidence confidence = Confidence::safe;
    bool isFolder = false;
    std::uint64_t fileNumber = 0;  // with device: the item a plan must still find there
    std::uint64_t device = 0;
    std::optional<std::string> originalPath;  // a Trash item's former place
    // Duplicates: the copy that stays, by which the copy is judged again at cleanup.
    SharedText keptCopy;
    std::uint64_t keptFileNumber = 0;
    std::int32_t group = -1;  // a duplicate's group, by its place in the report's list; -1 otherwise

    friend bool operator==(const Finding&, const Finding&) = default;
};

// Files with equal contents: some kept (the rule's choice, and every copy in a protected place or
// a folder the user asked to keep), the others offered as duplicate findings, which name the group.
struct DuplicateGroup {
    std::int64_t fileSize = 0;      // logical length of each copy
    std::vector<std::string> kept;  // never empty; the first is the one the rule chose
    std::int64_t copyCount = 0;     // copies offered, at least one
    std::int64_t bytesBack = 0;     // what cleaning the copies gives back
    std::string keptBecause;        // a phrase: "the oldest copy", "in a protected place", ...
    friend bool operator==(const DuplicateGroup&, const DuplicateGroup&) = default;
};

}  // namespace vornelo::scan

#pragma once
// JSON as the system's files carry it.
//
// Writing (nlohmann/json): compact text on one line, object keys in sorted (byte) order, forward
// slashes as they are, characters outside ASCII as their UTF-8 bytes, control characters escaped.
// Text that is not valid UTF-8 is refused rather than written as invalid JSON.
//
// Reading (simdjson): one object at a time, fully validated (UTF-8 included), into members whose
// values are scalars or a marker for nested arrays and objects.
//
// Thread safety: Json's functions may be called from any thread. A JsonObjectReader belongs to
// one thread at a time.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::platform {

struct JsonError {
    std::string description;
};

struct Json {
    [[nodiscard]] static std::expected<std::string, JsonError> compactText(const nlohmann::json& value);
};

// Writes one object in the same form as Json::compactText, member by member, straight onto the
// end of a string: for log lines, which are written and exported by the hundred thousand. Keys must
// come in ascending byte order and only once, and strings must be valid UTF-8; finish() reports a
// breach and takes back what this writer appended. Keys are viewed, not copied, so they must
// outlive the writer.
class JsonObjectWriter {
public:
    explicit JsonObjectWriter(std::string& out) : out_(out), start_(out.size()) { out_ += '{'; }

    JsonObjectWriter& string(std::string_view key, std::string_view value);
    JsonObjectWriter& integer(std::string_view key, std::int64_t value);
    JsonObjectWriter& unsignedInteger(std::string_view key, std::uint64_t value);
    JsonObjectWriter& boolean(std::string_view key, bool value);

    // Closes the object; the writer is spent.
    [[nodiscard]] std::expected<void, JsonError> finish();

private:
    bool beginMember(std::string_view key);
    template <typename Number>
    JsonObjectWriter& number(std::string_view key, Number value);

    std::string& out_;
    std::size_t start_;
    std::string_view lastKey_;
    bool first_ = true;
    std::string problem_;
};

struct JsonValue {
    enum class Kind { null, boolean, integer, unsignedInteger, real, string, array, object };

    Kind kind = Kind::null;
    bool boolean = false;
    std::int64_t integer = 0;           // kind integer: every integer that fits in 64 signed bits
    std::uint64_t unsignedInteger = 0;  // kind unsignedInteger: above the signed range only
    double real = 0;
    std::string_view string;            // kind string: unescaped, valid until the next parse
};

struct JsonMember {
    std::string_view key;  // unescaped, valid until the next parse
    JsonValue value;
};

class JsonObjectReader {
public:
    // Readable bytes after the text that let it be parsed where it lies instead of being copied.
    static constexpr std::size_t padding = 64;
    // Longer documents are refused.
    static constexpr std::size_t defaultMaxBytes = 16 * 1024 * 1024;

    explicit JsonObjectReader(std::size_t maxBytes = defaultMaxBytes);
    ~JsonObjectReader();
    JsonObjectReader(const JsonObjectReader&) = delete;
    JsonObjectReader& operator=(const JsonObjectReader&) = delete;

    // Parses text as exactly one JSON object (whitespace around it allowed). readableBytes says how
    // many bytes from text.data() on may be read; with at least text.size() + padding the text is
    // parsed in place. False for invalid JSON, another kind of document or an oversized one.
    [[nodiscard]] bool parse(std::string_view text, std::size_t readableBytes = 0);

    // The members of the last parsed object, in document order (duplicates kept).
    [[nodiscard]] std::span<const JsonMember> members() const { return members_; }

private:
    struct Parser;
    std::unique_ptr<Parser> parser_;
    std::vector<JsonMember> members_;
};

}  // namespace vornelo::platform

#include "Platform/Encoding/Json.h"

#include "Platform/Encoding/Text.h"

#include <simdjson.h>

#include <charconv>

namespace vornelo::platform {

static_assert(JsonObjectReader::padding >= simdjson::SIMDJSON_PADDING);

std::expected<std::string, JsonError> Json::compactText(const nlohmann::json& value) {
    try {
        // indent -1: no whitespace and no line breaks; ensure_ascii false: UTF-8 bytes as they are.
        return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::exception& error) {
        return std::unexpected(JsonError{error.what()});
    }
}

namespace {

// The escapes nlohmann/json writes with ensure_ascii off, so both writers agree byte for byte.
void appendEscaped(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.substr(plain, i - plain));
        plain = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0x0F];
        }
    }
    out.append(text.substr(plain));
}

// Most text is ASCII; the full UTF-8 check runs only on what is not.
bool isValidText(std::string_view text) {
    unsigned char high = 0;
    for (const char c : text) high |= static_cast<unsigned char>(c);
    return high < 0x80 || Text::isValidUtf8(text);
}

}  // namespace

bool JsonObjectWriter::beginMember(std::string_view key) {
    if (!problem_.empty()) return false;
    if (!first_ && key <= lastKey_) {
        problem_ = "key \"" + std::string(key) + "\" does not follow \"" + std::string(lastKey_) + "\"";
        return false;
    }
    if (!isValidText(key)) {
        problem_ = "a key is not valid UTF-8";
        return false;
    }
    if (!first_) out_ += ',';
    first_ = false;
    lastKey_ = key;
    out_ += '"';
    appendEscaped(out_, key);
    out_ += "\":";
    return true;
}

JsonObjectWriter& JsonObjectWriter::string(std::string_view key, std::string_view value) {
    if (!isValidText(value)) {
        if (problem_.empty()) problem_ = "the value of \"" + std::string(key) + "\" is not valid UTF-8";
        return *this;
    }
    if (!beginMember(key)) return *this;
    out_ += '"';
    appendEscaped(out_, value);
    out_ += '"';
    return *this;
}

template <typename Number>
JsonObjectWriter& JsonObjectWriter::number(std::string_view key, Number value) {
    if (!beginMember(key)) return *this;
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out_.append(digits, end);
    return *this;
}

JsonObjectWriter& JsonObjectWriter::integer(std::string_view key, std::int64_t value) { return number(key, value); }

JsonObjectWriter& JsonObjectWriter::unsignedInteger(std::string_view key, std::uint64_t value) {
    return number(key, value);
}

JsonObjectWriter& JsonObjectWriter::boolean(std::string_view key, bool value) {
    if (beginMember(key)) out_ += value ? "true" : "false";
    return *this;
}

std::expected<void, JsonError> JsonObjectWriter::finish() {
    if (!problem_.empty()) {
        out_.resize(start_);
        return std::unexpected(JsonError{std::move(problem_)});
    }
    out_ += '}';
    return {};
}

struct JsonObjectReader::Parser {
    explicit Parser(std::size_t maxBytes) : dom(maxBytes) {}
    simdjson::dom::parser dom;
};

JsonObjectReader::JsonObjectReader(std::size_t maxBytes) : parser_(std::make_unique<Parser>(maxBytes)) {}

JsonObjectReader::~JsonObjectReader() = default;

namespace {

JsonValue scalar(simdjson::dom::element element) {
    using Type = simdjson::dom::element_type;
    JsonValue value;
    switch (element.type()) {
        case Type::NULL_VALUE: value.kind = JsonValue::Kind::null; break;
        case Type::BOOL:
            value.kind = JsonValue::Kind::boolean;
            value.boolean = element.get_bool().value_unsafe();
            break;
        case Type::INT64:
            value.kind = JsonValue::Kind::integer;
            value.integer = element.get_int64().value_unsafe();
            break;
        case Type::UINT64:
            value.kind = JsonValue::Kind::unsignedInteger;
            value.unsignedInteger = element.get_uint64().value_unsafe();
            break;
        case Type::DOUBLE:
            value.kind = JsonValue::Kind::real;
            value.real = element.get_double().value_unsafe();
            break;
        case Type::STRING:
            value.kind = JsonValue::Kind::string;
            value.string = element.get_string().value_unsafe();
            break;
        case Type::ARRAY: value.kind = JsonValue::Kind::array; break;
        case Type::OBJECT: value.kind = JsonValue::Kind::object; break;
    }
    return value;
}

}  // namespace

bool JsonObjectReader::parse(std::string_view text, std::size_t readableBytes) {
    members_.clear();
    if (text.size() > parser_->dom.max_capacity()) return false;
    const bool padded = readableBytes >= text.size() + padding;
    simdjson::dom::element root;
    if (parser_->dom.parse(text.data(), text.size(), !padded).get(root) != simdjson::SUCCESS) return false;
    simdjson::dom::object object;
    if (root.get_object().get(object) != simdjson::SUCCESS) return false;
    for (const auto field : object) {
        members_.push_back(JsonMember{field.key, scalar(field.value)});
    }
    return true;
}

}  // namespace vornelo::platform

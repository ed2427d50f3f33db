#include "Platform/Json.h"

#include <simdjson.h>

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

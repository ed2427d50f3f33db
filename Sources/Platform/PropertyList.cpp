#include "Platform/PropertyList.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

namespace vornelo::platform {

namespace {

// Property-list dates count from 2001-01-01T00:00:00Z.
constexpr auto referenceDate = std::chrono::sys_days{std::chrono::year{2001} / 1 / 1};

struct NodeDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

constexpr int maxDepth = 64;

std::optional<PlistValue> fromNode(plist_t node, int depth);

std::optional<PlistValue> fromArray(plist_t node, int depth) {
    PlistValue::Array array;
    const auto count = plist_array_get_size(node);
    array.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        auto element = fromNode(plist_array_get_item(node, i), depth + 1);
        if (!element) return std::nullopt;
        array.push_back(std::move(*element));
    }
    return PlistValue(std::move(array));
}

std::optional<PlistValue> fromDictionary(plist_t node, int depth) {
    PlistValue::Dictionary dictionary;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(node, &iterator);
    if (!iterator) return PlistValue(std::move(dictionary));
    bool ok = true;
    while (ok) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iterator, &key, &value);
        if (!key) break;
        auto converted = value ? fromNode(value, depth + 1) : std::nullopt;
        if (converted) {
            dictionary.insert_or_assign(key, std::move(*converted));
        } else {
            ok = false;
        }
        std::free(key);
    }
    std::free(iterator);
    if (!ok) return std::nullopt;
    return PlistValue(std::move(dictionary));
}

std::optional<PlistValue> fromNode(plist_t node, int depth) {
    if (!node || depth > maxDepth) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return PlistValue(value != 0);
        }
        case PLIST_UINT: {
            uint64_t value = 0;
            plist_get_uint_val(node, &value);
            // libplist keeps negative integers as their two's-complement bit pattern.
            return PlistValue(static_cast<std::int64_t>(value));
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return PlistValue(value);
        }
        case PLIST_STRING: {
            char* value = nullptr;
            plist_get_string_val(node, &value);
            std::string text = value ? value : "";
            std::free(value);
            return PlistValue(std::move(text));
        }
        case PLIST_DATE: {
            int32_t seconds = 0, microseconds = 0;
            plist_get_date_val(node, &seconds, &microseconds);
            const auto time = std::chrono::system_clock::time_point{referenceDate} + std::chrono::seconds{seconds} +
                              std::chrono::microseconds{microseconds};
            return PlistValue(PlistDate{time});
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            PlistValue::Data data(reinterpret_cast<const std::uint8_t*>(bytes),
                                  reinterpret_cast<const std::uint8_t*>(bytes) + length);
            std::free(bytes);
            return PlistValue(std::move(data));
        }
        case PLIST_ARRAY: return fromArray(node, depth);
        case PLIST_DICT: return fromDictionary(node, depth);
        default: return std::nullopt;
    }
}

plist_t toNode(const PlistValue& value);

struct NodeBuilder {
    plist_t operator()(bool v) const { return plist_new_bool(v ? 1 : 0); }
    plist_t operator()(std::int64_t v) const { return plist_new_uint(static_cast<uint64_t>(v)); }
    plist_t operator()(double v) const { return plist_new_real(v); }
    plist_t operator()(const std::string& v) const { return plist_new_string(v.c_str()); }
    plist_t operator()(const PlistDate& v) const {
        const auto since = v.time - std::chrono::system_clock::time_point{referenceDate};
        const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
        const auto micro = std::chrono::duration_cast<std::chrono::microseconds>(since - seconds);
        return plist_new_date(static_cast<int32_t>(seconds.count()), static_cast<int32_t>(micro.count()));
    }
    plist_t operator()(const PlistValue::Data& v) const {
        return plist_new_data(reinterpret_cast<const char*>(v.data()), v.size());
    }
    plist_t operator()(const PlistValue::Array& v) const {
        plist_t array = plist_new_array();
        for (const auto& element : v) plist_array_append_item(array, toNode(element));
        return array;
    }
    plist_t operator()(const PlistValue::Dictionary& v) const {
        plist_t dictionary = plist_new_dict();
        for (const auto& [key, element] : v) plist_dict_set_item(dictionary, key.c_str(), toNode(element));
        return dictionary;
    }
};

plist_t toNode(const PlistValue& value) { return std::visit(NodeBuilder{}, value.storage()); }

}  // namespace

PlistValue PlistValue::strings(const std::vector<std::string>& values) {
    Array array;
    array.reserve(values.size());
    for (const auto& value : values) array.emplace_back(value);
    return PlistValue(std::move(array));
}

std::optional<bool> PlistValue::asBool() const {
    if (const auto* value = get<bool>()) return *value;
    if (const auto* value = get<std::int64_t>(); value && (*value == 0 || *value == 1)) return *value == 1;
    return std::nullopt;
}

std::optional<std::int64_t> PlistValue::asInteger() const {
    if (const auto* value = get<std::int64_t>()) return *value;
    if (const auto* value = get<double>()) {
        constexpr double limit = 9223372036854775808.0;  // 2^63
        if (std::isfinite(*value) && std::trunc(*value) == *value && *value >= -limit && *value < limit) {
            return static_cast<std::int64_t>(*value);
        }
    }
    return std::nullopt;
}

std::optional<std::vector<std::string>> PlistValue::asStringArray() const {
    const auto* array = get<Array>();
    if (!array) return std::nullopt;
    std::vector<std::string> strings;
    strings.reserve(array->size());
    for (const auto& element : *array) {
        const auto* text = element.get<std::string>();
        if (!text) return std::nullopt;
        strings.push_back(*text);
    }
    return strings;
}

std::optional<PlistValue> PropertyList::parse(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(bytes.data()), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) return std::nullopt;
    const Node owner(root);
    return fromNode(root, 0);
}

std::vector<std::uint8_t> PropertyList::serialize(const PlistValue& value, PlistFormat format) {
    const Node root(toNode(value));
    char* bytes = nullptr;
    uint32_t length = 0;
    if (format == PlistFormat::xml) {
        plist_to_xml(static_cast<plist_t>(root.get()), &bytes, &length);
    } else {
        plist_to_bin(static_cast<plist_t>(root.get()), &bytes, &length);
    }
    std::vector<std::uint8_t> out(reinterpret_cast<const std::uint8_t*>(bytes),
                                  reinterpret_cast<const std::uint8_t*>(bytes) + length);
    if (format == PlistFormat::xml) {
        plist_to_xml_free(bytes);
    } else {
        plist_to_bin_free(bytes);
    }
    return out;
}

}  // namespace vornelo::platform

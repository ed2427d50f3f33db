#include "Platform/Encoding/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>

namespace vornelo::platform {

namespace {

// Property-list dates count from 2001-01-01T00:00:00Z.
constexpr auto referenceDate = std::chrono::sys_days{std::chrono::year{2001} / 1 / 1};

struct NodeDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

constexpr int maxDepth = 64;
// Element depth of an XML property list whose values nest maxDepth deep: <plist>, the containers
// and a leaf element inside the deepest one.
constexpr std::size_t maxMarkupDepth = maxDepth + 3;

std::string_view text(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The parser recurses once per nesting level, so what nests deeper than the converter would take
// is refused before it gets there. Comments, CDATA and declarations are skipped; quoted attribute
// values may hold '>'. Anything the scan cannot make sense of is left for the parser to reject.
bool xmlNestingWithinBounds(std::string_view xml) {
    std::size_t depth = 0;
    std::size_t at = 0;
    const auto skipPast = [&](std::string_view end) {
        const auto found = xml.find(end, at);
        at = found == std::string_view::npos ? xml.size() : found + end.size();
    };
    while ((at = xml.find('<', at)) != std::string_view::npos) {
        const auto rest = xml.substr(at);
        if (rest.starts_with("<!--")) {
            skipPast("-->");
        } else if (rest.starts_with("<![CDATA[")) {
            skipPast("]]>");
        } else if (rest.starts_with("<?")) {
            skipPast("?>");
        } else if (rest.starts_with("<!")) {
            skipPast(">");
        } else if (rest.starts_with("</")) {
            if (depth > 0) --depth;
            skipPast(">");
        } else {
            char quote = 0;
            char last = 0;
            for (++at; at < xml.size(); ++at) {
                const char c = xml[at];
                if (quote != 0) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                } else {
                    last = c;
                }
            }
            if (last != '/' && ++depth > maxMarkupDepth) return false;
        }
    }
    return true;
}

// The binary form: a trailer locating an offset table, and containers that name their members
// by index. Containers nest as deep as the longest chain of references, which is followed here
// without recursion, each object measured once; a cycle or a reference out of range is refused.
class BinaryNesting {
public:
    explicit BinaryNesting(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool withinBounds() {
        if (!readTrailer()) return false;
        height_.assign(objects_, 0);
        struct Frame {
            std::uint64_t object;
            std::size_t refsAt;
            std::uint64_t remaining;
            std::uint8_t height;
        };
        std::vector<Frame> stack;
        const auto enter = [&](std::uint64_t object) {
            if (height_[object] == inProgress) return false;  // a cycle
            if (height_[object] != 0) return true;
            const auto refs = containerRefs(object);
            if (!refs) return false;
            if (refs->second == 0) {
                height_[object] = 1;
                return true;
            }
            if (stack.size() >= static_cast<std::size_t>(maxDepth)) return false;
            height_[object] = inProgress;
            stack.push_back(Frame{object, refs->first, refs->second, 1});
            return true;
        };
        if (!enter(top_)) return false;
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.remaining == 0) {
                const auto height = frame.height;
                height_[frame.object] = height;
                stack.pop_back();
                if (!stack.empty()) stack.back().height = std::max<std::uint8_t>(stack.back().height, height + 1);
                continue;
            }
            const auto child = readBigEndian(frame.refsAt, refSize_);
            frame.refsAt += refSize_;
            --frame.remaining;
            if (!child || *child >= objects_) return false;
            const auto depthBefore = stack.size();
            if (!enter(*child)) return false;
            if (stack.size() == depthBefore) {
                // Measured already (or not a container): it adds its height without a visit.
                Frame& parent = stack.back();
                parent.height = std::max<std::uint8_t>(parent.height, height_[*child] + 1);
            }
        }
        return height_[top_] <= maxDepth + 1;
    }

private:
    static constexpr std::uint8_t inProgress = 0xFF;
    static constexpr std::size_t trailerSize = 32;

    std::optional<std::uint64_t> readBigEndian(std::size_t at, std::size_t width) const {
        if (width == 0 || width > 8 || at > bytes_.size() || bytes_.size() - at < width) return std::nullopt;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes_[at + i];
        return value;
    }

    bool readTrailer() {
        if (bytes_.size() < 8 + trailerSize) return false;
        const std::size_t trailer = bytes_.size() - trailerSize;
        offsetSize_ = bytes_[trailer + 6];
        refSize_ = bytes_[trailer + 7];
        const auto objects = readBigEndian(trailer + 8, 8);
        const auto top = readBigEndian(trailer + 16, 8);
        const auto table = readBigEndian(trailer + 24, 8);
        if (!objects || !top || !table || offsetSize_ == 0 || offsetSize_ > 8 || refSize_ == 0 || refSize_ > 8) {
            return false;
        }
        if (*objects == 0 || *top >= *objects || *table > trailer || (trailer - *table) / offsetSize_ < *objects) {
            return false;
        }
        objects_ = *objects;
        top_ = *top;
        table_ = static_cast<std::size_t>(*table);
        return true;
    }

    // Where a container's member references start and how many there are; zero for anything
    // that is not a container; nothing when the object cannot be read.
    std::optional<std::pair<std::size_t, std::uint64_t>> containerRefs(std::uint64_t object) const {
        const auto offset = readBigEndian(table_ + static_cast<std::size_t>(object) * offsetSize_, offsetSize_);
        if (!offset || *offset >= table_) return std::nullopt;
        std::size_t at = static_cast<std::size_t>(*offset);
        const std::uint8_t marker = bytes_[at++];
        const std::uint8_t kind = marker >> 4;
        const bool isDictionary = kind == 0xD;
        if (kind != 0xA && kind != 0xB && kind != 0xC && !isDictionary) return std::pair<std::size_t, std::uint64_t>{at, 0};
        std::uint64_t count = marker & 0x0F;
        if (count == 0x0F) {
            if (at >= table_ || (bytes_[at] >> 4) != 0x1) return std::nullopt;
            const std::size_t width = std::size_t{1} << (bytes_[at] & 0x0F);
            const auto length = readBigEndian(at + 1, width);
            if (!length) return std::nullopt;
            count = *length;
            at += 1 + width;
        }
        const std::uint64_t refs = isDictionary ? count * 2 : count;
        if ((isDictionary && count > (std::numeric_limits<std::uint64_t>::max() / 2)) || at > table_ ||
            (table_ - at) / refSize_ < refs) {
            return std::nullopt;
        }
        return std::pair<std::size_t, std::uint64_t>{at, refs};
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t offsetSize_ = 0;
    std::size_t refSize_ = 0;
    std::uint64_t objects_ = 0;
    std::uint64_t top_ = 0;
    std::size_t table_ = 0;
    std::vector<std::uint8_t> height_;  // 0 not measured, inProgress on the stack, else 1 + depth below
};

bool nestingWithinBounds(std::span<const std::uint8_t> bytes) {
    if (text(bytes).starts_with("bplist")) return BinaryNesting(bytes).withinBounds();
    return xmlNestingWithinBounds(text(bytes));
}

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
    if (!nestingWithinBounds(bytes)) return std::nullopt;
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

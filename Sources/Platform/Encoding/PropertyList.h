#pragma once
// Property-list values and their XML and binary encodings (libplist underneath).
//
// Values are plain immutable data and may be copied between threads freely.

#include <chrono>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace vornelo::platform {

struct PlistDate {
    std::chrono::system_clock::time_point time;
    friend bool operator==(const PlistDate&, const PlistDate&) = default;
};

class PlistValue {
public:
    using Array = std::vector<PlistValue>;
    using Dictionary = std::map<std::string, PlistValue>;
    using Data = std::vector<std::uint8_t>;
    using Storage = std::variant<bool, std::int64_t, double, std::string, PlistDate, Data, Array, Dictionary>;

    PlistValue() : storage_(Dictionary{}) {}
    PlistValue(bool value) : storage_(value) {}
    PlistValue(int value) : storage_(std::int64_t{value}) {}
    PlistValue(std::int64_t value) : storage_(value) {}
    PlistValue(double value) : storage_(value) {}
    PlistValue(const char* value) : storage_(std::string(value)) {}
    PlistValue(std::string value) : storage_(std::move(value)) {}
    PlistValue(PlistDate value) : storage_(value) {}
    PlistValue(Data value) : storage_(std::move(value)) {}
    PlistValue(Array value) : storage_(std::move(value)) {}
    PlistValue(Dictionary value) : storage_(std::move(value)) {}

    // A list of strings as an array value.
    static PlistValue strings(const std::vector<std::string>& values);

    const Storage& storage() const { return storage_; }

    template <typename T>
    const T* get() const { return std::get_if<T>(&storage_); }

    // Conversions that mirror the platform's bridging: a Boolean is a bool or the integer 0 or 1;
    // an integer is an integer or a real without a fraction; a list of strings is an array whose
    // every element is a string.
    std::optional<bool> asBool() const;
    std::optional<std::int64_t> asInteger() const;
    std::optional<std::vector<std::string>> asStringArray() const;

    friend bool operator==(const PlistValue&, const PlistValue&) = default;

private:
    Storage storage_;
};

enum class PlistFormat { xml, binary };

struct PropertyList {
    // Parses XML or binary property lists; nothing when the bytes are neither.
    [[nodiscard]] static std::optional<PlistValue> parse(std::span<const std::uint8_t> bytes);
    [[nodiscard]] static std::vector<std::uint8_t> serialize(const PlistValue& value, PlistFormat format);
};

}  // namespace vornelo::platform

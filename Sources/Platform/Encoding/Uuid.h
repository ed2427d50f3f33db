#pragma once
// Random (version 4) UUIDs with the canonical upper-case spelling used in files.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vornelo::platform {

class Uuid {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    // A new random version 4 UUID (getrandom). Aborts if the kernel cannot supply randomness.
    Uuid();
    explicit Uuid(const Bytes& bytes) : bytes_(bytes) {}

    // Accepts the 8-4-4-4-12 hexadecimal form in either case; nothing else.
    [[nodiscard]] static std::optional<Uuid> fromString(std::string_view text);

    // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"
    [[nodiscard]] std::string uuidString() const;
    [[nodiscard]] const Bytes& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    Bytes bytes_{};
};

}  // namespace vornelo::platform

namespace vornelo {
using platform::Uuid;
}

template <>
struct std::hash<vornelo::platform::Uuid> {
    std::size_t operator()(const vornelo::platform::Uuid& uuid) const noexcept {
        std::size_t value = 0;
        for (auto byte : uuid.bytes()) {
            value = value * 131 + byte;
        }
        return value;
    }
};

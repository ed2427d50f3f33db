#include "Platform/Authorization/AuthorizationExternalForm.h"

#include "Platform/Encoding/Sha256.h"

#include <algorithm>
#include <string_view>

namespace vornelo::platform {

namespace {

constexpr std::array<std::uint8_t, 4> magic{'V', 'N', 'A', 'F'};
constexpr std::size_t versionOffset = 4;
constexpr std::size_t reservedOffset = 5;
constexpr std::size_t pidOffset = 8;
constexpr std::size_t uidOffset = 12;
constexpr std::size_t startTimeOffset = 16;
constexpr std::size_t nonceOffset = 24;
constexpr std::size_t checkOffset = 28;

template <typename Integer>
void put(AuthorizationExternalForm& form, std::size_t offset, Integer value) {
    for (std::size_t index = 0; index < sizeof(Integer); ++index) {
        form[offset + index] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * index));
    }
}

template <typename Integer>
Integer get(std::span<const std::uint8_t> bytes, std::size_t offset) {
    std::uint64_t value = 0;
    for (std::size_t index = 0; index < sizeof(Integer); ++index) {
        value |= static_cast<std::uint64_t>(bytes[offset + index]) << (8 * index);
    }
    return static_cast<Integer>(value);
}

// The first four bytes of the SHA-256 of everything before the check.
std::array<std::uint8_t, 4> check(std::span<const std::uint8_t> bytes) {
    const auto digest = Sha256::hash(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), checkOffset));
    return {digest[0], digest[1], digest[2], digest[3]};
}

}  // namespace

AuthorizationExternalForm ExternalFormContents::encode() const {
    AuthorizationExternalForm form{};
    std::ranges::copy(magic, form.begin());
    form[versionOffset] = version;
    put(form, pidOffset, static_cast<std::uint32_t>(subject.pid));
    put(form, uidOffset, static_cast<std::uint32_t>(subject.uid));
    put(form, startTimeOffset, subject.startTime);
    put(form, nonceOffset, nonce);
    std::ranges::copy(check(form), form.begin() + checkOffset);
    return form;
}

std::optional<ExternalFormContents> ExternalFormContents::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kAuthorizationExternalFormLength) return std::nullopt;
    if (!std::ranges::equal(bytes.first(magic.size()), magic)) return std::nullopt;
    if (bytes[versionOffset] != version) return std::nullopt;
    if (std::ranges::any_of(bytes.subspan(reservedOffset, pidOffset - reservedOffset), [](auto b) { return b != 0; })) {
        return std::nullopt;
    }
    if (!std::ranges::equal(bytes.subspan(checkOffset), check(bytes))) return std::nullopt;
    ExternalFormContents contents;
    const auto pid = get<std::uint32_t>(bytes, pidOffset);
    // A pid the kernel could never hand out (beyond pid_t) is no process.
    if (pid == 0 || pid > 0x7fffffffU) return std::nullopt;
    contents.subject.pid = static_cast<pid_t>(pid);
    contents.subject.uid = get<std::uint32_t>(bytes, uidOffset);
    contents.subject.startTime = get<std::uint64_t>(bytes, startTimeOffset);
    if (contents.subject.startTime == 0) return std::nullopt;
    contents.nonce = get<std::uint32_t>(bytes, nonceOffset);
    return contents;
}

}  // namespace vornelo::platform

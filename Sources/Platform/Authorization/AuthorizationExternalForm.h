#pragma once
// The 32 bytes by which a client hands its authorization to the helper. They name the client
// process that made them (pid, start time, user) and carry a random nonce and a check, so the
// helper can refuse a form that another process sent, or bytes that are not a form at all,
// without asking polkit. Layout: docs/helper-protocol.md. The form holds no secret: what
// makes it worth anything is that the helper compares it with the kernel's word on its peer.
//
// Thread safety: plain values and pure functions.

#include "Platform/Authorization/AuthorizationSubject.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vornelo::platform {

inline constexpr std::size_t kAuthorizationExternalFormLength = 32;
using AuthorizationExternalForm = std::array<std::uint8_t, kAuthorizationExternalFormLength>;

struct ExternalFormContents {
    static constexpr std::uint8_t version = 1;

    AuthorizationSubject subject;
    std::uint32_t nonce = 0;

    [[nodiscard]] AuthorizationExternalForm encode() const;

    // The contents of bytes that are exactly a form of this version (length, magic, version, zero
    // reserved bytes, check, non-zero pid and start time); nothing for anything else.
    [[nodiscard]] static std::optional<ExternalFormContents> decode(std::span<const std::uint8_t> bytes);

    friend bool operator==(const ExternalFormContents&, const ExternalFormContents&) = default;
};

}  // namespace vornelo::platform

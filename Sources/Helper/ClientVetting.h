#pragma once
// Whether a connection's peer may talk to the helper: its code must satisfy the client
// requirement, judged when the connection is accepted and again before every message, with the
// executable it ran at accept time pinned so that an exec in between closes the connection.
//
// A refused peer is closed without an answer and without a line in the helper's log: nothing it
// sends reaches a handler. The daemon always vets with the fixed anchor store; admittingEveryone()
// exists for tests of the other layers only.
//
// Thread safety: guard() may be called from any thread; the handlers it makes belong to their
// connection's thread.

#include "Platform/Identity/CodeRequirement.h"
#include "Platform/Identity/CodeSigning.h"
#include "Platform/Ipc/VarlinkService.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace vornelo::helper {

class ClientVetting {
public:
    using MakeHandler = std::function<std::unique_ptr<platform::VarlinkConnectionHandler>()>;
    using Admission = std::optional<platform::ExecutableIdentity>;

    // How long a connection's messages may pass on the quick look (no exec or exit since, not
    // attachable) before the full check runs again.
    static constexpr std::chrono::seconds fullCheckInterval{1};

    // Judges peers with `signing` against `requirement`; a requirement that does not parse
    // admits nobody.
    explicit ClientVetting(platform::CodeSigning& signing, std::string_view requirement);
    // The helper's own vetting: the client requirement and the given signing (the system store).
    explicit ClientVetting(platform::CodeSigning& signing);

    static ClientVetting admittingEveryone() { return ClientVetting(); }

    // The handler `make` builds, wrapped so every message is vetted before it is delivered; or
    // nullptr (the connection is closed) when the peer fails at accept time. `make` is not called
    // for a refused peer.
    [[nodiscard]] std::unique_ptr<platform::VarlinkConnectionHandler> guard(const platform::SocketPeer& peer,
                                                                           const MakeHandler& make) const;

    // The peer's executable when it satisfies the requirement now and, given `accepted`, still
    // runs that executable; nothing when refused.
    [[nodiscard]] std::optional<Admission> admit(const platform::SocketPeer& peer,
                                                 const Admission& accepted = std::nullopt) const;

private:
    ClientVetting() = default;

    platform::CodeSigning* signing_ = nullptr;  // null: everyone is admitted
    std::optional<platform::CodeRequirement> requirement_;
};

}  // namespace vornelo::helper

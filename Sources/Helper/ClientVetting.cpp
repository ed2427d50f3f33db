#include "Helper/ClientVetting.h"

#include "Core/PrivilegedHelperConstants.h"
#include "Platform/PeerProcess.h"

#include <chrono>

namespace vornelo::helper {

namespace {

// Between full checks a message costs two system calls: /proc/<pid>/exe is still the judged file,
// and the process is still not attachable by its user (a /proc folder whose process has gone
// answers neither). The loader
// variables, the tracer and the signature can only change through an exec (which resets
// dumpability, so the next message gets the full check) or by root; the full check runs again at
// least every `fullCheckInterval` regardless.
class VettedConnection final : public platform::VarlinkConnectionHandler {
public:
    VettedConnection(const ClientVetting& vetting, const platform::SocketPeer& peer, ClientVetting::Admission accepted,
                     std::unique_ptr<platform::VarlinkConnectionHandler> inner)
        : vetting_(vetting), peer_(peer), accepted_(std::move(accepted)), inner_(std::move(inner)),
          lastFullCheck_(std::chrono::steady_clock::now()) {
        if (auto held = platform::PeerProcess::open(peer.pidfd()); held && accepted_) held_.emplace(std::move(*held));
    }

    bool admitsNextMessage() override {
        if (!unchangedSinceLastCheck()) {
            if (!vetting_.admit(peer_, accepted_)) return false;
            lastFullCheck_ = std::chrono::steady_clock::now();
        }
        return inner_->admitsNextMessage();
    }

    platform::VarlinkReply call(std::string_view method, const nlohmann::json& parameters) override {
        return inner_->call(method, parameters);
    }

private:
    bool unchangedSinceLastCheck() const {
        if (!held_ || std::chrono::steady_clock::now() - lastFullCheck_ > ClientVetting::fullCheckInterval) return false;
        const auto executable = held_->statEntry("exe");
        if (!executable || platform::ExecutableIdentity::of(*executable) != *accepted_) return false;
        const auto status = held_->statEntry("status");
        return status && status->st_uid == 0;
    }

    const ClientVetting& vetting_;
    const platform::SocketPeer& peer_;
    ClientVetting::Admission accepted_;
    std::unique_ptr<platform::VarlinkConnectionHandler> inner_;
    std::optional<platform::PeerProcess> held_;  // empty when everyone is admitted
    std::chrono::steady_clock::time_point lastFullCheck_;
};

}  // namespace

ClientVetting::ClientVetting(platform::CodeSigning& signing, std::string_view requirement) : signing_(&signing) {
    if (auto parsed = platform::CodeRequirement::parse(requirement)) requirement_ = std::move(*parsed);
}

ClientVetting::ClientVetting(platform::CodeSigning& signing)
    : ClientVetting(signing, PrivilegedHelperConstants::clientRequirement) {}

std::unique_ptr<platform::VarlinkConnectionHandler> ClientVetting::guard(const platform::SocketPeer& peer,
                                                                         const MakeHandler& make) const {
    auto accepted = admit(peer);
    if (!accepted) return nullptr;
    auto inner = make();
    if (!inner) return nullptr;
    return std::make_unique<VettedConnection>(*this, peer, std::move(*accepted), std::move(inner));
}

std::optional<ClientVetting::Admission> ClientVetting::admit(const platform::SocketPeer& peer,
                                                             const Admission& accepted) const {
    if (signing_ == nullptr) return Admission();
    if (!requirement_ || peer.pidfd() < 0) return std::nullopt;
    // At accept time nothing is pinned yet; afterwards the accept-time executable must still run.
    const auto verdict = signing_->checkPeer(peer.pidfd(), *requirement_, accepted);
    if (!verdict.satisfied || !verdict.executable) return std::nullopt;
    return verdict.executable;
}

}  // namespace vornelo::helper

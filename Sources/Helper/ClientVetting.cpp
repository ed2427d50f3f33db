#include "Helper/ClientVetting.h"

#include "Core/PrivilegedHelperConstants.h"

namespace vornelo::helper {

namespace {

class VettedConnection final : public platform::VarlinkConnectionHandler {
public:
    VettedConnection(const ClientVetting& vetting, const platform::SocketPeer& peer, ClientVetting::Admission accepted,
                     std::unique_ptr<platform::VarlinkConnectionHandler> inner)
        : vetting_(vetting), peer_(peer), accepted_(std::move(accepted)), inner_(std::move(inner)) {}

    bool admitsNextMessage() override {
        return vetting_.admit(peer_, accepted_).has_value() && inner_->admitsNextMessage();
    }

    platform::VarlinkReply call(std::string_view method, const nlohmann::json& parameters) override {
        return inner_->call(method, parameters);
    }

private:
    const ClientVetting& vetting_;
    const platform::SocketPeer& peer_;
    ClientVetting::Admission accepted_;
    std::unique_ptr<platform::VarlinkConnectionHandler> inner_;
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

#include "Helper/ClientVetting.h"

#include "Core/PrivilegedHelperConstants.h"
#include "Platform/Identity/ExecWatch.h"
#include "Platform/Identity/PeerProcess.h"

#include <chrono>

namespace vornelo::helper {

namespace {

// Between full checks a message costs two system calls. The first asks whether the process may
// have run exec (or exited, or gained a tracer) since the last look: the kernel's process events
// when they can be had (one read of an empty queue), else whether /proc/<pid>/exe is still the
// judged file. The second is an fstat of a descriptor held since accept, whose owner the kernel
// computes anew each time: root while the process is not attachable by its user. The loader
// variables, the tracer and the signature can only change through an exec or by root; the full
// check runs again at least every `fullCheckInterval` regardless.
class VettedConnection final : public platform::VarlinkConnectionHandler {
public:
    VettedConnection(const ClientVetting& vetting, const platform::SocketPeer& peer, ClientVetting::Admission accepted,
                     std::unique_ptr<platform::VarlinkConnectionHandler> inner,
                     std::unique_ptr<platform::ExecWatch::Subscription> execs)
        : vetting_(vetting), peer_(peer), accepted_(std::move(accepted)), inner_(std::move(inner)), execs_(std::move(execs)),
          lastFullCheck_(std::chrono::steady_clock::now()) {
        if (auto held = platform::PeerProcess::open(peer.pidfd()); held && accepted_) {
            ownerProbe_ = held->openOwnerProbe();
            held_.emplace(std::move(*held));
        }
    }

    bool admitsNextMessage() override {
        if (!unchangedSinceLastCheck()) {
            if (!vetting_.admit(peer_, accepted_)) return false;
            lastFullCheck_ = std::chrono::steady_clock::now();
        }
        return inner_->admitsNextMessage();
    }

    platform::VarlinkReply call(std::string_view method, const nlohmann::json& parameters,
                                const platform::VarlinkArrayLengths& arrayLengths) override {
        return inner_->call(method, parameters, arrayLengths);
    }
    void replySent() override { inner_->replySent(); }

private:
    bool unchangedSinceLastCheck() {
        if (!held_ || !ownerProbe_ || std::chrono::steady_clock::now() - lastFullCheck_ > ClientVetting::fullCheckInterval) {
            return false;
        }
        if (!sameImage()) return false;
        const auto owner = platform::PeerProcess::ownerShownBy(ownerProbe_.get());
        return owner && *owner == 0;
    }

    // A process that has exited fails here too (no event queue: its exe is gone; with one: the
    // exit event), which the owner probe alone would not tell.
    bool sameImage() {
        if (execs_) return !execs_->mayHaveChanged();
        const auto executable = held_->statEntry("exe");
        return executable && platform::ExecutableIdentity::of(*executable) == *accepted_;
    }

    const ClientVetting& vetting_;
    const platform::SocketPeer& peer_;
    ClientVetting::Admission accepted_;
    std::unique_ptr<platform::VarlinkConnectionHandler> inner_;
    std::unique_ptr<platform::ExecWatch::Subscription> execs_;  // empty: the kernel's events are not at hand
    std::optional<platform::PeerProcess> held_;  // empty when everyone is admitted
    platform::FileDescriptor ownerProbe_;
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
    // Subscribed before the accept-time check, so no exec after that check goes unseen.
    auto execs = signing_ != nullptr ? platform::ExecWatch::shared().subscribe(peer.pid()) : nullptr;
    auto accepted = admit(peer);
    if (!accepted) return nullptr;
    auto inner = make();
    if (!inner) return nullptr;
    return std::make_unique<VettedConnection>(*this, peer, std::move(*accepted), std::move(inner), std::move(execs));
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

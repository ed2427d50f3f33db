#pragma once
// Serves one accepted connection: HelperVersion at once, RemoveItems step by step (counted with
// the idle monitor, logged, authorization first, then the size limit, the requester's Trash, the
// policy per path, launch jobs booted out, the move) with every outcome in the reply. The
// requester is the connection's peer as the kernel reported it at accept time, never anyone the
// client names.
//
// Thread safety: one connection's calls arrive one at a time; handlers of different connections
// run in parallel and share only the collaborators, which are thread-safe.

#include "Helper/HelperLog.h"
#include "Helper/IdleMonitor.h"
#include "Helper/RemovalSteps.h"
#include "Platform/Ipc/VarlinkService.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vornelo::helper {

class ConnectionHandler : public platform::VarlinkConnectionHandler {
public:
    static constexpr std::size_t maxPaths = 500;
    static constexpr std::string_view notApproved = "An administrator didn't approve this.";
    // polkit found no authentication agent for the client, so nobody was asked.
    static constexpr std::string_view noAgent =
        "No authentication agent could ask an administrator to approve this; run the command on a terminal or in a "
        "desktop session.";
    static constexpr std::string_view tooMany = "Too many items in one request.";
    static constexpr std::string_view noTrash = "Couldn't find your Trash.";

    struct Reply {
        std::map<std::string, std::string> moved;
        std::map<std::string, std::string> failed;
    };

    ConnectionHandler(const platform::SocketPeer& peer, RemovalSteps& steps, IdleMonitor& idle, const HelperLog& log);

    uid_t userID() const { return peer_.uid(); }

    std::int64_t helperVersion() const;
    // `requested` is how many paths the request named, when the service kept only the first
    // `paths` of them (it keeps maxPaths + 1, enough to tell a request that is too long); the
    // reply then answers for the paths kept.
    Reply removeItems(const std::vector<std::string>& paths, std::span<const std::uint8_t> authorization,
                      std::optional<std::size_t> requested = std::nullopt);

    // A RemoveItems call is counted out with the idle monitor only once its reply has been sent
    // (replySent), so that the helper never exits between the verdict and the client hearing it.
    platform::VarlinkReply call(std::string_view method, const nlohmann::json& parameters,
                                const platform::VarlinkArrayLengths& arrayLengths) override;
    void replySent() override;
    ~ConnectionHandler() override;
    ConnectionHandler(const ConnectionHandler&) = delete;
    ConnectionHandler& operator=(const ConnectionHandler&) = delete;

    // The launchd domain a launch item's job is booted out of.
    [[nodiscard]] static std::string launchDomain(const std::string& path, uid_t user);

private:
    void handle(const std::vector<std::string>& paths, std::size_t requested, std::span<const std::uint8_t> authorization,
                Reply& reply);
    void failAll(const std::vector<std::string>& paths, std::string_view message, Reply& reply) const;

    const platform::SocketPeer& peer_;
    RemovalSteps& steps_;
    IdleMonitor& idle_;
    const HelperLog& log_;
    bool awaitingReply_ = false;  // a request counted in whose reply is not out yet
};

}  // namespace vornelo::helper

#include "Helper/ConnectionHandler.h"

#include "Core/PrivilegedHelperConstants.h"
#include "Platform/Encoding/Base64.h"

#include <algorithm>

namespace vornelo::helper {

namespace {

// Counts a request called directly (not through the socket) out on every way out of it.
class RequestScope {
public:
    explicit RequestScope(IdleMonitor& idle) : idle_(idle) { idle_.beginRequest(); }
    ~RequestScope() { idle_.endRequest(); }
    RequestScope(const RequestScope&) = delete;
    RequestScope& operator=(const RequestScope&) = delete;

private:
    IdleMonitor& idle_;
};

nlohmann::json dictionary(const std::map<std::string, std::string>& values) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [key, value] : values) object[key] = value;
    return object;
}

}  // namespace

ConnectionHandler::ConnectionHandler(const platform::SocketPeer& peer, RemovalSteps& steps, IdleMonitor& idle,
                                     const HelperLog& log)
    : peer_(peer), steps_(steps), idle_(idle), log_(log) {}

std::int64_t ConnectionHandler::helperVersion() const { return PrivilegedHelperConstants::protocolVersion; }

std::string ConnectionHandler::launchDomain(const std::string& path, uid_t user) {
    if (path.find("/LaunchDaemons/") != std::string::npos) return "system";
    return "gui/" + std::to_string(user);
}

ConnectionHandler::Reply ConnectionHandler::removeItems(const std::vector<std::string>& paths,
                                                        std::span<const std::uint8_t> authorization,
                                                        std::optional<std::size_t> requested) {
    Reply reply;
    RequestScope counted(idle_);
    handle(paths, std::max(requested.value_or(0), paths.size()), authorization, reply);
    return reply;
}

void ConnectionHandler::failAll(const std::vector<std::string>& paths, std::string_view message, Reply& reply) const {
    for (const auto& path : paths) reply.failed[path] = message;
}

void ConnectionHandler::handle(const std::vector<std::string>& paths, std::size_t requested,
                               std::span<const std::uint8_t> authorization, Reply& reply) {
    const std::string uid = std::to_string(userID());
    log_.note("request from uid " + uid + " for " + std::to_string(requested) + " item(s)");
    if (const auto status = steps_.authorizationStatus(authorization, peer_); status != platform::errAuthorizationSuccess) {
        log_.note("request from uid " + uid + " refused: no administrator authorization");
        failAll(paths, status == platform::errAuthorizationInteractionNotAllowed ? noAgent : notApproved, reply);
        return;
    }
    if (requested > maxPaths) {
        failAll(paths, tooMany, reply);
        return;
    }
    const auto trash = steps_.openTrash(userID());
    if (!trash) {
        failAll(paths, noTrash, reply);
        return;
    }
    const auto packaged = steps_.packageRefusals(paths);  // one question for the whole request
    std::optional<bool> launchctlUsable;  // looked at once, at the first launch job
    for (const auto& path : paths) {
        const auto shown = HelperLog::clientValue(path);
        auto judged = steps_.judge(path);
        if (const auto owned = packaged.find(path); judged && owned != packaged.end()) judged = std::unexpected(owned->second);
        if (!judged) {
            log_.note("refused " + shown + ": " + HelperLog::clientValue(judged.error()));
            reply.failed[path] = judged.error();
            continue;
        }
        if (judged->kind == RemovalKind::launchItem && !path.ends_with(".plist")) {
            // A systemd unit: stopped and disabled before its file goes ("--": a name is never an option).
            steps_.systemctl({"disable", "--now", "--", judged->name});
        } else if (judged->kind == RemovalKind::launchItem) {
            if (!launchctlUsable) launchctlUsable = steps_.launchctlUsable();
            if (*launchctlUsable) steps_.launchctl({"bootout", launchDomain(path, userID()), path});
        }
        auto moved = steps_.moveToTrash(*judged, *trash);
        if (!moved) {
            log_.note("failed " + shown + ": " + HelperLog::clientValue(moved.error()));
            reply.failed[path] = moved.error();
            continue;
        }
        reply.moved[path] = moved->native();
        log_.note("moved " + shown + " to the Trash of uid " + uid);
    }
}

platform::VarlinkReply ConnectionHandler::call(std::string_view method, const nlohmann::json& parameters,
                                               const platform::VarlinkArrayLengths& arrayLengths) {
    if (method == "HelperVersion") return nlohmann::json{{"version", helperVersion()}};
    if (method != "RemoveItems") return std::unexpected(platform::VarlinkError::methodNotFound(method));

    const auto pathsIt = parameters.find("paths");
    if (pathsIt == parameters.end() || !pathsIt->is_array()) {
        return std::unexpected(platform::VarlinkError::invalidParameter("paths"));
    }
    std::vector<std::string> paths;
    paths.reserve(pathsIt->size());
    for (const auto& path : *pathsIt) {
        if (!path.is_string()) return std::unexpected(platform::VarlinkError::invalidParameter("paths"));
        paths.push_back(path.get<std::string>());
    }
    const auto authorizationIt = parameters.find("authorization");
    if (authorizationIt == parameters.end() || !authorizationIt->is_string()) {
        return std::unexpected(platform::VarlinkError::invalidParameter("authorization"));
    }
    const auto authorization = platform::Base64::decode(authorizationIt->get_ref<const std::string&>());
    if (!authorization) return std::unexpected(platform::VarlinkError::invalidParameter("authorization"));

    std::optional<std::size_t> requested;
    if (const auto length = arrayLengths.find("/paths"); length != arrayLengths.end()) requested = length->second;
    Reply reply;
    idle_.beginRequest();
    awaitingReply_ = true;  // counted out by replySent(), once the client has its answer
    handle(paths, std::max(requested.value_or(0), paths.size()), *authorization, reply);
    return nlohmann::json{{"moved", dictionary(reply.moved)}, {"failed", dictionary(reply.failed)}};
}

void ConnectionHandler::replySent() {
    if (!awaitingReply_) return;
    awaitingReply_ = false;
    idle_.endRequest();
}

ConnectionHandler::~ConnectionHandler() { replySent(); }

}  // namespace vornelo::helper

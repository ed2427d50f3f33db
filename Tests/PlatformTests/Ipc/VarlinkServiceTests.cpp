#include "Platform/Ipc/VarlinkService.h"

#include "Support/ChildProcess.h"
#include "Support/FileChecks.h"
#include "Support/VarlinkFixture.h"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>
#include <unistd.h>

namespace vornelo::platform {
namespace {

using test::closedByPeer;
using test::ServedSocket;

constexpr const char* interfaceText = "# A test interface.\ninterface org.example.probe\n\nmethod Who() -> (uid: int)\n";

// Answers Who with what the kernel said about the peer, and Echo with its parameters.
class PeerEcho : public VarlinkConnectionHandler {
public:
    explicit PeerEcho(const SocketPeer& peer) : peer_(peer) {}
    VarlinkReply call(std::string_view method, const nlohmann::json& parameters) override {
        if (method == "Echo") return parameters;
        if (method != "Who") return std::unexpected(VarlinkError::methodNotFound(method));
        return nlohmann::json{{"uid", peer_.uid()}, {"pid", peer_.pid()}, {"start", peer_.startTime()},
                              {"held", peer_.heldBySocket()}, {"alive", peer_.isAlive()}};
    }

private:
    const SocketPeer& peer_;
};

VarlinkService::Accept echoAccept() {
    return [](const SocketPeer& peer) { return std::make_unique<PeerEcho>(peer); };
}

std::string withNul(std::string text) {
    text.push_back('\0');
    return text;
}

TEST(VarlinkServiceTest, AnswersIntrospectionCallsErrorsAndOnewayInOrder) {
    ServedSocket served(interfaceText, echoAccept());
    auto client = served.connect();

    const auto info = client.call("org.varlink.service.GetInfo", nlohmann::json::object());
    const auto own = client.call("org.varlink.service.GetInterfaceDescription", {{"interface", "org.example.probe"}});
    ASSERT_TRUE(info.has_value() && own.has_value());
    EXPECT_EQ(std::tuple((*info)["interfaces"], (*info)["version"], (*own)["description"]),
              std::tuple(nlohmann::json({"org.varlink.service", "org.example.probe"}), "7", interfaceText));
    const std::string notFound = "org.varlink.service.InterfaceNotFound";
    const std::tuple<const char*, nlohmann::json, const char*, nlohmann::json> cases[] = {
        {"org.varlink.service.GetInterfaceDescription", {{"interface", "org.example.x"}}, notFound.c_str(), {{"interface", "org.example.x"}}},
        {"org.varlink.service.GetInterfaceDescription", {{"interface", 3}}, "org.varlink.service.InvalidParameter", {{"parameter", "interface"}}},
        {"org.example.x.Who", nlohmann::json::object(), notFound.c_str(), {{"interface", "org.example.x"}}},
        {"org.example.probe.Nope", nlohmann::json::object(), "org.varlink.service.MethodNotFound", {{"method", "org.example.probe.Nope"}}},
        {"NoInterface", nlohmann::json::object(), notFound.c_str(), {{"interface", "NoInterface"}}},
    };
    for (const auto& [method, parameters, error, errorParameters] : cases) {
        const auto reply = client.call(method, parameters);
        ASSERT_FALSE(reply.has_value()) << method;
        EXPECT_EQ(std::pair(reply.error().error, reply.error().parameters), std::pair(std::string(error), errorParameters)) << method;
    }

    // A oneway call gets no reply; calls sent together are answered one after the other, and a
    // missing "parameters" counts as empty.
    ASSERT_TRUE(client.send(withNul(R"({"method":"org.example.probe.Echo","parameters":{"n":1},"oneway":true})") +
                            withNul(R"({"method":"org.example.probe.Echo","parameters":{"n":2}})") +
                            withNul(R"({"method":"org.example.probe.Echo"})")));
    EXPECT_EQ(client.receive().value_or(""), R"({"parameters":{"n":2}})");
    EXPECT_EQ(client.receive().value_or(""), R"({"parameters":{}})");
}

TEST(VarlinkServiceTest, ABadOrOverlongOrStalledMessageClosesOnlyItsConnection) {
    VarlinkService::Limits limits;
    limits.maxMessageBytes = 1024;
    limits.stallTimeout = std::chrono::milliseconds(200);
    ServedSocket served(interfaceText, echoAccept(), limits);
    auto bystander = served.connect();

    const std::string deep = std::string(100, '[') + std::string(100, ']');
    const std::pair<const char*, std::string> cases[] = {
        {"not JSON", withNul("hello")}, {"no method", withNul(R"({"parameters":{}})")},
        {"a method that is no string", withNul(R"({"method":7})")}, {"half-sent", R"({"method":"org.example.probe.Echo")"},
        {"parameters that are no object", withNul(R"({"method":"org.example.probe.Echo","parameters":[]})")},
        {"nesting too deep", withNul(R"({"method":"org.example.probe.Echo","parameters":{"a":)" + deep + "}}")},
        {"too long with its NUL", withNul(R"({"method":"org.example.probe.Echo","parameters":{"a":")" +
                                          std::string(2000, 'x') + "\"}}")},
        {"too long without a NUL", std::string(1500, ' ')},
        {"invalid UTF-8", withNul("{\"method\":\"org.example.probe.Echo\",\"parameters\":{\"a\":\"\xff\"}}")},
    };
    for (const auto& [what, bytes] : cases) {
        auto client = served.connect();
        ASSERT_TRUE(client.send(bytes)) << what;
        EXPECT_TRUE(closedByPeer(client.fd())) << what;
        const auto still = bystander.call("org.example.probe.Echo", {{"after", what}});
        ASSERT_TRUE(still.has_value()) << what;
        EXPECT_EQ((*still)["after"], what);
    }
    // A connection that merely stays quiet between messages is left alone.
    std::this_thread::sleep_for(limits.stallTimeout * 2);
    EXPECT_TRUE(bystander.call("org.example.probe.Echo", nlohmann::json::object()).has_value());
}

TEST(VarlinkServiceTest, BoundsConnectionsPerUserAndInAllAndTellsUsersApart) {
    VORNELO_REQUIRE_ROOT();
    VarlinkService::Limits limits;
    limits.maxConnectionsPerUser = 2;
    limits.maxConnections = 3;
    ServedSocket served(interfaceText, echoAccept(), limits);
    std::optional<VarlinkClient> first(served.connect());
    std::optional<VarlinkClient> second(served.connect());
    const auto who = first->call("org.example.probe.Who", nlohmann::json::object());
    ASSERT_TRUE(who.has_value());
    EXPECT_EQ(*who, nlohmann::json({{"uid", 0}, {"pid", ::getpid()}, {"start", SocketPeer::readStartTime(::getpid()).value_or(0)},
                                    {"held", (*who)["held"]}, {"alive", true}}));

    // A third connection of root's is one too many for root, not for another user.
    auto third = served.connect();
    EXPECT_TRUE(closedByPeer(third.fd()));
    const auto account = test::unprivilegedAccount();
    const auto path = served.path();
    const auto other = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        auto client = VarlinkClient::connect(path);
        if (!client) return client.error().description;
        const auto reply = client->call("org.example.probe.Who", nlohmann::json::object());
        if (!reply) return "no reply: " + reply.error().description;
        if ((*reply)["uid"] != account.uid || (*reply)["pid"] != ::getpid()) return "wrong peer: " + reply->dump();
        // Now all three places are taken: a second connection of this user is refused.
        auto extra = VarlinkClient::connect(path);
        if (!extra || !closedByPeer(extra->fd())) return "a fourth connection was kept";
        return {};
    });
    EXPECT_TRUE(other.succeeded) << other.message;

    // Places come back when connections end.
    first.reset();
    for (int wait = 0; wait < 500 && served.service().openConnections() > 1; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(served.connect().call("org.example.probe.Who", nlohmann::json::object()).has_value());
}

TEST(VarlinkServiceTest, BindsItsPathOrRefusesWhatIsThere) {
    test::TempDirectory directory;
    const auto path = directory / "run" / "service.sock";
    {
        VarlinkService service(interfaceText, {}, echoAccept());
        ASSERT_TRUE(service.listen(path).has_value());
        EXPECT_EQ(test::statOf(path).st_mode & 0177777, S_IFSOCK | 0666U);
        // A second service must not steal a live socket.
        VarlinkService rival(interfaceText, {}, echoAccept());
        const auto refused = rival.listen(path);
        ASSERT_FALSE(refused.has_value());
        EXPECT_NE(refused.error().find("already listens"), std::string::npos);
    }
    // The socket left behind by a service that is gone is replaced.
    VarlinkService successor(interfaceText, {}, echoAccept());
    EXPECT_TRUE(successor.listen(path).has_value());

    const auto file = directory / "plain";
    test::writeFile(file);
    VarlinkService onFile(interfaceText, {}, echoAccept());
    EXPECT_FALSE(onFile.listen(file).has_value());
    EXPECT_EQ(test::readFile(file), "x");
}

}  // namespace
}  // namespace vornelo::platform

#include "Platform/Ipc/VarlinkService.h"

#include "Support/ChildProcess.h"
#include "Support/FileChecks.h"
#include "Support/VarlinkFixture.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <optional>
#include <tuple>
#include <unistd.h>

namespace vornelo::platform {
namespace {

using test::closedByPeer;
using test::ServedSocket;

constexpr const char* interfaceText = "# A test interface.\ninterface org.example.probe\n\nmethod Who() -> (uid: int)\n";

// Answers Who with what the kernel said about the peer, Echo with its parameters, Lengths with
// its parameters and the lengths of the arrays the service cut short, and Large with 3 MB.
class PeerEcho : public VarlinkConnectionHandler {
public:
    explicit PeerEcho(const SocketPeer& peer) : peer_(peer) {}
    VarlinkReply call(std::string_view method, const nlohmann::json& parameters, const VarlinkArrayLengths& lengths) override {
        if (method == "Echo") return parameters;
        if (method == "Lengths") return nlohmann::json{{"parameters", parameters}, {"lengths", lengths}};
        if (method == "Large") return nlohmann::json{{"large", std::vector<std::string>(200, std::string(16 * 1024, 'x'))}};
        if (method == "Sent") return nlohmann::json{{"sent", sent_}};
        if (method != "Who") return std::unexpected(VarlinkError::methodNotFound(method));
        return nlohmann::json{{"uid", peer_.uid()}, {"pid", peer_.pid()}, {"start", peer_.startTime()},
                              {"held", peer_.heldBySocket()}, {"alive", peer_.isAlive()}};
    }

    void replySent() override { ++sent_; }

private:
    const SocketPeer& peer_;
    int sent_ = 0;  // replies out before the current call
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
    // The handler heard of each of the ten replies (the oneway one's too) before the next call.
    EXPECT_EQ(client.call("org.example.probe.Sent", nlohmann::json::object()).value_or(nullptr), nlohmann::json({{"sent", 10}}));
}

TEST(VarlinkServiceTest, ABadOrOverlongOrStalledMessageClosesOnlyItsConnection) {
    VarlinkService::Limits limits;
    limits.maxMessageBytes = 1024;
    limits.messageTimeout = std::chrono::milliseconds(200);
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
    // A message of the largest size allowed is answered.
    std::string largest = R"({"method":"org.example.probe.Echo","parameters":{"a":")";
    largest += std::string(limits.maxMessageBytes - largest.size() - 3, 'x') + "\"}}";
    ASSERT_EQ(largest.size(), limits.maxMessageBytes);
    ASSERT_TRUE(bystander.send(withNul(largest)));
    EXPECT_TRUE(bystander.receive().has_value());
    // A connection that merely stays quiet between messages is left alone.
    std::this_thread::sleep_for(limits.messageTimeout * 2);
    EXPECT_TRUE(bystander.call("org.example.probe.Echo", nlohmann::json::object()).has_value());
}

TEST(VarlinkServiceTest, AMessageOrAReplyThatTricklesIsCutOffAtItsTimeLimit) {
    using Clock = std::chrono::steady_clock;
    using namespace std::chrono_literals;
    VarlinkService::Limits limits;
    limits.messageTimeout = 400ms;
    ServedSocket served(interfaceText, echoAccept(), limits);

    // A byte every 100 ms, each well within the limit of the one before.
    auto slow = served.connect();
    const std::string call = withNul(R"({"method":"org.example.probe.Echo","parameters":{}})");
    const auto began = Clock::now();
    std::size_t sent = 0;
    while (sent + 1 < call.size() && Clock::now() - began < 5s && slow.send(call.substr(sent, 1))) {
        ++sent;
        if (closedByPeer(slow.fd(), 100)) break;
    }
    const auto cutOff = Clock::now() - began;
    EXPECT_LT(sent + 1, call.size());
    EXPECT_GE(cutOff, 350ms);
    EXPECT_LT(cutOff, 1500ms);

    // A reply far larger than the socket's buffers, read a little at a time, then all at once.
    auto reader = served.connect();
    ASSERT_TRUE(reader.send(withNul(R"({"method":"org.example.probe.Large"})")));
    char buffer[65536];
    std::size_t received = 0;
    bool whole = false;
    for (const auto readingSlowly = Clock::now() + 1s; !whole;) {
        if (Clock::now() < readingSlowly) std::this_thread::sleep_for(50ms);
        const auto got = ::recv(reader.fd(), buffer, Clock::now() < readingSlowly ? 4096 : sizeof buffer, 0);
        if (got <= 0) break;
        received += static_cast<std::size_t>(got);
        whole = buffer[got - 1] == '\0';
    }
    EXPECT_FALSE(whole) << received << " bytes";
    EXPECT_GT(received, 0U);
    EXPECT_TRUE(served.connect().call("org.example.probe.Echo", nlohmann::json::object()).has_value());
}

TEST(VarlinkServiceTest, ArraysKeepTheirFirstElementsAndTheHandlerLearnsHowManyThereWere) {
    VarlinkService::Limits limits;
    limits.maxArrayElements = 3;
    ServedSocket served(interfaceText, echoAccept(), limits);
    auto client = served.connect();
    const auto cut = client.call("org.example.probe.Lengths", nlohmann::json::parse(
        R"({"a":[1,2,3,4,5],"b/c":{"d":[[1],[2],[3],[4,[5,6,7,8]]]},"e":["x","y",{"z":[1,2,3,4]}],"f":[[1,2,3,4]]})"));
    ASSERT_TRUE(cut.has_value());
    // A dropped element is read through and forgotten, arrays inside it included.
    EXPECT_EQ((*cut)["parameters"], nlohmann::json::parse(R"({"a":[1,2,3],"b/c":{"d":[[1],[2],[3]]},"e":["x","y",{"z":[1,2,3]}],"f":[[1,2,3]]})"));
    EXPECT_EQ((*cut)["lengths"], nlohmann::json::parse(R"({"/a":5,"/b~1c/d":4,"/e/2/z":4,"/f/0":4})"));

    // Two hundred thousand elements cost the three kept, and the connection goes on.
    std::string many = R"({"method":"org.example.probe.Lengths","parameters":{"many":[)";
    for (int i = 0; i < 200000; ++i) many += i == 0 ? "\"/p\"" : ",\"/p\"";
    ASSERT_TRUE(client.send(withNul(many + "]}}")));
    const auto reply = nlohmann::json::parse(client.receive().value_or("{}"));
    EXPECT_EQ(reply["parameters"], nlohmann::json::parse(R"({"parameters":{"many":["/p","/p","/p"]},"lengths":{"/many":200000}})"));
    EXPECT_TRUE(client.call("org.example.probe.Lengths", {{"a", {1, 2, 3}}}).value_or(nullptr)["lengths"].empty());
}

TEST(VarlinkServiceTest, BoundsEachTokenAndWhatAllConnectionsHoldTogether) {
    using namespace std::chrono_literals;
    VarlinkService::Limits limits;
    limits.maxTokenBytes = 100;
    limits.heldBytesPerConnection = 2048;
    limits.sharedHeldBytes = 16 * 1024;
    limits.messageTimeout = 1500ms;
    ServedSocket served(interfaceText, echoAccept(), limits);
    const auto echo = [](const std::string& value) { return R"({"method":"org.example.probe.Echo","parameters":{"v":)" + value + "}}"; };
    const auto strings = [](int count) {
        std::string list = "[";
        for (int i = 0; i < count; ++i) list += (i ? ",\"" : "\"") + std::string(90, 'a' + i % 26) + "\"";
        return list + "]";
    };
    const std::pair<std::string, bool> tokens[] = {
        {'"' + std::string(100, 'x') + '"', true}, {'"' + std::string(101, 'x') + '"', false},
        {'"' + std::string(98, 'x') + "\\\"\"", true},  // an escape counts as sent: 100 bytes
        {std::string(100, '7'), true}, {std::string(101, '7'), false}, {strings(200), false},  // 28 kB held: more than all may hold
    };
    for (const auto& [value, served_] : tokens) {
        auto client = served.connect();
        ASSERT_TRUE(client.send(withNul(echo(value))));
        EXPECT_EQ(!closedByPeer(client.fd(), 3000), served_) << value.substr(0, 20) << " of " << value.size();
    }

    // While one connection's half-sent message holds the shared bytes, another that needs some
    // waits for them, and is answered once the first is done.
    auto holder = served.connect();
    auto waiter = served.connect();
    const std::string held = withNul(echo(strings(60)));
    ASSERT_TRUE(holder.send(held.substr(0, held.size() / 2)));
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(waiter.send(withNul(echo(strings(30)))));
    pollfd entry{waiter.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&entry, 1, 300), 0);
    ASSERT_TRUE(holder.send(held.substr(held.size() / 2)));
    EXPECT_TRUE(holder.receive().has_value());
    const auto answered = nlohmann::json::parse(waiter.receive().value_or("{}"));
    EXPECT_EQ(answered["parameters"]["v"].size(), 30U);
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

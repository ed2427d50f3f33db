#include "Platform/VarlinkService.h"

#include "Support/ChildProcess.h"
#include "Support/Subprocess.h"
#include "Support/VarlinkFixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <optional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vornelo::platform {
namespace {

using test::closedByPeer;
using test::ServedSocket;

constexpr const char* interfaceText = "# A test interface.\ninterface org.example.probe\n\nmethod Who() -> (uid: int)\n";

// Answers Who with what the kernel said about the peer, and Echo with its parameters.
class PeerEcho : public VarlinkConnectionHandler {
public:
    explicit PeerEcho(const PeerProcess& peer) : peer_(peer) {}
    VarlinkReply call(std::string_view method, const nlohmann::json& parameters) override {
        if (method == "Echo") return parameters;
        if (method != "Who") return std::unexpected(VarlinkError::methodNotFound(method));
        return nlohmann::json{{"uid", peer_.uid()}, {"pid", peer_.pid()}, {"start", peer_.startTime()},
                              {"held", peer_.heldBySocket()}, {"alive", peer_.isAlive()}};
    }

private:
    const PeerProcess& peer_;
};

VarlinkService::Accept echoAccept() {
    return [](const PeerProcess& peer) { return std::make_unique<PeerEcho>(peer); };
}

std::string withNul(std::string text) {
    text.push_back('\0');
    return text;
}

TEST(VarlinkServiceTest, AnswersIntrospectionCallsErrorsAndOnewayInOrder) {
    ServedSocket served(interfaceText, echoAccept());
    auto client = served.connect();

    const auto info = client.call("org.varlink.service.GetInfo", nlohmann::json::object());
    ASSERT_TRUE(info.has_value()) << info.error().description;
    EXPECT_EQ((*info)["interfaces"], nlohmann::json({"org.varlink.service", "org.example.probe"}));
    EXPECT_EQ((*info)["version"], "7");
    const auto own = client.call("org.varlink.service.GetInterfaceDescription", {{"interface", "org.example.probe"}});
    ASSERT_TRUE(own.has_value());
    EXPECT_EQ((*own)["description"], interfaceText);
    const auto service = client.call("org.varlink.service.GetInterfaceDescription", {{"interface", "org.varlink.service"}});
    ASSERT_TRUE(service.has_value());
    EXPECT_NE((*service)["description"].get<std::string>().find("method GetInfo()"), std::string::npos);

    struct Case {
        const char* method;
        nlohmann::json parameters;
        const char* error;
        nlohmann::json errorParameters;
    };
    const Case cases[] = {
        {"org.varlink.service.GetInterfaceDescription", {{"interface", "org.example.other"}},
         "org.varlink.service.InterfaceNotFound", {{"interface", "org.example.other"}}},
        {"org.varlink.service.GetInterfaceDescription", {{"interface", 3}}, "org.varlink.service.InvalidParameter",
         {{"parameter", "interface"}}},
        {"org.example.other.Who", nlohmann::json::object(), "org.varlink.service.InterfaceNotFound",
         {{"interface", "org.example.other"}}},
        {"org.example.probe.Nope", nlohmann::json::object(), "org.varlink.service.MethodNotFound",
         {{"method", "org.example.probe.Nope"}}},
        {"NoInterface", nlohmann::json::object(), "org.varlink.service.InterfaceNotFound", {{"interface", "NoInterface"}}},
    };
    for (const auto& testCase : cases) {
        const auto reply = client.call(testCase.method, testCase.parameters);
        ASSERT_FALSE(reply.has_value()) << testCase.method;
        EXPECT_EQ(reply.error().error, testCase.error) << testCase.method;
        EXPECT_EQ(reply.error().parameters, testCase.errorParameters) << testCase.method;
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
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"not JSON", withNul("hello")},
        {"an array", withNul("[1,2]")},
        {"no method", withNul(R"({"parameters":{}})")},
        {"a method that is no string", withNul(R"({"method":7})")},
        {"parameters that are no object", withNul(R"({"method":"org.example.probe.Echo","parameters":[]})")},
        {"nesting too deep", withNul(R"({"method":"org.example.probe.Echo","parameters":{"a":)" + deep + "}}")},
        {"too long with its NUL", withNul(R"({"method":"org.example.probe.Echo","parameters":{"a":")" +
                                          std::string(2000, 'x') + "\"}}")},
        {"too long without a NUL", std::string(1500, ' ')},
        {"half-sent", R"({"method":"org.example.probe.Echo")"},
        {"invalid UTF-8", withNul("{\"method\":\"org.example.probe.Echo\",\"parameters\":{\"a\":\"\xff\"}}")},
    };
    for (const auto& testCase : cases) {
        auto client = served.connect();
        ASSERT_TRUE(client.send(testCase.bytes)) << testCase.what;
        EXPECT_TRUE(closedByPeer(client.fd())) << testCase.what;
        const auto still = bystander.call("org.example.probe.Echo", {{"after", testCase.what}});
        ASSERT_TRUE(still.has_value()) << testCase.what;
        EXPECT_EQ((*still)["after"], testCase.what);
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
    EXPECT_EQ((*who)["uid"], 0);
    EXPECT_EQ((*who)["pid"], ::getpid());
    EXPECT_EQ((*who)["start"], PeerProcess::readStartTime(::getpid()).value_or(0));
    EXPECT_TRUE((*who)["alive"].get<bool>());

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
    second.reset();
    for (int wait = 0; wait < 500 && served.service().openConnections() > 0; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto again = served.connect();
    auto andAgain = served.connect();
    EXPECT_TRUE(again.call("org.example.probe.Who", nlohmann::json::object()).has_value());
    EXPECT_TRUE(andAgain.call("org.example.probe.Who", nlohmann::json::object()).has_value());
}

TEST(VarlinkServiceTest, BindsItsPathOrRefusesWhatIsThere) {
    test::TempDirectory directory;
    const auto path = directory / "run" / "service.sock";
    {
        VarlinkService service(interfaceText, {}, echoAccept());
        ASSERT_TRUE(service.listen(path).has_value());
        EXPECT_FALSE(service.activated());
        struct stat info {};
        ASSERT_EQ(::lstat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0666U);
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

TEST(VarlinkServiceTest, TakesOnlyASocketPassedToThisVeryProcess) {
    const struct {
        const char* what;
        bool pidIsOurs;
        const char* count;
        int descriptor;  // 0: a listening UNIX socket, 1: a pipe, 2: a UNIX socket not listening
        bool taken;
        bool fails;
    } cases[] = {
        {"a listening socket for us", true, "1", 0, true, false},
        {"variables meant for another process", false, "1", 0, false, false},
        {"no socket passed", true, "0", 0, false, true},
        {"a pipe instead of a socket", true, "1", 1, false, true},
        {"a socket that does not listen", true, "1", 2, false, true},
    };
    for (const auto& testCase : cases) {
        const auto outcome = test::runInChild([&]() -> std::string {
            int fds[2];
            if (testCase.descriptor == 1 ? ::pipe(fds) != 0 : ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return "setup";
            if (testCase.descriptor == 0) {
                const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
                const sockaddr_un address{AF_UNIX, {}};  // autobind: an abstract name of the kernel's choice
                if (::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof(sa_family_t)) != 0 ||
                    ::listen(listening, 1) != 0) return "listen";
                fds[0] = listening;
            }
            ::dup2(fds[0], 3);
            ::setenv("LISTEN_PID", std::to_string(testCase.pidIsOurs ? ::getpid() : ::getpid() + 1).c_str(), 1);
            ::setenv("LISTEN_FDS", testCase.count, 1);
            const auto socket = VarlinkService::activationSocket();
            if (std::getenv("LISTEN_FDS") != nullptr) return "LISTEN_FDS left for children";
            if (socket.has_value() == testCase.fails) return "failure not as expected";
            if (socket && socket->valid() != testCase.taken) return "taken not as expected";
            if (socket && socket->valid()) (void)socket->get();
            return {};
        });
        EXPECT_TRUE(outcome.succeeded) << testCase.what << ": " << outcome.message;
    }
}

}  // namespace
}  // namespace vornelo::platform

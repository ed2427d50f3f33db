#include "Helper/HelperInterface.h"

#include "Support/Subprocess.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

namespace vornelo::helper {
namespace {

// The daemon itself, run as root with its real client, is tried in HelperRemovalTests.
TEST(HelperDaemonTest, TheProtocolDescriptionQuotesTheServedInterfaceWordForWord) {
    const auto doc = test::readFile(VORNELO_SOURCE_DIR "/docs/helper-protocol.md");
    const auto start = doc.find("```varlink\n");
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(doc.substr(start + 11, doc.find("```", start + 11) - start - 11), HelperInterface::text);
}

TEST(HelperDaemonTest, TheUnitsPassSystemdVerifyAndNameTheHelpersPaths) {
    const std::filesystem::path units = VORNELO_SOURCE_DIR "/packaging/systemd";
    const auto service = test::readFile(units / "vornelo-helper.service");
    const auto socket = test::readFile(units / "vornelo-helper.socket");
    EXPECT_NE(service.find("\nExecStart=/usr/libexec/vornelo/VorneloHelper\n"), std::string::npos);
    EXPECT_NE(socket.find("\nListenStream=" + std::string(HelperInterface::socketPath) + "\n"), std::string::npos);
    EXPECT_NE(socket.find("\nSocketMode=0666\n"), std::string::npos);

    // verify insists that the program exists, so the copy starts the one just built.
    test::TempDirectory directory;
    std::ofstream(directory / "vornelo-helper.service")
        << std::regex_replace(service, std::regex("/usr/libexec/vornelo/VorneloHelper"), VORNELO_HELPER_PATH);
    std::ofstream(directory / "vornelo-helper.socket") << socket;
    const auto result = test::runProgram("/usr/bin/systemd-analyze",
                                         {"verify", (directory / "vornelo-helper.socket").native(),
                                          (directory / "vornelo-helper.service").native()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace vornelo::helper

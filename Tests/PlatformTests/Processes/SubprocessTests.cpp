#include "Platform/Processes/Subprocess.h"

#include "Support/ChildProcess.h"
#include "Support/PlatformScenario.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <tuple>

namespace vornelo::platform {
namespace {

using Stream = Subprocess::Stream;

void runToEnd(Subprocess& child) {
    while (!child.hasExited() || child.isOpen(Stream::output) || child.isOpen(Stream::error)) {
        child.waitForActivity(Subprocess::Clock::now() + std::chrono::seconds(30));
    }
}

TEST(SubprocessTest, SignalsStopReachingTheChildOnceItIsGoneAndDestroyingARunningOneReapsIt) {
    auto child = Subprocess::spawn("/bin/true", {});
    ASSERT_TRUE(child.has_value());
    runToEnd(*child);
    // The pidfd refers to the reaped child only, whatever process holds its ID now.
    EXPECT_EQ(std::tuple(child->terminationStatus(), child->terminatedBySignal(), child->sendSignal(SIGTERM), child->isRunning()),
              std::tuple(0, false, false, false));

    // Destroying a running child kills and reaps it.
    pid_t pid = -1;
    {
        auto running = Subprocess::spawn("/bin/sleep", {"30"});
        ASSERT_TRUE(running.has_value());
        pid = running->processIdentifier();
        EXPECT_TRUE(running->isRunning());
    }
    // Neither running nor a zombie: the ID is free.
    errno = 0;
    EXPECT_TRUE(::kill(pid, 0) == -1 && errno == ESRCH);
}

TEST(SubprocessTest, TheChildStartsWithNoBlockedOrIgnoredSignals) {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigset_t previousMask;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previousAction {};
    ::sigaction(SIGINT, &ignore, &previousAction);

    // Both start while SIGTERM is blocked and SIGINT ignored here.
    auto child = Subprocess::spawn("/bin/sleep", {"30"});
    auto second = Subprocess::spawn("/bin/sleep", {"30"});
    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ::sigaction(SIGINT, &previousAction, nullptr);
    ASSERT_TRUE(child.has_value() && second.has_value());
    ASSERT_TRUE(child->sendSignal(SIGINT) && second->terminate());
    runToEnd(*child);
    runToEnd(*second);
    EXPECT_EQ(std::tuple(child->terminatedBySignal(), child->terminationStatus(), second->terminatedBySignal(), second->terminationStatus()),
              std::tuple(true, SIGINT, true, SIGTERM));
}

TEST(SubprocessTest, DescriptorsOpenedWithoutCloseOnExecAreNotInherited) {
    int leaky[2];
    ASSERT_EQ(::pipe(leaky), 0);  // deliberately without O_CLOEXEC, as careless library code would
    auto child = Subprocess::spawn("/bin/sleep", {"30"});
    ::close(leaky[1]);
    ASSERT_TRUE(child.has_value());
    ASSERT_EQ(::fcntl(leaky[0], F_SETFL, O_NONBLOCK), 0);
    char byte = 0;
    // End of file at once: the sleeping child holds no copy of the write end.
    EXPECT_EQ(::read(leaky[0], &byte, 1), 0);
    ::close(leaky[0]);
}

TEST(SubprocessTest, WorksForAProcessWhoseStandardStreamsAreClosed) {
    const auto outcome = test::runInChild([]() -> std::string {
        ::close(STDIN_FILENO);
        ::close(STDOUT_FILENO);
        ::close(STDERR_FILENO);
        auto child = Subprocess::spawn("/bin/sh", {"-c", "read line; echo \"in=[$line]\"; echo problem >&2"});
        if (!child) return "spawn failed: " + child.error().description;
        runToEnd(*child);
        if (child->received(Stream::output) != "in=[]\n") return "stdout was " + child->received(Stream::output);
        if (child->received(Stream::error) != "problem\n") return "stderr was " + child->received(Stream::error);
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

TEST(SubprocessTest, SearchPathFindsOnlyExecutableFiles) {
    test::TempDirectory directory;
    test::writeFile(directory / "tool", "#!/bin/sh\n");
    test::writeFile(directory / "plain", "text");
    ::chmod((directory / "tool").c_str(), 0755);
    std::filesystem::create_directories(directory / "folder");
    const test::ScopedVariable path("PATH", "/nonexistent:" + directory.path().string());
    const std::vector found{Subprocess::searchPath("tool"), Subprocess::searchPath("plain"), Subprocess::searchPath("folder"),
                            Subprocess::searchPath("./relative/tool"), Subprocess::searchPath("")};
    EXPECT_EQ(found, (decltype(found){(directory / "tool").string(), std::nullopt, std::nullopt, "./relative/tool", std::nullopt}));
}

}  // namespace
}  // namespace vornelo::platform

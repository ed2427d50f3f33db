#include "Support/ChildProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vornelo::test {

ChildOutcome runInChild(const std::function<std::string()>& body) {
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) return {false, "pipe failed"};
    const pid_t pid = ::fork();
    if (pid < 0) return {false, "fork failed"};
    if (pid == 0) {
        ::close(channel[0]);
        std::string complaint;
        try {
            complaint = body();
        } catch (const std::exception& error) {
            complaint = std::string("exception: ") + error.what();
        }
        for (std::size_t done = 0; done < complaint.size();) {
            const auto put = ::write(channel[1], complaint.data() + done, complaint.size() - done);
            if (put <= 0) break;
            done += static_cast<std::size_t>(put);
        }
        ::_exit(complaint.empty() ? 0 : 1);
    }
    ::close(channel[1]);
    std::string message;
    char buffer[4096];
    for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR);) {
        if (got > 0) message.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(channel[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) return {false, "child killed by signal " + std::to_string(WTERMSIG(status))};
    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!ok && message.empty()) message = "child exited with status " + std::to_string(WEXITSTATUS(status));
    return {ok, message};
}

ChildOutcome runAsUser(uid_t user, gid_t group, const std::function<std::string()>& body) {
    return runInChild([&]() -> std::string {
        if (::setgroups(0, nullptr) != 0 || ::setgid(group) != 0 || ::setuid(user) != 0) {
            return std::string("could not drop privileges: ") + std::strerror(errno);
        }
        return body();
    });
}

ChildOutcome runInPrivateMountNamespace(const std::function<std::string()>& body) {
    return runInChild([&]() -> std::string {
        if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare failed: ") + std::strerror(errno);
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("making mounts private failed: ") + std::strerror(errno);
        }
        return body();
    });
}

std::string bindMount(const std::string& source, const std::string& target) {
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return "bind mount of " + source + " over " + target + " failed: " + std::strerror(errno);
    }
    return {};
}

std::string rootSkipReason() {
    return ::geteuid() == 0 ? "" : "needs root (runs in a private mount namespace or as another user); CI runs as root";
}

Account unprivilegedAccount() {
    if (const auto* entry = ::getpwnam("nobody")) return {entry->pw_uid, entry->pw_gid};
    return {65534, 65534};
}

}  // namespace vornelo::test

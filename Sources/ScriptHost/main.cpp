// vornelo-script-host -e 'do shell script "…" with administrator privileges'
//
// Runs the command as root through pkexec and /bin/sh, passing its output through. This is a
// privileged entry point, so it accepts exactly one form and nothing else: no options, no other
// statements, no escapes beyond \\ and \". See docs/script-host.md.
//
// Exit status: the command's (128 + n when signal n ended it); 1 with "User canceled. (-128)" on
// standard error when authentication was dismissed or refused; 2 for a refused invocation.

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Processes/ScriptHost.h"
#include "Platform/Processes/Subprocess.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <string_view>

namespace {

using vornelo::platform::ScriptHost;
using vornelo::platform::Subprocess;
using Stream = Subprocess::Stream;

constexpr const char* pkexecPath = "/usr/bin/pkexec";
constexpr const char* shellPath = "/bin/sh";
// Written by the root shell before the command runs: proof that authentication succeeded, so
// pkexec's own refusal codes (126, 127) are never confused with the command's.
constexpr std::string_view authorizedMarker = "vornelo-script-host: authorized\n";
constexpr const char* wrapper = "printf '%s\\n' 'vornelo-script-host: authorized' && exec /bin/sh -c \"$1\"";
// After pkexec exits, how long a background process of the command may keep our pipes open.
constexpr auto pipeEndWait = std::chrono::seconds(1);

constexpr int exitRefused = 2;
constexpr int exitFailed = 1;
constexpr int pkexecDismissed = 126;
constexpr int pkexecNotAuthorized = 127;

std::atomic<int> childPidfd{-1};

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const auto put = vornelo::platform::retryOnInterrupt([&] { return ::write(fd, bytes.data(), bytes.size()); });
        if (put <= 0) return;  // the reader is gone; nothing useful is left to do
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
}

void complain(std::string_view sentence) {
    writeAll(STDERR_FILENO, std::string(ScriptHost::executableName) + ": " + std::string(sentence) + "\n");
}

// Passes a termination request on to pkexec; when that is no longer possible (it already became
// root), ends the host as the signal would have.
void forwardSignal(int signal) {
    const int saved = errno;
    const int pidfd = childPidfd.load();
    const bool forwarded = pidfd >= 0 && Subprocess::sendSignalFromHandler(pidfd, signal);
    errno = saved;
    if (forwarded) return;
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void installForwarding() {
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

class Relay {
public:
    // Passes standard error straight on; holds back the start of standard output until the
    // marker is either seen (and dropped) or ruled out.
    void pass(Subprocess& child, bool final) {
        writeAll(STDERR_FILENO, child.take(Stream::error));
        auto bytes = child.take(Stream::output);
        if (decided_) {
            writeAll(STDOUT_FILENO, bytes);
            return;
        }
        head_ += bytes;
        if (head_.size() < authorizedMarker.size() && !final && child.isOpen(Stream::output)) return;
        decided_ = true;
        authorized_ = head_.starts_with(authorizedMarker);
        writeAll(STDOUT_FILENO, std::string_view(head_).substr(authorized_ ? authorizedMarker.size() : 0));
        head_.clear();
    }

    bool authorized() const { return authorized_; }

private:
    std::string head_;
    bool decided_ = false;
    bool authorized_ = false;
};

int exitStatus(const Subprocess& child, bool authorized) {
    const int status = child.terminationStatus();
    if (child.terminatedBySignal()) return 128 + status;
    if (!authorized && (status == pkexecDismissed || status == pkexecNotAuthorized)) {
        complain(ScriptHost::cancelledMessage);
        return exitFailed;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::string_view(argv[1]) != "-e") {
        complain("Usage: vornelo-script-host -e 'do shell script \"COMMAND\" with administrator privileges'.");
        return exitRefused;
    }
    const auto command = ScriptHost::commandFromScript(argv[2]);
    if (!command) {
        complain(command.error());
        return exitRefused;
    }

    auto child = Subprocess::spawn(pkexecPath, {shellPath, "-c", wrapper, std::string(ScriptHost::executableName), *command});
    if (!child) {
        complain("Couldn't start " + std::string(pkexecPath) + ": " + child.error().description);
        return exitFailed;
    }
    childPidfd.store(child->pidfd());
    installForwarding();

    Relay relay;
    while (!child->hasExited()) {
        child->waitForActivity(std::nullopt);
        relay.pass(*child, false);
    }
    childPidfd.store(-1);
    const auto endAt = Subprocess::Clock::now() + pipeEndWait;
    while ((child->isOpen(Stream::output) || child->isOpen(Stream::error)) && Subprocess::Clock::now() < endAt) {
        child->waitForActivity(endAt);
        relay.pass(*child, false);
    }
    relay.pass(*child, true);
    return exitStatus(*child, relay.authorized());
}

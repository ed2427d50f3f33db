#include "Platform/Identity/ExecWatch.h"

#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace vornelo::platform {

namespace {

// Room for the events of a busy machine between two messages; an overflow costs full checks.
constexpr int receiveBufferBytes = 4 * 1024 * 1024;
constexpr std::chrono::milliseconds acknowledgementWait{500};
// The netlink macros cast in the old style; these are their sums.
constexpr std::size_t headerBytes = NLMSG_ALIGN(sizeof(nlmsghdr));
constexpr std::size_t listenBytes = headerBytes + sizeof(cn_msg) + sizeof(std::uint32_t);

struct ProcessIds {
    __kernel_pid_t pid;
    __kernel_pid_t tgid;
};
// Exec, exit and ptrace events all begin with the process's pid and thread group id.
constexpr std::size_t eventIdsEnd = offsetof(proc_event, event_data) + sizeof(ProcessIds);

// The kernel's own numbers for its initial PID and user namespaces.
constexpr ino_t initialPidNamespace = 0xEFFFFFFCU;
constexpr ino_t initialUserNamespace = 0xEFFFFFFDU;

bool inInitialNamespaces() {
    struct stat pid {}, user {};
    return ::stat("/proc/self/ns/pid", &pid) == 0 && ::stat("/proc/self/ns/user", &user) == 0 &&
           pid.st_ino == initialPidNamespace && user.st_ino == initialUserNamespace;
}

bool sendListen(int fd, std::uint32_t nonce) {
    alignas(nlmsghdr) std::array<char, NLMSG_ALIGN(listenBytes)> buffer{};
    auto* header = reinterpret_cast<nlmsghdr*>(buffer.data());
    header->nlmsg_len = listenBytes;
    header->nlmsg_type = NLMSG_DONE;
    auto* message = reinterpret_cast<cn_msg*>(buffer.data() + headerBytes);
    message->id = {CN_IDX_PROC, CN_VAL_PROC};
    message->seq = 0;
    message->ack = nonce;
    message->len = sizeof(std::uint32_t);
    const std::uint32_t operation = PROC_CN_MCAST_LISTEN;
    std::memcpy(message->data, &operation, sizeof operation);
    return retryOnInterrupt([&] { return ::send(fd, buffer.data(), header->nlmsg_len, 0); }) == header->nlmsg_len;
}

// One datagram from the kernel; its messages are handed to `each`. False when nothing is queued.
template <typename Each>
bool receive(int fd, bool& lost, Each&& each) {
    alignas(nlmsghdr) std::array<char, 8192> buffer;
    sockaddr_nl source{};
    socklen_t sourceLength = sizeof source;
    const auto got = retryOnInterrupt([&] {
        return ::recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&source), &sourceLength);
    });
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
        lost = true;
        return errno == ENOBUFS;  // the queue overflowed: events were dropped, go on reading
    }
    if (source.nl_pid != 0) return true;  // only the kernel speaks for processes
    if (static_cast<std::size_t>(got) > buffer.size()) lost = true;
    const auto length = std::min(static_cast<std::size_t>(got), buffer.size());
    for (std::size_t at = 0; at + headerBytes <= length;) {
        const auto* header = reinterpret_cast<const nlmsghdr*>(buffer.data() + at);
        if (header->nlmsg_len < headerBytes || header->nlmsg_len > length - at) {
            lost = true;
            break;
        }
        at += NLMSG_ALIGN(header->nlmsg_len);
        const auto payload = header->nlmsg_len - headerBytes;
        if (header->nlmsg_type == NLMSG_ERROR || header->nlmsg_type == NLMSG_OVERRUN || payload < sizeof(cn_msg)) {
            lost = true;
            continue;
        }
        const auto* message = reinterpret_cast<const cn_msg*>(reinterpret_cast<const char*>(header) + headerBytes);
        if (message->id.idx != CN_IDX_PROC || message->id.val != CN_VAL_PROC) continue;
        if (message->len > payload - sizeof(cn_msg) || message->len < offsetof(proc_event, event_data)) {
            lost = true;
            continue;
        }
        each(*message);
    }
    return true;
}

std::uint32_t eventKind(const cn_msg& message) {
    std::uint32_t what = 0;
    std::memcpy(&what, message.data + offsetof(proc_event, what), sizeof what);
    return what;
}

}  // namespace

ExecWatch& ExecWatch::shared() {
    static ExecWatch instance;
    return instance;
}

ExecWatch::ExecWatch() {
    FileDescriptor fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_CONNECTOR));
    if (!fd) return;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &receiveBufferBytes, sizeof receiveBufferBytes) != 0) {
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = CN_IDX_PROC;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    // The kernel ignores, without an answer, a listener outside the initial namespaces (whose PIDs
    // would not be ours), and answers ours with our nonce plus one; every listener hears every
    // answer, so only that one counts.
    std::uint32_t nonce = 0;
    if (!inInitialNamespaces() || ::getrandom(&nonce, sizeof nonce, 0) != sizeof nonce || !sendListen(fd.get(), nonce)) return;
    const auto deadline = std::chrono::steady_clock::now() + acknowledgementWait;
    for (pollfd ready{fd.get(), POLLIN, 0}; std::chrono::steady_clock::now() < deadline && ::poll(&ready, 1, 50) >= 0;) {
        bool acknowledged = false;
        bool lost = false;
        while (receive(fd.get(), lost, [&](const cn_msg& message) {
            if (eventKind(message) != proc_event::PROC_EVENT_NONE || message.ack != nonce + 1 || message.len < eventIdsEnd) return;
            std::uint32_t error = 1;
            std::memcpy(&error, message.data + offsetof(proc_event, event_data), sizeof error);
            acknowledged = error == 0;
        })) {
        }
        if (acknowledged) {
            socket_ = std::move(fd);
            return;
        }
    }
}

std::unique_ptr<ExecWatch::Subscription> ExecWatch::subscribe(pid_t pid) {
    if (!isWatching()) return nullptr;
    std::unique_ptr<Subscription> subscription(new Subscription(*this, pid));
    std::lock_guard lock(mutex_);
    subscribers_.emplace(pid, subscription.get());
    return subscription;
}

ExecWatch::Subscription::~Subscription() {
    std::lock_guard lock(watch_.mutex_);
    const auto [first, last] = watch_.subscribers_.equal_range(pid_);
    for (auto it = first; it != last; ++it) {
        if (it->second == this) {
            watch_.subscribers_.erase(it);
            return;
        }
    }
}

bool ExecWatch::Subscription::mayHaveChanged() {
    std::lock_guard lock(watch_.mutex_);
    watch_.drainLocked();
    return std::exchange(changed_, false);
}

// The lock stays held while reading: an event another thread has taken from the queue must be
// marked before this thread may conclude that its process has none.
void ExecWatch::drainLocked() {
    bool lost = false;
    while (receive(socket_.get(), lost, [&](const cn_msg& message) {
        const auto what = eventKind(message);
        if (what != proc_event::PROC_EVENT_EXEC && what != proc_event::PROC_EVENT_EXIT && what != proc_event::PROC_EVENT_PTRACE) return;
        if (message.len < eventIdsEnd) {
            lost = true;
            return;
        }
        ProcessIds ids{};
        std::memcpy(&ids, message.data + offsetof(proc_event, event_data), sizeof ids);
        markLocked(ids.tgid);
    })) {
    }
    if (lost) markEveryoneLocked();
}

void ExecWatch::markLocked(pid_t pid) {
    const auto [first, last] = subscribers_.equal_range(pid);
    for (auto it = first; it != last; ++it) it->second->changed_ = true;
}

void ExecWatch::markEveryoneLocked() {
    for (auto& [pid, subscription] : subscribers_) subscription->changed_ = true;
}

}  // namespace vornelo::platform

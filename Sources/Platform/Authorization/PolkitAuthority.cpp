#include "Platform/Authorization/PolkitAuthority.h"

#include <sys/random.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace vornelo::platform {

namespace {

constexpr const char* destination = "org.freedesktop.PolicyKit1";
constexpr const char* objectPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* interface = "org.freedesktop.PolicyKit1.Authority";
constexpr std::uint32_t allowUserInteraction = 1;

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageReleaser {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;
using Message = std::unique_ptr<sd_bus_message, MessageReleaser>;

// Frees an sd_bus_error on every way out.
struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error); }
    bool is(const char* name) const { return sd_bus_error_has_name(&error, name) != 0; }
};

Bus openSystemBus() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return nullptr;
    return Bus(bus);
}

// polkit requires cancellation ids to be unique per caller; a random one needs no bookkeeping.
std::string newCancellationId() {
    std::uint64_t value = 0;
    if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) value = 0;
    return "vornelo-" + std::to_string(::getpid()) + "-" + std::to_string(value);
}

std::uint64_t toMicroseconds(std::chrono::milliseconds duration) {
    return static_cast<std::uint64_t>(std::max<std::int64_t>(1, duration.count())) * 1000U;
}

void cancelCheck(sd_bus* bus, const std::string& cancellationId) {
    BusError error;
    sd_bus_message* reply = nullptr;
    sd_bus_call_method(bus, destination, objectPath, interface, "CancelCheckAuthorization", &error.error, &reply, "s",
                       cancellationId.c_str());
    sd_bus_message_unref(reply);
}

PolkitAuthority::Verdict verdictOfError(const BusError& error) {
    if (error.is("org.freedesktop.PolicyKit1.Error.Cancelled")) return PolkitAuthority::Verdict::cancelled;
    if (error.is("org.freedesktop.PolicyKit1.Error.Failed") || error.is("org.freedesktop.PolicyKit1.Error.NotAuthorized")) {
        return PolkitAuthority::Verdict::refused;
    }
    return PolkitAuthority::Verdict::unavailable;
}

// Reads the (bba{ss}) result; only the "polkit.dismissed" detail matters here.
PolkitAuthority::Verdict verdictOfResult(sd_bus_message* reply) {
    int authorized = 0;
    int challenge = 0;
    bool dismissed = false;
    if (sd_bus_message_enter_container(reply, 'r', "bba{ss}") < 0) return PolkitAuthority::Verdict::unavailable;
    if (sd_bus_message_read(reply, "bb", &authorized, &challenge) < 0) return PolkitAuthority::Verdict::unavailable;
    if (sd_bus_message_enter_container(reply, 'a', "{ss}") < 0) return PolkitAuthority::Verdict::unavailable;
    const char* key = nullptr;
    const char* value = nullptr;
    int read = 0;
    while ((read = sd_bus_message_read(reply, "{ss}", &key, &value)) > 0) {
        if (std::strcmp(key, "polkit.dismissed") == 0 && std::strcmp(value, "true") == 0) dismissed = true;
    }
    if (read < 0) return PolkitAuthority::Verdict::unavailable;
    if (authorized) return PolkitAuthority::Verdict::authorized;
    if (dismissed) return PolkitAuthority::Verdict::dismissed;
    return challenge ? PolkitAuthority::Verdict::challenge : PolkitAuthority::Verdict::notAuthorized;
}

std::string escapedXml(std::string_view text) {
    std::string result;
    for (const char c : text) {
        switch (c) {
            case '&': result += "&amp;"; break;
            case '<': result += "&lt;"; break;
            case '>': result += "&gt;"; break;
            case '"': result += "&quot;"; break;
            default: result += c;
        }
    }
    return result;
}

}  // namespace

PolkitAuthority::Verdict PolkitAuthority::checkAuthorization(const Check& check) {
    auto bus = openSystemBus();
    if (!bus) return Verdict::unavailable;
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus.get(), &raw, destination, objectPath, interface, "CheckAuthorization") < 0) {
        return Verdict::unavailable;
    }
    Message call(raw);
    const auto cancellationId = newCancellationId();
    const int appended = sd_bus_message_append(
        call.get(), "(sa{sv})sa{ss}us", "unix-process", 3, "pid", "u", static_cast<std::uint32_t>(check.subject.pid),
        "start-time", "t", check.subject.startTime, "uid", "i", static_cast<std::int32_t>(check.subject.uid),
        check.actionId.c_str(), 0, check.allowInteraction ? allowUserInteraction : 0U, cancellationId.c_str());
    if (appended < 0) return Verdict::unavailable;
    BusError error;
    sd_bus_message* reply = nullptr;
    const int called = sd_bus_call(bus.get(), call.get(), toMicroseconds(check.timeout), &error.error, &reply);
    const Message replyOwner(reply);
    if (called == -ETIMEDOUT) {
        // Take the dialog away too: the caller has stopped waiting for it.
        cancelCheck(bus.get(), cancellationId);
        return Verdict::cancelled;
    }
    if (called < 0) return verdictOfError(error);
    return verdictOfResult(reply);
}

std::optional<bool> PolkitAuthority::knowsAction(std::string_view actionId) {
    auto bus = openSystemBus();
    if (!bus) return std::nullopt;
    BusError error;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus.get(), destination, objectPath, interface, "EnumerateActions", &error.error, &reply, "s",
                           "") < 0) {
        return std::nullopt;
    }
    const Message replyOwner(reply);
    if (sd_bus_message_enter_container(reply, 'a', "(ssssssuuua{ss})") < 0) return std::nullopt;
    int entered = 0;
    while ((entered = sd_bus_message_enter_container(reply, 'r', "ssssssuuua{ss}")) > 0) {
        const char* id = nullptr;
        if (sd_bus_message_read(reply, "s", &id) < 0) return std::nullopt;
        if (id == actionId) return true;
        if (sd_bus_message_skip(reply, "sssssuuua{ss}") < 0 || sd_bus_message_exit_container(reply) < 0) {
            return std::nullopt;
        }
    }
    if (entered < 0) return std::nullopt;
    return false;
}

std::string PolkitAuthority::actionFile(std::string_view actionId, std::string_view implicitResult,
                                        std::string_view message) {
    const auto text = escapedXml(message);
    const auto result = escapedXml(implicitResult);
    std::string file =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE policyconfig PUBLIC \"-//freedesktop//DTD PolicyKit Policy Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/PolicyKit/1/policyconfig.dtd\">\n"
        "<policyconfig>\n"
        "  <vendor>Vornelo</vendor>\n";
    file += "  <action id=\"" + escapedXml(actionId) + "\">\n";
    file += "    <description>" + text + "</description>\n";
    file += "    <message>" + text + "</message>\n";
    file += "    <defaults>\n";
    for (const char* kind : {"allow_any", "allow_inactive", "allow_active"}) {
        file += std::string("      <") + kind + ">" + result + "</" + kind + ">\n";
    }
    file += "    </defaults>\n  </action>\n</policyconfig>\n";
    return file;
}

}  // namespace vornelo::platform

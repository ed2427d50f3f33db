#include "Platform/Authorization/Authorization.h"

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Authorization/PolkitAuthority.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <thread>
#include <utility>

namespace vornelo::platform {

namespace {

constexpr std::size_t maximumRightNameLength = 200;

// polkit's implicit authorization for each rule name a right may be defined with.
constexpr std::array<std::pair<std::string_view, std::string_view>, 4> implicitAuthorizations{{
    {"authenticate-admin", "auth_admin"},
    {"authenticate-admin-nonshared", "auth_admin"},
    {"authenticate-session-owner", "auth_self"},
    {"allow", "yes"},
}};

std::optional<std::string_view> implicitAuthorization(std::string_view rule) {
    for (const auto& [name, result] : implicitAuthorizations) {
        if (name == rule) return result;
    }
    return std::nullopt;
}

OSStatus statusOf(PolkitAuthority::Verdict verdict, AuthorizationFlags flags) {
    using Verdict = PolkitAuthority::Verdict;
    switch (verdict) {
        case Verdict::authorized: return errAuthorizationSuccess;
        case Verdict::challenge:
            // Without ExtendRights the caller only asked whether the right is already held.
            return (flags & kAuthorizationFlagExtendRights) ? errAuthorizationInteractionNotAllowed
                                                             : errAuthorizationDenied;
        case Verdict::notAuthorized:
        case Verdict::refused: return errAuthorizationDenied;
        case Verdict::dismissed:
        case Verdict::cancelled: return errAuthorizationCanceled;
        case Verdict::unavailable: return errAuthorizationInternal;
    }
    return errAuthorizationInternal;
}

OSStatus statusOfWriteError(int error) {
    return (error == EACCES || error == EPERM || error == EROFS) ? errAuthorizationDenied : errAuthorizationInternal;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const auto put = retryOnInterrupt([&] { return ::write(fd, bytes.data(), bytes.size()); });
        if (put <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

// Writes `name` in `folder` as a whole, world-readable whatever the umask: polkitd may read it as
// its own unprivileged user. The temporary name does not end in ".policy", so polkitd never loads
// a half-written file. Returns 0 or the errno of the failure.
int replaceFile(const std::filesystem::path& folder, const std::string& name, std::string_view contents) {
    FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) return errno;
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return EIO;
    const auto temporary = "." + name + "." + std::to_string(random) + ".tmp";
    FileDescriptor file(::openat(directory.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!file) return errno;
    int error = 0;
    if (::fchmod(file.get(), 0644) != 0 || !writeAll(file.get(), contents)) error = errno ? errno : EIO;
    file.reset();
    if (error == 0 && ::renameat(directory.get(), temporary.c_str(), directory.get(), name.c_str()) != 0) error = errno;
    if (error != 0) ::unlinkat(directory.get(), temporary.c_str(), 0);
    return error;
}

}  // namespace

std::optional<AuthorizationSubject> AuthorizationRef::subject() const {
    if (!contents_) return std::nullopt;
    return contents_->subject;
}

bool Authorization::isValidRightName(std::string_view name) {
    if (name.empty() || name.size() > maximumRightNameLength) return false;
    const auto alphanumeric = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    if (!alphanumeric(name.front())) return false;
    return std::ranges::all_of(name, [&](char c) { return alphanumeric(c) || c == '.' || c == '-' || c == '_'; });
}

std::expected<AuthorizationRef, OSStatus> Authorization::create() const {
    const auto self = AuthorizationSubject::currentProcess();
    if (!self) return std::unexpected(errAuthorizationInternal);
    ExternalFormContents contents{*self, 0};
    if (::getrandom(&contents.nonce, sizeof contents.nonce, 0) != static_cast<ssize_t>(sizeof contents.nonce)) {
        return std::unexpected(errAuthorizationInternal);
    }
    return AuthorizationRef(contents);
}

std::expected<AuthorizationRef, OSStatus> Authorization::createFromExternalForm(std::span<const std::uint8_t> form,
                                                                                const AuthorizationSubject& peer) const {
    const auto contents = ExternalFormContents::decode(form);
    if (!contents || contents->subject != peer) return std::unexpected(errAuthorizationInvalidRef);
    return AuthorizationRef(*contents);
}

std::expected<AuthorizationExternalForm, OSStatus> Authorization::makeExternalForm(const AuthorizationRef& ref) const {
    if (!ref.contents_) return std::unexpected(errAuthorizationInvalidRef);
    return ref.contents_->encode();
}

std::expected<AuthorizationExternalForm, OSStatus> Authorization::externalFormOfThisProcess() const {
    const auto ref = create();
    if (!ref) return std::unexpected(ref.error());
    return makeExternalForm(*ref);
}

OSStatus Authorization::copyRights(const AuthorizationRef& ref, const AuthorizationRights& rights,
                                   AuthorizationFlags flags) const {
    if (!ref.contents_) return errAuthorizationInvalidRef;
    if ((flags & ~(kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights)) != 0) {
        return errAuthorizationInvalidFlags;
    }
    const bool wellFormed = std::ranges::all_of(
        rights, [](const AuthorizationItem& item) { return isValidRightName(item.name) && item.value.empty(); });
    if (!wellFormed) return errAuthorizationInvalidSet;
    const bool interactive =
        (flags & kAuthorizationFlagInteractionAllowed) != 0 && (flags & kAuthorizationFlagExtendRights) != 0;
    for (const auto& item : rights) {
        const auto verdict = PolkitAuthority::checkAuthorization(
            {ref.contents_->subject, item.name, interactive, options_.promptTimeout});
        if (const auto status = statusOf(verdict, flags); status != errAuthorizationSuccess) return status;
    }
    return errAuthorizationSuccess;
}

OSStatus Authorization::rightGet(std::string_view rightName) const {
    const auto known = PolkitAuthority::knowsAction(rightName);
    if (!known) return errAuthorizationInternal;
    return *known ? errAuthorizationSuccess : errAuthorizationDenied;
}

OSStatus Authorization::rightSet(const AuthorizationRef& ref, std::string_view rightName,
                                 std::string_view rightDefinition, std::string_view descriptionKey) const {
    if (!ref.contents_) return errAuthorizationInvalidRef;
    const auto implicit = implicitAuthorization(rightDefinition);
    if (!isValidRightName(rightName) || !implicit) return errAuthorizationInvalidSet;
    const auto file = PolkitAuthority::actionFile(rightName, *implicit, descriptionKey);
    if (const int error = replaceFile(options_.actionsFolder, std::string(rightName) + ".policy", file); error != 0) {
        return statusOfWriteError(error);
    }
    // polkitd notices new files on its own, a moment later; wait for that so that a rightGet right
    // after this call already finds the right. No polkit to ask means nothing to wait for.
    const auto deadline = std::chrono::steady_clock::now() + options_.definitionWait;
    while (PolkitAuthority::knowsAction(rightName) == false && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return errAuthorizationSuccess;
}

OSStatus Authorization::free(AuthorizationRef& ref, AuthorizationFlags flags) const {
    if (!ref.contents_) return errAuthorizationInvalidRef;
    if ((flags & ~kAuthorizationFlagDestroyRights) != 0) return errAuthorizationInvalidFlags;
    ref.contents_.reset();
    return errAuthorizationSuccess;
}

}  // namespace vornelo::platform

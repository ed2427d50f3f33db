#pragma once
// Errors of file operations, in the platform file framework's terms: a domain, a code, the POSIX
// error underneath, and a sentence for the user. errno becomes a FileError only in fromErrno.

#include <optional>
#include <string>
#include <string_view>

namespace vornelo::platform {

// Which side of the file framework's code table an error belongs to.
enum class FileOperation { read, write };

struct FileError {
    static constexpr std::string_view cocoaDomain = "NSCocoaErrorDomain";
    static constexpr std::string_view posixDomain = "NSPOSIXErrorDomain";

    // Cocoa file codes that callers classify.
    static constexpr int noSuchFile = 4;
    static constexpr int readUnknown = 256;
    static constexpr int readNoPermission = 257;
    static constexpr int readNoSuchFile = 260;
    static constexpr int writeUnknown = 512;
    static constexpr int writeNoPermission = 513;
    static constexpr int writeFileExists = 516;
    static constexpr int writeOutOfSpace = 640;
    static constexpr int writeVolumeReadOnly = 642;

    std::string domain;
    int code = 0;
    std::optional<int> underlyingPosixCode;  // errno, when one caused the error
    std::string description;

    // Maps errno onto the Cocoa code for the operation and keeps errno as the underlying error.
    [[nodiscard]] static FileError fromErrno(int error, FileOperation operation, std::string_view path);
    // An error with a description of the caller's choosing (the code table still applies).
    [[nodiscard]] static FileError make(std::string_view domain, int code, std::string description,
                                        std::optional<int> underlyingPosixCode = std::nullopt);

    bool isCocoa(int cocoaCode) const { return domain == cocoaDomain && code == cocoaCode; }
};

}  // namespace vornelo::platform

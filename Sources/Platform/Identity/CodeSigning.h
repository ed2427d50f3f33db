#pragma once
// Code identity: whether an executable file, or the code a peer process runs, satisfies a code
// requirement, judged by the detached signature beside the executable and the anchor store.
//
// The helper makes one instance for the fixed system store and asks it about each connection's
// peer at accept time and again before every message. Verdicts on executables whose bytes only
// root can change (owned by root, writable by no one else) are cached per executable (device,
// inode, size, change time), signature file, anchor store and requirement for a few minutes, so a
// repeated check costs a few system calls rather than a hash of the binary; any other executable
// is hashed at every check, since its owner could rewrite it in place without its times showing
// it. An executable on a file system served by a program (FUSE) is refused. The per-process facts
// (loader variables, tracing, dumpability, liveness) are read every time.
//
// Thread safety: every member function may be called from any thread; the cache has its own lock,
// never held while files are read.

#include "Platform/Identity/AnchorStore.h"
#include "Platform/Identity/CodeRequirement.h"
#include "Platform/Identity/CodeSignature.h"

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace vornelo::platform {

class CodeSigning {
public:
    struct Verdict {
        bool satisfied = false;
        std::string reason;  // one sentence, for the log and the tool; also says why it passed
        std::optional<ExecutableIdentity> executable;  // what was judged, when it could be opened
        std::string identifier;  // the signed identifier, when the signature was valid
        bool fromCache = false;
    };

    static constexpr std::chrono::seconds cacheLifetime{300};
    static constexpr std::size_t maxCachedVerdicts = 256;

    explicit CodeSigning(std::filesystem::path anchorFolder = std::filesystem::path(AnchorStore::systemPath));

    // The instance for the system store, made once.
    static CodeSigning& shared();

    // The executable at path, with its signature beside it; never cached.
    [[nodiscard]] Verdict checkFile(const std::filesystem::path& executable, const CodeRequirement& requirement) const;

    // The process held by pidfd. With acceptedExecutable (the verdict's executable at accept
    // time), a peer now running another executable is refused even if that one is signed.
    [[nodiscard]] Verdict checkPeer(int pidfd, const CodeRequirement& requirement,
                                    const std::optional<ExecutableIdentity>& acceptedExecutable = std::nullopt);

    void clearCache();

private:
    struct CachedVerdict {
        Verdict verdict;
        std::chrono::steady_clock::time_point expires;
    };

    Verdict judge(int executableDescriptor, const std::filesystem::path& executablePath, const CodeRequirement& requirement) const;
    std::string cacheKey(const ExecutableIdentity& executable, const std::filesystem::path& executablePath,
                         const CodeRequirement& requirement) const;

    std::filesystem::path anchorFolder_;
    std::mutex mutex_;
    std::unordered_map<std::string, CachedVerdict> cache_;
};

}  // namespace vornelo::platform

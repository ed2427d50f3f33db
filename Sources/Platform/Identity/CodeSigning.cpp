#include "Platform/Identity/CodeSigning.h"

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Identity/PeerProcess.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

namespace vornelo::platform {

namespace {

CodeSigning::Verdict refusal(std::string reason, std::optional<ExecutableIdentity> executable = std::nullopt) {
    return CodeSigning::Verdict{false, std::move(reason), executable, {}, false};
}

#ifndef FUSE_SUPER_MAGIC
#define FUSE_SUPER_MAGIC 0x65735546
#endif

// On a file system that a user's program serves, what a read returns need not be what runs.
bool servedByAProgram(int fd) {
    struct statfs info {};
    return ::fstatfs(fd, &info) == 0 && static_cast<unsigned long>(info.f_type) == FUSE_SUPER_MAGIC;
}

// Whether only root can change the file's bytes: its owner is root and neither its group nor
// anyone else may write it (which covers an access-control entry granting write, through the
// mask in the group bits). Anyone else who may write could rewrite it in place, and on some file
// systems (tmpfs, through a shared mapping) its times would not show it, so no identity of the
// file stands for its bytes.
bool onlyRootCanChange(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

CodeSigning::CodeSigning(std::filesystem::path anchorFolder) : anchorFolder_(std::move(anchorFolder)) {}

CodeSigning& CodeSigning::shared() {
    static CodeSigning instance;
    return instance;
}

CodeSigning::Verdict CodeSigning::judge(int executableDescriptor, const std::filesystem::path& executablePath,
                                        const CodeRequirement& requirement) const {
    const auto identity = ExecutableIdentity::of(executableDescriptor);
    const auto anchors = AnchorStore::load(anchorFolder_);
    auto facts = CodeSignature::verify(executableDescriptor, CodeSignature::signaturePath(executablePath), anchors);
    if (!facts) return refusal(facts.error(), identity);
    if (auto unmet = requirement.unmetClause(*facts)) {
        // A store that was ignored is the likelier story behind a missing anchor.
        if (!facts->anchored && !anchors.ignoredBecause().empty()) *unmet += " " + anchors.ignoredBecause();
        return Verdict{false, std::move(*unmet), identity, facts->identifier, false};
    }
    return Verdict{true, fmt::format("The code signed as \"{}\" satisfies the requirement.", facts->identifier), identity,
                   facts->identifier, false};
}

CodeSigning::Verdict CodeSigning::checkFile(const std::filesystem::path& executable, const CodeRequirement& requirement) const {
    FileDescriptor fd(retryOnInterrupt([&] { return ::open(executable.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
    if (!fd) return refusal(fmt::format("{} cannot be opened: {}.", executable.native(), std::strerror(errno)));
    // The signature is looked for beside the file itself, as for a peer, not beside a link to it.
    std::error_code error;
    const auto opened = std::filesystem::read_symlink(fmt::format("/proc/self/fd/{}", fd.get()), error);
    if (error) return refusal(fmt::format("{} cannot be resolved: {}.", executable.native(), error.message()));
    return judge(fd.get(), opened, requirement);
}

std::string CodeSigning::cacheKey(const ExecutableIdentity& executable, const std::filesystem::path& executablePath,
                                  const CodeRequirement& requirement) const {
    struct stat signature {};
    const auto signatureFile = CodeSignature::signaturePath(executablePath);
    if (::lstat(signatureFile.c_str(), &signature) != 0) signature = {};
    return fmt::format("{}:{}:{}:{}|{}|{}:{}:{}:{}.{}|{}|{}", executable.device, executable.inode, executable.size,
                       executable.changeTimeNanoseconds, signatureFile.native(), signature.st_dev, signature.st_ino,
                       signature.st_size, signature.st_ctim.tv_sec, signature.st_ctim.tv_nsec,
                       AnchorStore::stamp(anchorFolder_), requirement.text());
}

CodeSigning::Verdict CodeSigning::checkPeer(int pidfd, const CodeRequirement& requirement,
                                            const std::optional<ExecutableIdentity>& acceptedExecutable) {
    auto peer = PeerProcess::open(pidfd);
    if (!peer) return refusal(peer.error());
    if (auto risk = peer->tamperingRisk()) return refusal(std::move(*risk));
    auto executable = peer->openExecutable();
    if (!executable) return refusal(executable.error());
    const auto path = peer->executablePath();
    const auto identity = ExecutableIdentity::of(executable->get());
    if (!path || !identity) return refusal(fmt::format("The executable of process {} cannot be examined.", peer->pid()));
    if (acceptedExecutable && *acceptedExecutable != *identity) {
        return refusal(fmt::format("The peer process {} runs another executable ({}) than when it connected.", peer->pid(), *path), identity);
    }
    if (servedByAProgram(executable->get())) {
        return refusal(fmt::format("The executable of process {} ({}) lies on a file system served by a program (FUSE), "
                                   "where the bytes read need not be the bytes that run.", peer->pid(), *path), identity);
    }
    // A verdict is kept only for bytes that only root can change; any other executable is hashed
    // at every full check (while it runs, its bytes cannot change: the kernel refuses to open a
    // running executable for writing).
    const bool cacheable = onlyRootCanChange(executable->get());
    const auto key = cacheKey(*identity, *path, requirement);
    const auto now = std::chrono::steady_clock::now();
    if (cacheable) {
        std::lock_guard lock(mutex_);
        if (const auto found = cache_.find(key); found != cache_.end() && found->second.expires > now) {
            auto verdict = found->second.verdict;
            verdict.fromCache = true;
            return verdict;
        }
    }
    auto verdict = judge(executable->get(), *path, requirement);
    // A peer that went while it was judged is not the one the caller holds any more.
    if (!peer->isAlive()) return refusal(fmt::format("The peer process {} has exited.", peer->pid()), identity);
    // The file may have changed while it was hashed; such a verdict is not kept.
    if (!cacheable || ExecutableIdentity::of(executable->get()) != identity) return verdict;
    std::lock_guard lock(mutex_);
    if (cache_.size() >= maxCachedVerdicts) cache_.clear();
    cache_[key] = CachedVerdict{verdict, now + cacheLifetime};
    return verdict;
}

void CodeSigning::clearCache() {
    std::lock_guard lock(mutex_);
    cache_.clear();
}

}  // namespace vornelo::platform

#pragma once
// The disk space that removing an item gives back: the allocated size of a file, or the sum over
// every regular file below a folder. Symbolic links are never followed or counted; file systems
// mounted below the start are never entered; a file with several hard links below a folder
// counts once.
//
// Thread safety: stateless; any number of walks may run at once on any threads. A folder is walked
// with the threads of the platform's parallel-for, so shouldContinue may be called from one of
// those threads rather than the caller's, though never from two at once. Nothing throws: every
// problem is folded into the result and, when a recorder is given, reported to it.

#include "Core/ScanCoverage.h"
#include "Platform/Files/FileManager.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

namespace vornelo {

struct FileSizing {
    // The attributes every sizing request reads for an item; absent means unknown.
    struct ResourceValues {
        std::optional<bool> isDirectory;
        std::optional<bool> isSymbolicLink;
        std::optional<bool> isVolume;
        std::optional<bool> isRegularFile;
        std::optional<std::int64_t> totalFileAllocatedSize;
        std::optional<std::int64_t> fileAllocatedSize;
        std::optional<std::int64_t> fileSize;

        // On Linux both allocated sizes are the block count times 512.
        [[nodiscard]] static ResourceValues from(const platform::FileAttributes& attributes);
    };

    // How often the walk asks shouldContinue, in items met.
    static constexpr std::uint64_t checkInterval = 512;

    // Nothing for absent values or anything but a regular file; else the first known of the total
    // allocated size, the allocated size and the logical size, or 0 when none is known.
    [[nodiscard]] static std::optional<std::int64_t> fileSize(const std::optional<ResourceValues>& values);

    // Total allocated bytes of `url` (never negative). A start that cannot be read counts 0 and is
    // reported; unreadable items below are reported and skipped. shouldContinue is asked once every
    // 512 items; when it answers false, the total so far is returned.
    [[nodiscard]] static std::int64_t allocatedSize(const std::filesystem::path& url,
                                                    const platform::FileManager& fileManager,
                                                    ScanCoverageRecorder* coverage,
                                                    const std::function<bool()>& shouldContinue);
};

}  // namespace vornelo

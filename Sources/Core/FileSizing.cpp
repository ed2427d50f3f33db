#include "Core/FileSizing.h"

#include "Core/LinkedFiles.h"

#include "Platform/Encoding/Checked.h"
#include "Platform/Files/TreeWalk.h"

#include <atomic>
#include <mutex>
#include <unordered_set>
#include <utility>

namespace vornelo {

using platform::FileType;
using platform::TreeWalkAction;

namespace {

// checkedAdd on a total that several walking threads add to.
void add(std::atomic<std::int64_t>& total, std::int64_t amount) {
    std::int64_t current = total.load(std::memory_order_relaxed);
    while (!total.compare_exchange_weak(current, checkedAdd(current, amount), std::memory_order_relaxed)) {
    }
}


}  // namespace

FileSizing::ResourceValues FileSizing::ResourceValues::from(const platform::FileAttributes& attributes) {
    ResourceValues values;
    values.isDirectory = attributes.type == FileType::directory;
    values.isSymbolicLink = attributes.type == FileType::symbolicLink;
    values.isRegularFile = attributes.type == FileType::regular;
    values.totalFileAllocatedSize = attributes.allocatedSize;
    values.fileAllocatedSize = attributes.allocatedSize;
    values.fileSize = attributes.size;
    return values;
}

std::optional<std::int64_t> FileSizing::fileSize(const std::optional<ResourceValues>& values) {
    if (!values || values->isRegularFile != true) return std::nullopt;
    if (values->totalFileAllocatedSize) return *values->totalFileAllocatedSize;
    if (values->fileAllocatedSize) return *values->fileAllocatedSize;
    if (values->fileSize) return *values->fileSize;
    return 0;
}

std::int64_t FileSizing::allocatedSize(const std::filesystem::path& url, const platform::FileManager& fileManager,
                                       ScanCoverageRecorder* coverage, const std::function<bool()>& shouldContinue) {
    const auto attributes = fileManager.attributesOfItem(url);
    if (!attributes) {
        if (coverage) coverage->failed(url, attributes.error());
        return 0;
    }
    if (attributes->type == FileType::symbolicLink) return 0;
    if (attributes->type != FileType::directory) return fileSize(ResourceValues::from(*attributes)).value_or(0);

    std::atomic<std::int64_t> total{0};
    LinkedFiles linked;
    platform::TreeWalkVisitor visitor;
    visitor.checkInterval = checkInterval;
    visitor.shouldContinue = shouldContinue;
    // The walk costs one system call per item; more threads is the only way to go faster.
    visitor.parallel = true;
    visitor.visit = [&total, &linked](const platform::TreeWalkItem& item) {
        // Another volume mounted below the start is not part of what removing the start frees.
        if (item.type == FileType::directory) return item.isVolumeRoot ? TreeWalkAction::skipDescendants : TreeWalkAction::proceed;
        if (item.type != FileType::regular) return TreeWalkAction::proceed;
        if (item.linkCount > 1 && !linked.firstSight(item.device, item.fileNumber)) return TreeWalkAction::proceed;
        add(total, item.allocatedSize);
        return TreeWalkAction::proceed;
    };
    if (coverage) {
        visitor.failed = [coverage](const std::filesystem::path& path, const platform::FileError& error) {
            coverage->failed(path, error);
        };
    }
    // A start that cannot be opened is reported with the reason (denied, missing, ...) rather than
    // as a generic failure, like every unreadable folder below it.
    if (const auto walked = fileManager.walkTree(url, visitor); !walked && coverage) coverage->failed(url, walked.error());
    return total.load();
}

}  // namespace vornelo

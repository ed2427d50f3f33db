#pragma once
// One item a scanner looked at, as the walk or a folder listing described it (links not followed).

#include "Platform/Encoding/Iso8601.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Files/TreeWalk.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vornelo::scan {

struct ScanItem {
    std::string path;
    platform::FileType type = platform::FileType::other;
    std::int64_t size = 0;
    std::int64_t allocatedSize = 0;
    std::uint64_t fileNumber = 0;
    dev_t device = 0;
    std::uint32_t linkCount = 1;
    platform::TimePoint modificationDate{};
    platform::TimePoint accessDate{};

    [[nodiscard]] std::string_view name() const {
        const auto slash = path.rfind('/');
        return slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
    }
    [[nodiscard]] bool isFolder() const { return type == platform::FileType::directory; }

    [[nodiscard]] static ScanItem from(const platform::TreeWalkItem& item) {
        ScanItem scanned;
        scanned.path = platform::FileManager::joinedPath(std::string(item.parentPath), item.name);
        scanned.type = item.type;
        scanned.size = item.size;
        scanned.allocatedSize = item.allocatedSize;
        scanned.fileNumber = item.fileNumber;
        scanned.device = item.device;
        scanned.linkCount = item.linkCount;
        scanned.modificationDate = item.modificationDate;
        scanned.accessDate = item.accessDate;
        return scanned;
    }
};

}  // namespace vornelo::scan

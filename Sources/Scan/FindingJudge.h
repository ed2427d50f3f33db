#pragma once
// Whether a finding may be offered, asked exactly as a cleanup plan asks before it sizes a
// candidate: the path protection rules (the user's and the administrator's exclusions included)
// and, for a folder, whether it holds security or device-management software.
//
// Thread safety: read only; callable from any thread at once.

#include "Core/PathProtection.h"
#include "Platform/Files/FileManager.h"

#include <string>

namespace vornelo::scan {

class FindingJudge {
public:
    FindingJudge(const PathProtection& protection, const platform::FileManager& fileManager)
        : protection_(protection), fileManager_(fileManager) {}

    // `linkFree`: the caller reached the item through no symbolic link (a walk below a folder
    // whose own path has none), so its spelling is where it really is.
    [[nodiscard]] bool isProtected(const std::string& path, bool isFolder, bool linkFree = false) const {
        const bool byPath = linkFree ? protection_.shouldProtectLinkFreePath(path) : protection_.shouldProtect(path);
        return byPath || (isFolder && protection_.containsEndpointSecurityItem(path, fileManager_));
    }

    const PathProtection& protection() const { return protection_; }

private:
    const PathProtection& protection_;
    const platform::FileManager& fileManager_;
};

}  // namespace vornelo::scan

#include "Scan/ScanContext.h"

#include "Platform/Files/TreeWalk.h"

#include <cerrno>

namespace vornelo::scan {

bool liesWithin(std::string_view path, std::string_view root) {
    if (root.empty() || !path.starts_with(root)) return false;
    return path.size() == root.size() || root == "/" || path[root.size()] == '/';
}

ScanContext::ScanContext(const ScanPlaces& places, const ScanOptions& options, std::vector<std::string> roots,
                         const platform::FileManager& fileManager, ScanCoverageRecorder& coverage, ScanProgress& progress,
                         std::stop_token stop)
    : places_(places),
      options_(options),
      roots_(std::move(roots)),
      fileManager_(fileManager),
      coverage_(coverage),
      progress_(progress),
      stop_(std::move(stop)) {}

int ScanContext::ageDays(Category category) const {
    return options_.olderThanDays ? *options_.olderThanDays : CategoryRules::defaultAgeDays(category);
}

bool ScanContext::covers(std::string_view path) const {
    for (const auto& root : roots_) {
        if (liesWithin(path, root)) return true;
    }
    return false;
}

std::vector<ScanItem> ScanContext::list(const std::string& folder) const {
    std::vector<ScanItem> items;
    platform::TreeWalkVisitor visitor;
    visitor.noAccessTime = true;
    visitor.visit = [&items](const platform::TreeWalkItem& item) {
        items.push_back(ScanItem::from(item));
        return platform::TreeWalkAction::skipDescendants;
    };
    visitor.failed = [this](const std::filesystem::path& path, const platform::FileError& error) {
        coverage_.failed(path, error);
    };
    const auto walked = fileManager_.walkTree(folder, visitor);
    if (!walked) {
        const auto code = walked.error().underlyingPosixCode.value_or(0);
        if (code == ELOOP) {
            coverage_.record(folder, ScanCoverage::Kind::unavailable,
                             "The folder is a symbolic link, which a scan does not follow.");
        } else if (code != ENOENT && code != ENOTDIR) {
            coverage_.failed(folder, walked.error());
        }
    }
    progress_.addItems(items.size());
    return items;
}

}  // namespace vornelo::scan

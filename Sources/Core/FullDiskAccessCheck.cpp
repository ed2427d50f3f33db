#include "Core/FullDiskAccessCheck.h"

namespace vornelo {

FullDiskAccessCheck::Report FullDiskAccessCheck::evaluate(const platform::Confinement& confinement,
                                                          const std::filesystem::path& home,
                                                          const platform::FileManager& fileManager) {
    Report report{false, confinement, home.native(), fileManager.contentsOfDirectoryAtPath(home).has_value()};
    report.granted = !confinement.confined() && report.homeListable;
    return report;
}

FullDiskAccessCheck::Report FullDiskAccessCheck::report() {
    const auto& fileManager = platform::FileManager::defaultManager();
    return evaluate(platform::Confinement::current(), fileManager.homeDirectoryForCurrentUser(), fileManager);
}

bool FullDiskAccessCheck::probe() { return report().granted; }

}  // namespace vornelo

#pragma once
// Names of the user's own settings in the application's defaults domain.

#include <array>
#include <string_view>

namespace vornelo {

struct AppStorageKey {
    static constexpr std::string_view showDockIcon = "Vornelo.showDockIcon";
    static constexpr std::string_view didCompleteOnboarding = "Vornelo.didCompleteOnboarding";
    static constexpr std::string_view hasUsedAnalyze = "Vornelo.hasUsedAnalyze";
    static constexpr std::string_view analyzeLastPreloadAt = "Vornelo.analyzeLastPreloadAt";
    // List of strings, read and written by ExclusionStore.
    static constexpr std::string_view userExclusions = "Vornelo.userExclusions";
    static constexpr std::string_view networkPrivacyIgnoredFindings = "Vornelo.networkPrivacyIgnoredFindings";
    // Boolean; absent or not a Boolean means the shared operation log records.
    static constexpr std::string_view operationLogEnabled = "Vornelo.operationLogEnabled";
    static constexpr std::string_view careScanMode = "Vornelo.careScanMode";
    static constexpr std::string_view lastSidebarSelection = "Vornelo.lastSidebarSelection";
    static constexpr std::string_view developerToolsEnabled = "Vornelo.developerToolsEnabled";
    static constexpr std::string_view fileScanFolders = "Vornelo.fileScanFolders";
    static constexpr std::string_view largeFileThresholdMB = "Vornelo.largeFileThresholdMB";
    static constexpr std::string_view scheduledScanIntervalHours = "Vornelo.scheduledScanIntervalHours";
    static constexpr std::string_view notifyReclaimableThresholdMB = "Vornelo.notifyReclaimableThresholdMB";
    static constexpr std::string_view lastScheduledScanAt = "Vornelo.lastScheduledScanAt";

    static constexpr std::array<std::string_view, 15> all = {
        showDockIcon,          didCompleteOnboarding,        hasUsedAnalyze,     analyzeLastPreloadAt,
        userExclusions,        networkPrivacyIgnoredFindings, operationLogEnabled, careScanMode,
        lastSidebarSelection,  developerToolsEnabled,        fileScanFolders,    largeFileThresholdMB,
        scheduledScanIntervalHours, notifyReclaimableThresholdMB, lastScheduledScanAt,
    };
};

}  // namespace vornelo

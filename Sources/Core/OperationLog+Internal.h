#pragma once
// Shared by the OperationLog*.cpp files only.

#include "Core/OperationLog.h"

#include <string_view>

namespace vornelo {

struct OperationLog::EntryFields {
    std::optional<Uuid> sessionID;
    platform::TimePoint timestamp{};
    std::string_view action;
    std::string_view path;
    std::int64_t sizeBytes = 0;
    Mode mode = Mode::trash;
    Outcome outcome = Outcome::success;
    bool dryRun = false;
    std::optional<std::string_view> detail;
    std::optional<std::string_view> trashedPath;
    std::optional<std::uint64_t> trashedFileNumber;
    std::optional<std::string_view> prevHash;
};

}  // namespace vornelo

// Taking over the log an earlier version kept in "~/Library/Logs/Vornelo": moved once, under the
// log's lock, with nothing lost, or left alone when the new place holds a log already.

#include "Core/OperationLog+Internal.h"

#include "Core/Log.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Files/RegularFile.h"

#include <utility>
#include <vector>

namespace vornelo {

using platform::FileManager;

namespace {

// The files of the log at `log` that a move carries: the oldest first, the totals before the
// current log, so that a move cut short leaves the newest lines where they were.
std::vector<std::filesystem::path> logFiles(const std::filesystem::path& log) {
    const auto beside = [&](const std::string& suffix) { return log.parent_path() / (log.stem().native() + suffix); };
    std::vector<std::filesystem::path> files;
    for (int number = OperationLog::rotatedFilesKept; number >= 1; --number) files.push_back(beside("." + std::to_string(number) + ".log"));
    files.push_back(beside(".totals.json"));
    files.push_back(log);
    return files;
}

std::filesystem::path besideLog(const std::filesystem::path& log, const std::string& suffix) {
    return log.parent_path() / (log.stem().native() + suffix);
}

}  // namespace

bool OperationLog::holdsLog(const std::filesystem::path& logURL) {
    const auto& files = FileManager::defaultManager();
    for (const auto& file : logFiles(logURL)) {
        if (files.fileExists(file)) return true;
    }
    return false;
}

std::optional<std::filesystem::path> OperationLog::legacyLogLeftBehind() const {
    return queue_.sync([&] {
        adoptLegacyLogOnce();
        return legacyLeftBehind_;
    });
}

void OperationLog::adoptLegacyLogOnce() const {
    if (legacyChecked_) return;
    legacyChecked_ = true;
    // The usual case costs a few lstat calls and takes no lock.
    if (!legacyFolder_ || !holdsLog(*legacyFolder_ / logURL_.filename())) return;
    auto held = lockExclusively();
    if (!held) {
        Log::app().error("operation log: could not take over the log in %{public}s: %{public}s", legacyFolder_->native(),
                         held.error().description);
        return;
    }
    adoptLegacyLog();
}

// The lock held. A marker beside the new log names a move under way, so that one cut short is
// finished by the next process rather than taken for two logs.
void OperationLog::adoptLegacyLog() const {
    const auto& files = FileManager::defaultManager();
    const auto legacyLog = *legacyFolder_ / logURL_.filename();
    if (!holdsLog(legacyLog)) return;  // another process moved it while this one waited
    const auto marker = besideLog(logURL_, ".moving");
    const auto leaveBoth = [&](const std::string& why) {
        legacyLeftBehind_ = *legacyFolder_;
        Log::app().error("operation log: left %{public}s where it is: %{public}s", legacyFolder_->native(), why);
    };
    if (!files.fileExists(marker)) {
        if (holdsLog(logURL_)) return leaveBoth("a log is in " + logURL_.parent_path().native() + " already");
        if (auto marked = platform::RegularFile::replaceContents(marker, legacyFolder_->native() + "\n"); !marked) {
            return leaveBoth(marked.error().description);
        }
    }
    // A writer of an earlier version locks the file beside its own log; it finishes first.
    std::optional<platform::FileLock> legacyLock;
    std::optional<platform::FileLock::Hold> legacyHold;
    if (auto opened = platform::FileLock::open(besideLog(legacyLog, ".lock"), false)) {
        legacyLock = std::move(*opened);
        if (auto taken = legacyLock->lock(true)) legacyHold.emplace(std::move(*taken));
    }
    const auto from = logFiles(legacyLog);
    const auto to = logFiles(logURL_);
    for (std::size_t i = 0; i < from.size(); ++i) {
        if (!files.fileExists(from[i])) continue;
        if (files.fileExists(to[i])) return leaveBoth(to[i].native() + " exists in both places");
        if (auto moved = files.moveItem(from[i], to[i]); !moved) return leaveBoth(moved.error().description);
    }
    (void)files.removeFile(marker);
    legacyHold.reset();
    legacyLock.reset();
    // What the earlier version made, as far as it is empty now; ~/Library is no Linux folder.
    (void)files.removeFile(besideLog(legacyLog, ".lock"));
    for (auto folder = *legacyFolder_; folder.has_relative_path() && files.removeEmptyDirectory(folder); folder = folder.parent_path()) {
        if (folder.filename() == "Library") break;
    }
    // Instances that looked at the empty new place look again.
    if (lock_) (void)lock_->advance();
    Log::app().info("operation log: moved the log from %{public}s to %{public}s", legacyFolder_->native(),
                    logURL_.parent_path().native());
}

}  // namespace vornelo

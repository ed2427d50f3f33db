#pragma once
// A deletion engine for tests: the real file manager (or a wrapper of it), protection rules for a
// private home whose exclusions the test may change at any time, and an operation log of its own.

#include "Core/OperationLog.h"
#include "Core/PathProtection.h"
#include "Core/SafeFileDeleter.h"
#include "Support/TestHome.h"

#include <sys/stat.h>

#include <memory>
#include <mutex>

namespace vornelo::test {

// The engine on a given home, with a log file of its own; for a child process, which cannot use
// the log (and its writer thread) of its parent.
class DeletionEngine {
public:
    DeletionEngine(const std::filesystem::path& home, const std::filesystem::path& logFile,
                   const platform::FileManager& files = platform::FileManager::defaultManager())
        : log_(logFile, true),
          protection_(home, exclusionProvider(state_), PathProtection::noStrings()),
          deleter_(files, protection_, log_) {}

    const SafeFileDeleter& deleter() const { return deleter_; }
    OperationLog& log() { return log_; }

    // Runs the whole plan as a clean, never cancelled, without progress reports.
    SafeFileDeleter::ExecutionResult run(const SafeFileDeleter::Plan& plan, SafeFileDeleter::Mode mode,
                                         bool dryRun = false, const Uuid& session = Uuid()) const {
        return deleter_.execute(plan, mode, dryRun, "clean", session, {}, [] { return false; });
    }

    // From now on the path counts as excluded by the user.
    void exclude(const std::filesystem::path& path) {
        std::lock_guard lock(state_->mutex);
        auto paths = std::make_shared<PathProtection::StringList>(*state_->paths);
        paths->push_back(path.native());
        state_->paths = std::move(paths);
    }

    // Every entry written so far, oldest first.
    std::vector<OperationLog::Entry> entries() {
        log_.flush();
        return log_.retainedEntries();
    }

private:
    struct Exclusions {
        std::mutex mutex;
        std::shared_ptr<const PathProtection::StringList> paths = std::make_shared<PathProtection::StringList>();
    };

    static PathProtection::StringListProvider exclusionProvider(const std::shared_ptr<Exclusions>& state) {
        return [state] {
            std::lock_guard lock(state->mutex);
            return state->paths;
        };
    }

    std::shared_ptr<Exclusions> state_ = std::make_shared<Exclusions>();
    OperationLog log_;
    PathProtection protection_;
    SafeFileDeleter deleter_;
};

struct PrivateHome {
    TestHome home_;
};

// An engine on a private HOME (set before anything asks for the Trash: the home is the first
// base), logging beside it.
class DeleterHarness : private PrivateHome, public DeletionEngine {
public:
    explicit DeleterHarness(const platform::FileManager& files = platform::FileManager::defaultManager())
        : DeletionEngine(home_.home(), home_.root() / "log" / "operations.log", files) {}

    const std::filesystem::path& home() const { return home_.home(); }
    const std::filesystem::path& root() const { return home_.root(); }
    std::filesystem::path trash() const { return home_.home() / ".local/share/Trash/files"; }
};

// The inode of the item itself (a link is not followed); 0 when it cannot be read.
inline std::uint64_t inodeOf(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return 0;
    return info.st_ino;
}

// The allocated size of the item itself, as du counts it.
inline std::int64_t allocatedSizeOf(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return -1;
    return static_cast<std::int64_t>(info.st_blocks) * 512;
}

}  // namespace vornelo::test

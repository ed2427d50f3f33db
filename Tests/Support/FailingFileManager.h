#pragma once
// The real file manager, except that the Nth call (counted from 1) of one chosen question about
// the file system fails with a chosen error instead of reaching it. Other calls pass through unchanged.
// Counters are atomic, so the manager may be shared between threads like the real one.

#include "Platform/Files/FileManager.h"
#include "Platform/Files/TreeWalk.h"

#include <array>
#include <atomic>

namespace vornelo::test {

class FailingFileManager : public platform::FileManager {
public:
    enum class Operation { attributesOfItem, fileExistsFollowingLinks, walkTree, count_ };

    FailingFileManager(Operation operation, int failingCall, platform::FileError error,
                       const platform::FileManager& inner = platform::FileManager::defaultManager())
        : operation_(operation), failingCall_(failingCall), error_(std::move(error)), inner_(inner) {}

    // How many calls of the operation were made so far, the failed one included.
    int calls(Operation operation) const { return counts_[static_cast<std::size_t>(operation)].load(); }

    std::expected<platform::FileAttributes, platform::FileError> attributesOfItem(
        const std::filesystem::path& path) const override {
        if (failsNow(Operation::attributesOfItem)) return std::unexpected(error_);
        return inner_.attributesOfItem(path);
    }
    bool fileExistsFollowingLinks(const std::filesystem::path& path) const override {
        if (failsNow(Operation::fileExistsFollowingLinks)) return false;
        return inner_.fileExistsFollowingLinks(path);
    }
    std::expected<platform::TreeWalkEnd, platform::FileError> walkTree(
        const std::filesystem::path& start, const platform::TreeWalkVisitor& visitor) const override {
        if (failsNow(Operation::walkTree)) return std::unexpected(error_);
        return inner_.walkTree(start, visitor);
    }

private:
    bool failsNow(Operation operation) const {
        const int call = ++counts_[static_cast<std::size_t>(operation)];
        return operation == operation_ && call == failingCall_;
    }

    Operation operation_;
    int failingCall_;
    platform::FileError error_;
    const platform::FileManager& inner_;
    mutable std::array<std::atomic<int>, static_cast<std::size_t>(Operation::count_)> counts_{};
};

}  // namespace vornelo::test

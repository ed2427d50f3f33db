#pragma once
// The safe deletion engine: candidates become a reviewable plan, the plan is executed into the
// Trash (or removed for good, but only what already lies inside a Trash), every handled item
// leaves one operation-log entry, and trashed items can be put back.
//
// Thread safety: an engine holds no mutable state; any number of previews, runs and put-backs
// may proceed at once on any threads. The file manager, protection rules and log it refers to
// must outlive it (the shared engine's do). Items, plans and results are immutable values.
//
// Failures: preview and execute never fail as a whole; every per-item problem is folded into the
// plan or the result. Only putBack throws.

#include "Core/OperationLog.h"
#include "Core/PathProtection.h"
#include "Core/ScanCoverage.h"
#include "Platform/Files/FileError.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Encoding/Uuid.h"
#include "Platform/System/PlatformTexts.h"

#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <set>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace vornelo {

class SafeFileDeleter {
public:
    // How items leave. Only items already inside a Trash are ever removed for good.
    enum class Mode { trash, permanent };
    // What kind of finding an item is; only `trash` changes behaviour (see Item::isPermanentRemoval).
    enum class Category { cache, log, trash, leftover, artifact, app, installer, duplicate, largeFile };

    static constexpr std::array allModes{Mode::trash, Mode::permanent};
    static constexpr std::array allCategories{Category::cache,     Category::log,       Category::trash,
                                              Category::leftover,  Category::artifact,  Category::app,
                                              Category::installer, Category::duplicate, Category::largeFile};

    // One candidate; its identity in a plan is the path of its URL.
    class Item {
    public:
        Item(std::filesystem::path url, std::int64_t sizeBytes, Category category, bool isProtected);
        // Asks PathProtection::shared() (not an engine's rules) whether the URL is protected.
        Item(std::filesystem::path url, std::int64_t sizeBytes, Category category);

        const std::string& id() const { return url_.native(); }
        const std::filesystem::path& url() const { return url_; }
        std::int64_t sizeBytes() const { return sizeBytes_; }  // 0 for protected and missing items
        Category category() const { return category_; }
        bool isProtected() const { return protected_; }
        // A `trash` finding that already lies inside a Trash: execution removes it for good.
        [[nodiscard]] bool isPermanentRemoval() const;

        friend bool operator==(const Item&, const Item&) = default;

    private:
        std::filesystem::path url_;
        std::int64_t sizeBytes_;
        Category category_;
        bool protected_;
    };

    // A reviewed set of candidates. Every value constructed gets a fresh random id, so a changed
    // plan is never mistaken for the one displayed.
    class Plan {
    public:
        // An item inside the folder of another item is dropped: it leaves with that folder, and
        // its size is counted there. Aborts when the sizes of `items` overflow a signed 64-bit sum.
        Plan(std::vector<Item> items, std::vector<Item> protectedItems, std::vector<Item> missingItems);

        // Three empty lists; one value for the process, its id drawn once.
        static const Plan& empty();

        const Uuid& id() const { return id_; }
        const std::vector<Item>& items() const { return items_; }                   // to be removed, in order
        const std::vector<Item>& protectedItems() const { return protectedItems_; }  // logged as skipped
        const std::vector<Item>& missingItems() const { return missingItems_; }      // gone when planned
        std::int64_t totalReclaimable() const { return totalReclaimable_; }         // over items() only
        [[nodiscard]] bool isEmpty() const;

        // The items whose id is (keeping) or is not (removing) in `ids`, in plan order; protected
        // and missing items carried over unchanged.
        [[nodiscard]] Plan keeping(const std::unordered_set<std::string>& ids) const;
        [[nodiscard]] Plan removing(const std::unordered_set<std::string>& ids) const;
        // Items concatenated with later repeats of an id dropped; protected and missing items
        // concatenated as they are.
        [[nodiscard]] static Plan merged(std::span<const Plan> plans);

    private:
        // The items that lie inside no other item's path, judged on the spelling of the paths.
        static std::vector<Item> outermost(std::vector<Item> items);

        Uuid id_;
        std::vector<Item> items_;
        std::vector<Item> protectedItems_;
        std::vector<Item> missingItems_;
        std::int64_t totalReclaimable_;
    };

    struct Progress {
        std::int64_t completed = 0;  // plan items handled before the current one
        std::int64_t total = 0;      // plan items
        std::string currentPath;     // the item about to be handled; empty in the final report
        friend bool operator==(const Progress&, const Progress&) = default;
    };

    // Why one item could not be removed, in words a user can act on.
    struct Failure {
        std::string path;
        std::string reason;
        bool needsAdministrator = false;  // owned by another user
        bool partlyRemoved = false;       // a removal for good that took some of a folder before failing

        const std::string& id() const { return path; }
        // Where the user can finish the job by hand: removing it from the Trash for an item inside
        // one, moving it to the Trash otherwise (in this platform's words, naming the path), or
        // cleaning what is inside an item that holds the Trash. Does not depend on needsAdministrator.
        [[nodiscard]] std::string recoverySuggestion() const;
        friend bool operator==(const Failure&, const Failure&) = default;
    };

    struct ExecutionResult {
        std::int64_t freedBytes = 0;   // sizes of the items counted in succeeded
        std::int64_t succeeded = 0;    // trashed or removed (in a dry run: would have been)
        std::int64_t failed = 0;
        std::int64_t skipped = 0;      // protected: found so during the run, plus the plan's protectedItems
        std::vector<std::string> errors;  // "<path>: <reason>", one per failure, in run order
        std::vector<Failure> failures;
        std::set<std::string> removedIDs;  // really trashed or removed; empty in a dry run
        std::int64_t recoverable = 0;      // moved to the Trash (in a dry run: would have been)
        std::int64_t partlyRemoved = 0;    // failures that had already removed part of their item
        bool cancelled = false;            // stopped before the last item
        bool dryRun = false;
    };

    using ProgressHandler = std::function<void(const Progress&)>;

    // Why a put-back is refused. Thrown by putBack; returned by putBackProblem.
    class PutBackError : public std::exception {
    public:
        enum class Kind { noLongerInTrash, originalLocationOccupied, protectedLocation };

        explicit PutBackError(Kind kind) : kind_(kind) {}
        Kind kind() const { return kind_; }
        // The sentence for the user.
        [[nodiscard]] std::string_view errorDescription() const;
        [[nodiscard]] std::string description() const { return std::string(errorDescription()); }
        const char* what() const noexcept override;

        friend bool operator==(const PutBackError& a, const PutBackError& b) { return a.kind_ == b.kind_; }

    private:
        Kind kind_;
    };

    // What putBack throws when the file manager fails: its error, unchanged.
    class FileOperationError : public std::exception {
    public:
        explicit FileOperationError(platform::FileError error) : error_(std::move(error)) {}
        const platform::FileError& error() const { return error_; }
        const std::string& description() const { return error_.description; }
        const char* what() const noexcept override { return error_.description.c_str(); }

    private:
        platform::FileError error_;
    };

    static constexpr std::string_view protectedDetail = "Protected path";
    static constexpr std::string_view noLongerExistsReason = "No longer exists.";
    static constexpr std::string_view ownedByAnotherUserReason = platform::PlatformTexts::ownedByAnotherUser;
    static constexpr std::string_view partlyRemovedPrefix = "Partly removed before this failure: ";
    static constexpr std::string_view cancelledRemovalReason = "Cancelled during its removal: ";
    static constexpr std::string_view cancelledRemovalSuggestion = "Remove it again to finish; what is left is still in the Trash.";
    static constexpr std::string_view permissionDeniedReason = platform::PlatformTexts::permissionDenied;
    static constexpr std::string_view holdsItsTrashReason =
        "This item holds the Trash it would be moved into, so it was left where it is.";
    static constexpr std::string_view holdsItsTrashSuggestion =
        "Clean the items inside it instead; the folders that hold the Trash stay where they are.";

    // The default file manager, PathProtection::shared() and OperationLog::shared(); made once.
    static SafeFileDeleter& shared();

    // The three parts are referred to, not copied.
    SafeFileDeleter(const platform::FileManager& fileManager, const PathProtection& protection, OperationLog& opLog);
    SafeFileDeleter(const SafeFileDeleter&) = delete;
    SafeFileDeleter& operator=(const SafeFileDeleter&) = delete;

    const platform::FileManager& fileManager() const { return fileManager_; }
    const PathProtection& protection() const { return protection_; }
    OperationLog& opLog() const { return opLog_; }

    // Directly or indirectly inside the "files" folder of a Trash, or inside a ".Trash" or
    // ".Trashes" folder of earlier versions (platform::Trash::holdsTrashedItems), judged on the
    // parent folder with "." and ".." removed and then with its symbolic links resolved. A Trash
    // folder itself is not inside a Trash.
    [[nodiscard]] static bool isInsideTrash(const std::filesystem::path& url);

    // Builds a plan from candidates, in input order: repeats dropped before any work, protected
    // ones set aside unsized, vanished ones listed as missing (and reported to `coverage`), the
    // rest sized. A stop requested before a candidate ends the plan there; one requested during a
    // walk ends that walk at its next check point.
    [[nodiscard]] Plan preview(std::span<const std::filesystem::path> urls, Category category,
                               ScanCoverageRecorder* coverage = nullptr, std::stop_token stop = {}) const;

    // Allocated bytes below `url` with this engine's file manager (FileSizing::allocatedSize).
    [[nodiscard]] std::int64_t directorySize(const std::filesystem::path& url, ScanCoverageRecorder* coverage,
                                             std::stop_token stop = {}) const;
    [[nodiscard]] std::int64_t directorySize(const std::filesystem::path& url, ScanCoverageRecorder* coverage,
                                             const std::function<bool()>& shouldContinue) const;

    // Runs the plan on the caller's thread: protection re-checked per item, each item trashed or
    // (inside a Trash, for category trash or mode permanent) removed, one log entry per item
    // stamped with `sessionID`, then skipped entries for the plan's protected items. `progress`
    // and `isCancelled` are called on this thread; isCancelled once per item, before its progress.
    // A stop requested on `stop` also ends the removal for good of a large item at its next entry:
    // that item is logged as failed with what went and what is left, and the run as cancelled.
    // Does not wait for the log to reach the disk.
    [[nodiscard]] ExecutionResult execute(const Plan& plan, Mode mode, bool dryRun, std::string_view action,
                                          const Uuid& sessionID, const ProgressHandler& progress,
                                          const std::function<bool()>& isCancelled, std::stop_token stop = {}) const;
    // The same on another thread with a fresh session; a stop requested on `stop` ends the run
    // before its next item (the result then says cancelled). `progress` is called from that
    // thread, which a caller may leave running by dropping the future; the engine must outlive it.
    [[nodiscard]] std::future<ExecutionResult> executeAsync(Plan plan, Mode mode, bool dryRun, std::string action,
                                                            ProgressHandler progress, std::stop_token stop = {}) const;

    // The Trash folder that `url` would be moved into when it lies at or inside the item, so that
    // the move could only fail or take the Trash along: the home Trash below a folder being
    // cleaned, or the Trash at the top of another file system when the item is that top.
    // Judged where the item really is (its folder's links resolved); nothing for anything else.
    [[nodiscard]] std::optional<std::string> trashWithin(const std::filesystem::path& url) const;

    // Turns a file manager error on `url` into the reason shown to the user.
    [[nodiscard]] static Failure failure(const std::filesystem::path& url, const platform::FileError& error,
                                         const platform::FileManager& fileManager);

    // The first reason the item at `trashedPath` cannot go back to `originalPath`: the original
    // place is protected; the item is not inside a Trash, is gone, or is not the file with
    // `fileNumber` (when given); something is at the original place. Touches nothing.
    [[nodiscard]] std::optional<PutBackError> putBackProblem(const std::filesystem::path& trashedPath,
                                                             const std::filesystem::path& originalPath,
                                                             std::optional<std::uint64_t> fileNumber) const;
    [[nodiscard]] bool canPutBack(const std::filesystem::path& trashedPath, const std::filesystem::path& originalPath,
                                  std::optional<std::uint64_t> fileNumber) const;
    // Moves the item back, recreating missing parent folders, never replacing anything, and logs
    // a "putBack" entry with `sessionID`. Throws PutBackError (nothing touched) or
    // FileOperationError (no entry logged; a parent folder made before a failed move stays). A
    // stop requested on `stop` ends a copy across file systems, the item left in the Trash.
    void putBack(const std::filesystem::path& trashedPath, const std::filesystem::path& originalPath,
                 std::optional<std::uint64_t> fileNumber, std::optional<Uuid> sessionID, std::stop_token stop = {}) const;

private:
    struct Run;  // the counters and log context of one execute call

    bool isProtectedNow(const std::filesystem::path& url) const;
    // isProtectedNow for a held item, judged by its spelling and its link-free place: only a link
    // at the item itself is resolved again, and only what may be a folder is listed.
    bool isProtectedNow(const std::filesystem::path& url, const platform::HeldItem& held) const;
    // shouldProtect for an item that is no link: its folder resolved (once per folder, kept in
    // `places`) and its name joined to that.
    struct FolderPlaces {
        std::string spelled;
        std::string resolved;
    };
    bool isProtectedInPlace(const std::filesystem::path& url, FolderPlaces& places) const;
    std::optional<std::uint64_t> fileNumberOf(const std::filesystem::path& url) const;

    const platform::FileManager& fileManager_;
    const PathProtection& protection_;
    OperationLog& opLog_;
};

[[nodiscard]] std::string_view rawValue(SafeFileDeleter::Mode mode);
[[nodiscard]] std::string_view rawValue(SafeFileDeleter::Category category);
template <>
std::optional<SafeFileDeleter::Mode> fromRawValue<SafeFileDeleter::Mode>(std::string_view text);
template <>
std::optional<SafeFileDeleter::Category> fromRawValue<SafeFileDeleter::Category>(std::string_view text);

}  // namespace vornelo

template <>
struct std::hash<vornelo::SafeFileDeleter::Item> {
    std::size_t operator()(const vornelo::SafeFileDeleter::Item& item) const noexcept;
};

template <>
struct std::hash<vornelo::SafeFileDeleter::Failure> {
    std::size_t operator()(const vornelo::SafeFileDeleter::Failure& failure) const noexcept;
};

#pragma once
// The operation log: an append-only JSON-lines record of every file operation, each line chained
// to the line before it by its SHA-256 hash, rotated at a size threshold into five numbered files,
// with a running totals file beside it. docs/operation-log.md describes the files byte by byte.
//
// Thread safety: every member may be called from any thread. All file work runs on the log's own
// serial queue, one task at a time in submission order: append returns at once, flush and the
// queries block until every earlier append has been written. None of them may be called from a
// task running on that queue. Entry, Totals and ChainStatus are plain values that cross threads
// freely.
//
// Several processes may share one log: every write, rotation, totals update and clear happens
// under an exclusive flock on the lock file beside the log (readers take it shared), and what an
// instance caches is read again whenever the counter in that file shows that another wrote since.
//
// Failures: an entry that cannot be written is reported through Log::app() and lost, and the next
// flush returns false; every other problem (a rotation or totals write that fails, an unreadable
// line, damaged totals) degrades as the member's comment says. Only exportTo throws.

#include "Platform/Files/FileError.h"
#include "Platform/Files/FileLock.h"
#include "Platform/Encoding/Iso8601.h"
#include "Platform/Encoding/Json.h"
#include "Platform/Files/RegularFile.h"
#include "Platform/Concurrency/SerialQueue.h"
#include "Platform/Encoding/Uuid.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <expected>
#include <filesystem>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vornelo {

class CleanupSession;  // Core/CleanupSession.h

class OperationLog {
public:
    // How an item was removed. The raw values are the JSON form.
    enum class Mode { trash, permanent };
    // What became of the item.
    enum class Outcome { success, failed, skipped, dryRun };
    enum class ExportFormat { jsonl, csv };

    static constexpr std::array allModes{Mode::trash, Mode::permanent};
    static constexpr std::array allOutcomes{Outcome::success, Outcome::failed, Outcome::skipped, Outcome::dryRun};
    static constexpr std::array allExportFormats{ExportFormat::jsonl, ExportFormat::csv};

    // The action that marks a restore from the Trash; it never counts towards the byte totals.
    static constexpr std::string_view putBackAction = "putBack";

    // One record. Immutable once built, except prevHash, which only the store sets.
    class Entry {
    public:
        Entry(platform::TimePoint timestamp, std::optional<Uuid> sessionID, std::string action, std::string path,
              std::int64_t sizeBytes, Mode mode, Outcome outcome, bool dryRun,
              std::optional<std::string> detail = std::nullopt, std::optional<std::string> trashedPath = std::nullopt,
              std::optional<std::uint64_t> trashedFileNumber = std::nullopt);

        const std::optional<Uuid>& sessionID() const { return sessionID_; }
        platform::TimePoint timestamp() const { return timestamp_; }
        const std::string& action() const { return action_; }
        const std::string& path() const { return path_; }
        std::int64_t sizeBytes() const { return sizeBytes_; }
        Mode mode() const { return mode_; }
        Outcome outcome() const { return outcome_; }
        bool dryRun() const { return dryRun_; }
        const std::optional<std::string>& detail() const { return detail_; }
        const std::optional<std::string>& trashedPath() const { return trashedPath_; }
        const std::optional<std::uint64_t>& trashedFileNumber() const { return trashedFileNumber_; }
        // The line hash of the line written before this one; absent on a chain's first line.
        const std::optional<std::string>& prevHash() const { return prevHash_; }

        // "<seconds since 1970 as the shortest round-trip double, always with a fraction>-<action>-<path>",
        // e.g. "1714564800.0-trash-/home/a/x". Equal for entries with equal timestamp, action and path.
        [[nodiscard]] std::string id() const;

    private:
        friend class OperationLog;

        std::optional<Uuid> sessionID_;
        platform::TimePoint timestamp_;
        std::string action_;
        std::string path_;
        std::int64_t sizeBytes_;
        Mode mode_;
        Outcome outcome_;
        bool dryRun_;
        std::optional<std::string> detail_;
        std::optional<std::string> trashedPath_;
        std::optional<std::uint64_t> trashedFileNumber_;
        std::optional<std::string> prevHash_;
    };

    // Running sums over every entry ever written, kept beside the log.
    struct Totals {
        static constexpr std::int64_t currentAccountingVersion = 2;

        std::int64_t freedBytes = 0;            // permanent removals
        std::int64_t trashedBytes = 0;          // moves to the Trash
        std::int64_t legacyProcessedBytes = 0;  // "freedBytes" of totals written before accounting version 2
        std::int64_t operations = 0;            // every entry, whatever its outcome
        std::optional<std::string> lastHash;    // line hash of the last line written
        std::int64_t accountingVersion = currentAccountingVersion;
        // Set in the file while lines after lastHash are being written and not yet counted in it,
        // so that such lines are told apart from lines no writer of this log announced.
        bool pendingLines = false;

        Totals() = default;
        Totals(std::int64_t freed, std::int64_t operationCount, std::optional<std::string> lastLineHash,
               std::int64_t trashed, std::int64_t legacyProcessed);

        // Counts the entry; only successful, real, non-restore operations on a path add bytes
        // (a negative size adds nothing). False, and nothing changed, when a sum would pass the
        // 64-bit range: such totals are damaged.
        [[nodiscard]] bool record(const Entry& entry);

        // One JSON object; "lastHash" left out when absent.
        [[nodiscard]] std::string encoded() const;
        // Totals of either accounting; earlier ones are converted (their "freedBytes" becomes
        // legacyProcessedBytes). Nothing when "operations" is not an integer or a key holds the
        // wrong type.
        [[nodiscard]] static std::optional<Totals> decode(std::string_view json);

        friend bool operator==(const Totals&, const Totals&) = default;
    };

    struct ChainStatus {
        std::int64_t verified = 0;   // lines whose prevHash matched the line before them
        std::int64_t unchained = 0;  // lines without a link to check
        std::optional<std::int64_t> firstBrokenLine;  // 1-based, within the current log file
        bool truncated = false;      // lines are missing at the start or at the end
        // Lines after the last line the totals count: announced in the totals (a run still writing,
        // or one that ended before it stored them) or not (written by something else).
        std::int64_t pendingLines = 0;
        std::int64_t unaccountedLines = 0;
        // The line that was altered, where the chain tells it: a line whose own successor's link
        // (or, for the last line, the totals) still vouches for it points at the line before it;
        // one whose successor breaks too, or that does not decode, is itself the altered one.
        // Absent when nothing broke or the chain cannot tell firstBrokenLine from the line before.
        std::optional<std::int64_t> changedLine = std::nullopt;

        [[nodiscard]] bool isIntact() const { return !firstBrokenLine && !truncated && unaccountedLines == 0; }
        friend bool operator==(const ChainStatus&, const ChainStatus&) = default;
    };

    // What exportTo throws: the encoder's or the file system's error, unchanged in its text.
    class ExportError : public std::exception {
    public:
        explicit ExportError(std::string description) : description_(std::move(description)) {}
        const std::string& description() const { return description_; }
        const char* what() const noexcept override { return description_.c_str(); }

    private:
        std::string description_;
    };

    static constexpr std::int64_t defaultMaxFileBytes = 5'000'000;  // five million bytes, not 5 MiB
    static constexpr int rotatedFilesKept = 5;
    // The limit of tailLines that means every line.
    static constexpr std::int64_t unlimited = std::numeric_limits<std::int64_t>::max();
    // tailLines reads at most this much of a file's end; a last line longer than that is not found.
    static constexpr std::int64_t maxTailBytes = 64 * 1024 * 1024;
    static constexpr std::string_view defaultFileName = "operations.log";

    // The process-wide log, made once on first use: the user's switch from AppDefaults::store(),
    // persisted, forceable by the administrator, at sharedLogURL(). Never destroyed before exit;
    // at exit it writes what is still queued.
    static OperationLog& shared();

    // No file is touched until the first write. An absent logURL means defaultLogURL().
    OperationLog(std::optional<std::filesystem::path> logURL, bool enabled, bool persistsEnabled,
                 std::int64_t maxFileBytes);
    // Not persisted, never forced, rotated at defaultMaxFileBytes.
    OperationLog(std::optional<std::filesystem::path> logURL, bool enabled);
    // Writes every entry still queued before returning.
    ~OperationLog();
    OperationLog(const OperationLog&) = delete;
    OperationLog& operator=(const OperationLog&) = delete;

    const std::filesystem::path& fileURL() const { return logURL_; }
    const std::filesystem::path& totalsURL() const { return totalsURL_; }
    // The file that writers lock (and readers, shared) so that processes take turns.
    const std::filesystem::path& lockURL() const { return lockURL_; }
    // Rotated file `number` (1 the most recent, rotatedFilesKept the oldest).
    [[nodiscard]] std::filesystem::path rotatedURL(int number) const;
    bool persistsEnabled() const { return persistsEnabled_; }
    std::int64_t maxFileBytes() const { return maxFileBytes_; }

    // True when forced on, else the user's switch.
    [[nodiscard]] bool enabled() const;
    // Sets the user's switch (also while forced) and, when persisted, saves it under
    // "Vornelo.operationLogEnabled". False when that save failed; the switch is set regardless.
    bool setEnabled(bool value);
    // Whether the administrator forces logging on for this log (persisted logs only). Read afresh.
    [[nodiscard]] bool isForced() const;
    // The user's switch alone, as held in memory.
    [[nodiscard]] bool storedEnabled() const;

    // Copies the entry and queues its write; drops it when logging is off.
    void append(const Entry& entry);
    // Queues the entries' write as one batch, in order: one lock and one append for all of them
    // (a run hands its lines over in groups). Drops them when logging is off.
    void append(std::vector<Entry> entries);
    // Returns once every entry appended before the call has been written (or lost), and the totals
    // stored. False when an entry appended since the previous flush could not be written.
    bool flush() const;

    // The newest `limit` decodable entries of the current log file, newest first.
    [[nodiscard]] std::vector<Entry> recent(std::int64_t limit) const;
    // The totals file (with the lines it announces as pending counted), or sums rebuilt from the
    // retained lines when it is missing, unreadable or its sums cannot take another line.
    [[nodiscard]] Totals totals() const;
    [[nodiscard]] std::int64_t totalFreed() const;
    // Checks the hash chain of the current log file (and its link to rotated file 1), and whether
    // lines follow the last one the totals count. Changes no file and nothing cached.
    [[nodiscard]] ChainStatus verifyChain() const;
    // Writes every retained entry to `destination`; returns the count. A regular file there (or
    // nothing) is replaced atomically; a terminal, a character device or a FIFO is written into;
    // a link is never replaced (platform::FileReplacement::beginNamed). `standardOutput` ("-")
    // writes to standard output. Throws ExportError when encoding or writing fails; a file is then
    // left as it was.
    static constexpr std::string_view standardOutput = "-";
    std::int64_t exportTo(const std::filesystem::path& destination, ExportFormat format) const;
    // Deletes the log, its rotated files and the totals file, so the next entry starts a new chain.
    // False, and nothing deleted, when logging is forced on.
    bool clear();

    // Every decodable entry of the rotated files (oldest first) and then of the current log, as
    // written. Runs on the queue, so it sees every earlier append.
    [[nodiscard]] std::vector<Entry> retainedEntries() const;
    // The newest `limit` cleanup runs in the retained entries (a negative limit counts as 0),
    // latest first; see Core/CleanupSession.h for what a run holds.
    [[nodiscard]] std::vector<CleanupSession> cleanupSessions(std::int64_t limit) const;

    // "$XDG_STATE_HOME/vornelo/operations.log" for the current user (the variable when it holds
    // an absolute path, else "~/.local/state").
    [[nodiscard]] static std::filesystem::path defaultLogURL();
    // Where earlier versions kept the user's log: "~/Library/Logs/Vornelo".
    [[nodiscard]] static std::filesystem::path legacyLogFolder();
    // A log at the default place takes over, the first time it is used (under its lock, once
    // whatever the number of processes), the files an earlier version left in legacyLogFolder():
    // the log, its rotated files and its totals are moved unchanged, so the chain still verifies
    // and its sessions still restore. When both places hold a log neither is touched, and this
    // names the earlier folder; nothing otherwise (also for a log elsewhere).
    [[nodiscard]] std::optional<std::filesystem::path> legacyLogLeftBehind() const;
    // Where shared() logs: defaultLogURL() for the programs "Vornelo" and "vornelo-cli", otherwise
    // "operations.log" in "<temporary folder>/Vornelo-<pid>", so that other programs (tests
    // among them) never write into the user's log.
    [[nodiscard]] static std::filesystem::path sharedLogURL();
    [[nodiscard]] static std::filesystem::path sharedLogURL(std::string_view firstArgument,
                                                            std::int64_t processIdentifier);

    // The line hash: SHA-256 of the line's bytes without its line feed, as 64 lower-case hex digits.
    [[nodiscard]] static std::string hash(std::string_view lineBytes);
    // The JSON text of the entry's log line, without the line feed. Strings that are not valid
    // UTF-8 (Linux paths are bytes) are written with U+FFFD in place of the invalid bytes.
    [[nodiscard]] static std::expected<std::string, platform::JsonError> encodeLine(const Entry& entry);
    // Nothing when the line is not a valid entry.
    [[nodiscard]] static std::optional<Entry> decodeLine(std::string_view lineBytes);
    // The last `limit` lines of a file, without their line feeds, read backwards in 64 KiB chunks.
    // A limit below 1, or a missing or empty file, gives none.
    [[nodiscard]] static std::vector<std::string> tailLines(const std::filesystem::path& file, std::int64_t limit);

private:
    struct EntryFields;  // one decoded line, viewing the reader's buffers (OperationLog+Internal.h)
    [[nodiscard]] static bool decodeFields(platform::JsonObjectReader& reader, std::string_view line,
                                           std::size_t readableBytes, EntryFields& fields);
    [[nodiscard]] static Entry makeEntry(const EntryFields& fields);
    [[nodiscard]] static EntryFields fieldsOf(const Entry& entry);
    // Appends the line's JSON text (no line feed); on failure out is left as it was.
    static std::expected<void, platform::JsonError> appendLine(const EntryFields& fields, std::string& out);
    static void appendCsvRow(const EntryFields& fields, std::string& out);
    // Whether `line`, just decoded into `fields` by `reader`, is byte for byte what appendLine
    // would write for them, so that it can be copied rather than encoded again.
    [[nodiscard]] static bool isEncodedForm(const platform::JsonObjectReader& reader, std::string_view line,
                                            const EntryFields& fields);
    // The retained files as they are now, oldest first, each open with its length.
    std::vector<std::pair<platform::RegularFile, std::int64_t>> snapshotRetainedFiles() const;

    // What this instance knows of the files, as it left them when it last held the lock.
    struct View {
        std::uint64_t counter = 0;                // the lock file's counter then
        std::optional<std::string> lastLineHash;  // what the next line chains to
        std::int64_t logSize = -1;                // the current log's size; -1 when there was none
        std::uint64_t logFileNumber = 0;
        std::int64_t totalsSize = -1;             // the same for the totals file
        std::uint64_t totalsFileNumber = 0;
        Totals totals;                            // every line counted, through totals.lastHash
        bool totalsStored = true;                 // the totals file holds these sums
        bool fileMarked = false;                  // the totals file announces pending lines
    };
    using Hold = std::optional<platform::FileLock::Hold>;

    // Takes the lock for writing, making the lock file (and the log's folder) when missing.
    std::expected<platform::FileLock::Hold, platform::FileError> lockForWriting() const;
    std::expected<platform::FileLock::Hold, platform::FileError> lockExclusively() const;
    // Moves an earlier version's log here, once per instance, before the lock is first taken.
    void adoptLegacyLogOnce() const;
    void adoptLegacyLog() const;
    // Whether any file of the log at `logURL` (current, rotated or totals) is there.
    static bool holdsLog(const std::filesystem::path& logURL);
    // Takes the lock shared when the lock file exists; nothing held when it does not.
    Hold lockForReading() const;
    // Whether view_ still describes the files (the lock held).
    bool viewIsCurrent() const;
    // Notes the sizes and file numbers of the log and the totals file as they are now.
    void noteFiles(View& view) const;
    // Reads the files afresh: the last line, the totals file and the lines after the one it names.
    View loadView() const;
    // Makes view_ current and returns it (the lock held).
    View& currentView() const;
    // Raises the lock file's counter after a change and notes it in view_; with a lock file that
    // cannot be written the view is dropped, to be read again next time.
    void noteChange() const;

    void writePending();
    // Writes the entries under the lock; false when any could not be written.
    bool writeBatch(std::vector<Entry>& entries);
    // Stores the totals file when it is behind or announces lines that are now counted.
    void storeTotals() const;
    bool writeTotals(Totals totals, bool pendingLines) const;
    // Opens the current log for appending.
    std::expected<platform::RegularFile, platform::FileError> openLog() const;
    static bool endsWithLineFeed(const platform::RegularFile& file);
    // Rotates a current log that has reached the threshold; false when it is there but could not move.
    bool rotateIfNeeded() const;
    std::optional<Totals> readTotalsFile() const;
    // Sums over every retained line; lines that do not decode or would overflow are left out.
    Totals rebuiltTotals() const;
    // The retained lines after the line with this hash, searched from the end of the current log.
    struct Following {
        std::int64_t count = 0;
        std::optional<std::string> lastHash;  // of the last of them
        bool overflowed = false;              // a line could not be counted into the totals given
    };
    // Counts them into `totals` when given; nothing when no retained line has that hash.
    std::optional<Following> linesAfter(std::string_view lineHash, Totals* totals) const;
    // Calls visit(bytes, readableBytes, oversized) for each retained line, oldest first.
    void forEachRetainedLine(const std::function<void(std::string_view, std::size_t, bool)>& visit) const;
    ChainStatus verifyOnQueue() const;
    // The sizes of the current and rotated logs together.
    std::int64_t retainedBytes() const;
    void removeFiles() const;

    std::filesystem::path logURL_;
    std::filesystem::path totalsURL_;
    std::filesystem::path lockURL_;
    std::optional<std::filesystem::path> legacyFolder_;  // set for the log at the default place only
    bool persistsEnabled_;
    std::int64_t maxFileBytes_;

    mutable std::mutex stateLock_;  // guards storedEnabled_ only, for a single read or write
    bool storedEnabled_;

    std::mutex pendingLock_;        // guards pending_ only, for a single push or swap
    std::vector<Entry> pending_;    // appended, not yet taken by writePending

    // Touched only on queue_.
    mutable std::optional<platform::FileLock> lock_;
    mutable std::optional<View> view_;
    mutable bool linesLost_ = false;  // since the last flush
    mutable bool legacyChecked_ = false;
    mutable std::optional<std::filesystem::path> legacyLeftBehind_;
    // The totals file is replaced once the queue has been quiet for this long, at every flush and
    // when the log is destroyed; until then it announces the lines written after it.
    static constexpr std::chrono::milliseconds totalsQuietTime{50};

    // Declared last, so it is destroyed first: its destructor runs the queued writes while the
    // state above still exists.
    mutable platform::SerialQueue queue_{"Vornelo.oplog"};
};

[[nodiscard]] std::string_view rawValue(OperationLog::Mode mode);
[[nodiscard]] std::string_view rawValue(OperationLog::Outcome outcome);
[[nodiscard]] std::string_view rawValue(OperationLog::ExportFormat format);

// The case whose raw value is `text`, exactly; nothing for any other text.
template <typename Enumeration>
[[nodiscard]] std::optional<Enumeration> fromRawValue(std::string_view text);
template <>
std::optional<OperationLog::Mode> fromRawValue<OperationLog::Mode>(std::string_view text);
template <>
std::optional<OperationLog::Outcome> fromRawValue<OperationLog::Outcome>(std::string_view text);
template <>
std::optional<OperationLog::ExportFormat> fromRawValue<OperationLog::ExportFormat>(std::string_view text);

}  // namespace vornelo

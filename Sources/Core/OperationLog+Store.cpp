// The write side: where the log lives, the enabled switch, appending, rotation, the hash cache,
// the totals file, and the backwards tail reader that writing and the queries share.

#include "Core/OperationLog+Internal.h"

#include "Core/AppStorageKeys.h"
#include "Core/Log.h"
#include "Core/ManagedPolicy.h"
#include "Platform/Encoding/Checked.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Files/LineReader.h"
#include "Platform/Processes/ProcessInfo.h"
#include "Platform/Files/RegularFile.h"
#include "Platform/Encoding/Sha256.h"
#include "Platform/System/UserFolders.h"

#include <algorithm>
#include <string>
#include <cstring>
#include <utility>

namespace vornelo {

using platform::FileManager;
using platform::RegularFile;

namespace {

constexpr std::int64_t tailChunkBytes = 65536;
// A totals file is a few hundred bytes; anything much larger is not one.
constexpr std::size_t maxTotalsFileBytes = 64 * 1024;

// "<folder>/<stem of the log's name><suffix>": operations.log -> operations.totals.json.
std::filesystem::path besideLog(const std::filesystem::path& log, const std::string& suffix) {
    return log.parent_path() / (log.stem().native() + suffix);
}

}  // namespace

// MARK: Location and construction

std::filesystem::path OperationLog::defaultLogURL() {
    // The XDG state folder is Linux's place for logs and history; "~/Library" is no Linux folder.
    const auto home = FileManager::defaultManager().homeDirectoryForCurrentUser();
    const std::filesystem::path state = platform::UserFolders::fromEnvironment(platform::UserFolders::Base::state, home);
    return state / "vornelo" / defaultFileName;
}

std::filesystem::path OperationLog::legacyLogFolder() {
    const std::filesystem::path home = FileManager::defaultManager().homeDirectoryForCurrentUser();
    return home / "Library" / "Logs" / "Vornelo";
}

std::filesystem::path OperationLog::sharedLogURL(std::string_view firstArgument, std::int64_t processIdentifier) {
    // Linux programs have no bundle identifier, so the program name alone decides.
    const auto program = std::filesystem::path(firstArgument).filename().native();
    if (program == "Vornelo" || program == "vornelo-cli") return defaultLogURL();
    const std::filesystem::path temporary = FileManager::defaultManager().temporaryDirectory();
    return temporary / ("Vornelo-" + std::to_string(processIdentifier)) / defaultFileName;
}

std::filesystem::path OperationLog::sharedLogURL() {
    return sharedLogURL(platform::ProcessInfo::firstArgument(), platform::ProcessInfo::processIdentifier());
}

namespace {

OperationLog& makeSharedLog() {
    // Made before the log so that they outlive it: its destructor may still write and report.
    (void)Log::app();
    (void)FileManager::defaultManager();
    platform::Sha256::prepare();
    const auto stored = AppDefaults::store()->object(std::string(AppStorageKey::operationLogEnabled));
    const bool enabled = stored ? stored->asBool().value_or(true) : true;
    static OperationLog log(OperationLog::sharedLogURL(), enabled, true, OperationLog::defaultMaxFileBytes);
    return log;
}

}  // namespace

OperationLog& OperationLog::shared() {
    static OperationLog& log = makeSharedLog();
    return log;
}

OperationLog::OperationLog(std::optional<std::filesystem::path> logURL, bool enabled, bool persistsEnabled,
                           std::int64_t maxFileBytes)
    : logURL_(logURL ? std::move(*logURL) : defaultLogURL()),
      totalsURL_(besideLog(logURL_, ".totals.json")),
      lockURL_(besideLog(logURL_, ".lock")),
      legacyFolder_(logURL_ == defaultLogURL() ? std::optional(legacyLogFolder()) : std::nullopt),
      persistsEnabled_(persistsEnabled),
      maxFileBytes_(maxFileBytes),
      storedEnabled_(enabled) {}

OperationLog::OperationLog(std::optional<std::filesystem::path> logURL, bool enabled)
    : OperationLog(std::move(logURL), enabled, false, defaultMaxFileBytes) {}

OperationLog::~OperationLog() = default;  // queue_ goes first and writes what is queued

std::filesystem::path OperationLog::rotatedURL(int number) const {
    return besideLog(logURL_, "." + std::to_string(number) + ".log");
}

// MARK: Enabled switch

bool OperationLog::isForced() const { return persistsEnabled_ && ManagedPolicy::shared().forceOperationLog(); }

bool OperationLog::storedEnabled() const {
    std::lock_guard lock(stateLock_);
    return storedEnabled_;
}

bool OperationLog::enabled() const { return isForced() || storedEnabled(); }

bool OperationLog::setEnabled(bool value) {
    {
        std::lock_guard lock(stateLock_);
        storedEnabled_ = value;
    }
    if (!persistsEnabled_) return true;
    return AppDefaults::store()->set(std::string(AppStorageKey::operationLogEnabled), platform::PlistValue(value));
}

// MARK: Writing

void OperationLog::append(const Entry& entry) {
    // The user's switch first: it is a memory read, the policy a settings read.
    if (!storedEnabled() && !isForced()) return;
    bool first = false;
    {
        std::lock_guard lock(pendingLock_);
        first = pending_.empty();
        pending_.push_back(entry);
    }
    // One task takes everything appended until it runs, so a burst costs one lock and one write.
    if (first) queue_.async([this] { writePending(); });
}

bool OperationLog::flush() const {
    return queue_.sync([this] {
        storeTotals();
        return !std::exchange(linesLost_, false);
    });
}

void OperationLog::writePending() {
    std::vector<Entry> entries;
    {
        std::lock_guard lock(pendingLock_);
        entries.swap(pending_);
    }
    if (entries.empty()) return;
    if (!writeBatch(entries)) linesLost_ = true;
    // Replacing the totals file costs far more than the lines (a file renamed over another is
    // flushed first), so during a stream of entries it is replaced once, when the stream pauses.
    queue_.whenIdle(totalsQuietTime, [this] { storeTotals(); });
}

namespace {

bool reportWriteFailure(const platform::FileError& error) {
    Log::app().error("operation log write failed: %{public}s", error.description);
    return false;
}

}  // namespace

bool OperationLog::writeBatch(std::vector<Entry>& entries) {
    auto held = lockForWriting();
    if (!held) return reportWriteFailure(held.error());
    View& view = currentView();
    bool written = true;
    bool damaged = false;
    std::size_t next = 0;
    while (next < entries.size() && written) {
        (void)rotateIfNeeded();  // should the log not move, the lines go to the oversized file
        auto file = openLog();
        if (!file) {
            written = reportWriteFailure(file.error());
            break;
        }
        // No line goes in unless the totals file counts every line before it and announces more,
        // so that a line no writer announced stands out.
        if (!view.totalsStored || !view.fileMarked) {
            // Named from here on, so that only the lines after this one are taken as announced.
            if (!view.totals.lastHash) view.totals.lastHash = view.lastLineHash;
            auto totals = view.totals;
            totals.pendingLines = true;
            if (auto stored = RegularFile::replaceContents(totalsURL_, totals.encoded()); !stored) {
                written = reportWriteFailure(stored.error());
                break;
            }
            view.totalsStored = true;
            view.fileMarked = true;
        }
        const std::int64_t size = file->sizeWhenOpened();
        std::string buffer;
        // A line cut short by a crash keeps its own (broken) line instead of swallowing this one.
        if (size > 0 && !endsWithLineFeed(*file)) buffer.push_back('\n');
        auto totals = view.totals;
        auto last = view.lastLineHash;
        for (const std::size_t first = next; next < entries.size(); ++next) {
            // The threshold is checked before every line, so a file passes it by one line at most.
            if (next > first && size + static_cast<std::int64_t>(buffer.size()) >= maxFileBytes_) break;
            Entry& entry = entries[next];
            entry.prevHash_ = last;
            auto encoded = encodeLine(entry);
            if (!encoded) continue;  // cannot happen with sanitised strings; such an entry is dropped
            last = hash(*encoded);
            buffer.append(*encoded).push_back('\n');
            if (!damaged && !totals.record(entry)) damaged = true;
        }
        if (last == view.lastLineHash) continue;
        if (auto appended = file->append(buffer); !appended) {
            written = reportWriteFailure(appended.error());
            break;
        }
        view.lastLineHash = last;
        view.totals = std::move(totals);
        view.totals.lastHash = last;
        view.totalsStored = false;
    }
    if (damaged) {
        Log::app().error("operation log totals in %{public}s cannot count another line; rebuilt from the retained lines",
                         totalsURL_.native());
        view.totals = rebuiltTotals();
        view.totals.lastHash = view.lastLineHash;
    }
    // A lock file this process cannot write cannot tell others of the change, so the totals go
    // to disk now and the view is read again next time.
    if (!lock_->writable() && !view.totalsStored && RegularFile::replaceContents(totalsURL_, view.totals.encoded())) {
        view.totalsStored = true;
        view.fileMarked = false;
    }
    noteChange();
    return written;
}

void OperationLog::storeTotals() const {
    if (!view_ || (view_->totalsStored && !view_->fileMarked)) return;
    auto held = lockForWriting();
    if (!held) return;
    View& view = currentView();
    if (view.totalsStored && !view.fileMarked) return;
    // Every line is counted now (another writer's announced lines included), so the announcement
    // ends. A failure leaves the old file, and a later write puts it right.
    auto totals = view.totals;
    totals.pendingLines = false;
    if (!RegularFile::replaceContents(totalsURL_, totals.encoded())) return;
    view.totalsStored = true;
    view.fileMarked = false;
    noteChange();
}

std::expected<platform::FileLock::Hold, platform::FileError> OperationLog::lockForWriting() const {
    adoptLegacyLogOnce();
    return lockExclusively();
}

std::expected<platform::FileLock::Hold, platform::FileError> OperationLog::lockExclusively() const {
    if (!lock_ || !lock_->writable()) {
        auto opened = platform::FileLock::open(lockURL_, true);
        if (!opened && opened.error().isCocoa(platform::FileError::noSuchFile)) {
            // 0777 less the umask: the folder gets the process's default permissions.
            (void)FileManager::defaultManager().createDirectory(lockURL_.parent_path(), true, 0777);
            opened = platform::FileLock::open(lockURL_, true);
        }
        if (opened) {
            lock_ = std::move(*opened);
        } else if (!lock_) {
            return std::unexpected(opened.error());
        }
    }
    return lock_->lock(true);
}

OperationLog::Hold OperationLog::lockForReading() const {
    adoptLegacyLogOnce();
    if (!lock_) {
        auto opened = platform::FileLock::open(lockURL_, false);
        if (!opened) return std::nullopt;  // no writer has been here: nothing to wait for
        lock_ = std::move(*opened);
    }
    auto held = lock_->lock(false);
    if (!held) return std::nullopt;
    return Hold(std::move(*held));
}

bool OperationLog::viewIsCurrent() const {
    if (!view_ || !lock_ || lock_->counter() != view_->counter) return false;
    // Also a change made outside the lock (a hand edit) is noticed when it touched a file's size
    // or replaced it.
    View now;
    noteFiles(now);
    return now.logSize == view_->logSize && now.logFileNumber == view_->logFileNumber &&
           now.totalsSize == view_->totalsSize && now.totalsFileNumber == view_->totalsFileNumber;
}

void OperationLog::noteFiles(View& view) const {
    const auto& files = FileManager::defaultManager();
    const auto log = files.attributesOfItem(logURL_);
    view.logSize = log ? log->size : -1;
    view.logFileNumber = log ? log->fileNumber : 0;
    const auto totals = files.attributesOfItem(totalsURL_);
    view.totalsSize = totals ? totals->size : -1;
    view.totalsFileNumber = totals ? totals->fileNumber : 0;
}

OperationLog::View& OperationLog::currentView() const {
    if (!viewIsCurrent()) view_ = loadView();
    return *view_;
}

void OperationLog::noteChange() const {
    if (!view_) return;
    const auto advanced = lock_ ? lock_->advance() : std::nullopt;
    if (!advanced) {
        view_.reset();
        return;
    }
    view_->counter = *advanced;
    noteFiles(*view_);
}

OperationLog::View OperationLog::loadView() const {
    View view;
    view.counter = lock_ ? lock_->counter() : 0;
    noteFiles(view);
    const auto tail = tailLines(logURL_, 1);
    if (!tail.empty()) view.lastLineHash = hash(tail.back());
    const auto stored = readTotalsFile();
    // Rebuilt sums go to disk with the next line written.
    const auto rebuild = [&] {
        view.totals = rebuiltTotals();
        view.fileMarked = false;
        return view;
    };
    if (!stored) return rebuild();
    view.totals = *stored;
    view.totals.pendingLines = false;
    view.fileMarked = stored->pendingLines;
    // Totals that name no line count all lines when they announce them (the first lines of a new
    // log) and none otherwise (totals of an earlier version); a line no longer retained leaves
    // nothing to count from.
    if (!stored->lastHash && !stored->pendingLines) return view;
    auto caughtUp = view.totals;
    const auto following = linesAfter(stored->lastHash.value_or(""), stored->pendingLines ? &caughtUp : nullptr);
    if (!following || following->count == 0) return view;
    if (stored->pendingLines) {
        if (following->overflowed) {
            Log::app().error("operation log totals in %{public}s cannot count another line; rebuilt from the retained lines",
                             totalsURL_.native());
            return rebuild();
        }
        // Lines a writer announced and did not live to count (or has not counted yet).
        view.totals = std::move(caughtUp);
        view.totals.lastHash = following->lastHash;
        view.totalsStored = false;
        return view;
    }
    // Lines no writer announced were not written by this system: they are not counted, and the
    // next line links to the last counted one, so that they stay visible as a break in the chain.
    if (!stored->lastHash) return view;
    Log::app().error("operation log %{public}s: %{public}s lines after the last line its totals count were not "
                     "written by this system; they are left uncounted",
                     logURL_.native(), std::to_string(following->count));
    view.lastLineHash = stored->lastHash;
    return view;
}

std::expected<RegularFile, platform::FileError> OperationLog::openLog() const {
    return RegularFile::openForAppending(logURL_);
}

bool OperationLog::endsWithLineFeed(const RegularFile& file) {
    char last = '\n';
    const auto got = file.read(file.sizeWhenOpened() - 1, std::span<char>(&last, 1));
    return !got || *got != 1 || last == '\n';
}

bool OperationLog::rotateIfNeeded() const {
    // Judged from the path before any open, so a log that cannot be opened still moves away.
    const auto& files = FileManager::defaultManager();
    const auto attributes = files.attributesOfItem(logURL_);
    if (!attributes || attributes->type != platform::FileType::regular || attributes->size < maxFileBytes_) return true;
    // The view already holds the last line's hash, so the next line chains to rotated file 1.
    (void)files.removeFile(rotatedURL(rotatedFilesKept));
    for (int number = rotatedFilesKept - 1; number >= 1; --number) {
        if (files.fileExists(rotatedURL(number))) (void)files.renameItem(rotatedURL(number), rotatedURL(number + 1));
    }
    return files.renameItem(logURL_, rotatedURL(1)).has_value();
}

// MARK: Totals

std::optional<OperationLog::Totals> OperationLog::readTotalsFile() const {
    const auto text = RegularFile::contents(totalsURL_, maxTotalsFileBytes);
    if (!text) return std::nullopt;
    return Totals::decode(*text);
}

void OperationLog::forEachRetainedLine(const std::function<void(std::string_view, std::size_t, bool)>& visit) const {
    for (int number = rotatedFilesKept; number >= 0; --number) {
        platform::LineReader reader(number == 0 ? logURL_ : rotatedURL(number));
        while (const auto line = reader.next()) visit(line->bytes, line->readableBytes, line->oversized);
    }
}

OperationLog::Totals OperationLog::rebuiltTotals() const {
    Totals totals;
    platform::JsonObjectReader reader;
    EntryFields fields;
    std::string last;
    forEachRetainedLine([&](std::string_view line, std::size_t readable, bool oversized) {
        last.assign(line);
        if (oversized || !decodeFields(reader, line, readable, fields)) return;
        (void)totals.record(makeEntry(fields));  // a line that would overflow the sums is left out
    });
    // The sums count through the last retained line, and say so.
    if (!last.empty()) totals.lastHash = hash(last);
    return totals;
}

std::optional<OperationLog::Following> OperationLog::linesAfter(std::string_view lineHash, Totals* totals) const {
    const auto count = [&](auto begin, auto end) {
        Following following;
        for (auto line = begin; line != end; ++line) {
            ++following.count;
            following.lastHash = hash(*line);
            if (!totals || following.overflowed) continue;
            if (const auto entry = decodeLine(*line); entry && !totals->record(*entry)) following.overflowed = true;
        }
        return following;
    };
    // The named line is nearly always among the last few: a writer stores the totals before each
    // burst. An empty hash names the start: every retained line follows it.
    for (const std::int64_t window : {std::int64_t{64}, std::int64_t{4096}}) {
        if (lineHash.empty()) break;
        const auto lines = tailLines(logURL_, window);
        for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
            if (hash(*line) == lineHash) return count(line.base(), lines.end());
        }
        if (static_cast<std::int64_t>(lines.size()) < window) break;
    }
    // Otherwise every retained line is read, oldest first.
    std::vector<std::string> after;
    bool found = lineHash.empty();
    forEachRetainedLine([&](std::string_view line, std::size_t, bool) {
        if (found) {
            after.emplace_back(line);
        } else {
            found = hash(line) == lineHash;
        }
    });
    if (!found) return std::nullopt;
    return count(after.begin(), after.end());
}

// MARK: Reading a file's tail

std::vector<std::string> OperationLog::tailLines(const std::filesystem::path& file, std::int64_t limit) {
    if (limit < 1) return {};
    auto opened = RegularFile::openForReading(file);
    if (!opened) return {};
    const auto size = opened->size();
    if (!size || *size == 0) return {};
    // Chunks are read from the end towards the start and joined in file order afterwards.
    std::vector<std::string> chunks;
    std::int64_t chunkSize = std::min(*size, tailChunkBytes);
    std::int64_t offset = *size - chunkSize;
    std::int64_t lineFeeds = 0;
    std::int64_t kept = 0;
    for (;;) {
        std::string chunk(static_cast<std::size_t>(chunkSize), '\0');
        const auto got = opened->read(offset, chunk);
        if (!got || *got == 0) {
            offset = checkedAdd(offset, chunkSize);  // nothing of this chunk is kept
            break;
        }
        chunk.resize(*got);
        lineFeeds += std::count(chunk.begin(), chunk.end(), '\n');
        kept += static_cast<std::int64_t>(chunk.size());
        chunks.push_back(std::move(chunk));
        if (offset == 0) break;
        if (limit != unlimited && lineFeeds > limit + 1) break;
        if (kept >= maxTailBytes) break;
        chunkSize = std::min(offset, tailChunkBytes);
        offset -= chunkSize;
    }
    std::string buffer;
    if (chunks.size() == 1) {
        buffer = std::move(chunks.front());
    } else {
        buffer.reserve(static_cast<std::size_t>(kept));
        for (auto chunk = chunks.rbegin(); chunk != chunks.rend(); ++chunk) buffer += *chunk;
    }
    // Pieces are taken from the end, only as many as the limit asks for. Empty pieces are not
    // lines; a piece at the very start of a read that did not reach the start of the file is the
    // tail of a longer line.
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    std::size_t end = buffer.size();
    while (end > 0 && (limit == unlimited || static_cast<std::int64_t>(ranges.size()) < limit)) {
        const auto feed = buffer.rfind('\n', end - 1);
        const std::size_t start = feed == std::string::npos ? 0 : feed + 1;
        if (end > start && !(start == 0 && offset != 0)) ranges.emplace_back(start, end);
        if (feed == std::string::npos) break;
        end = feed;
    }
    std::vector<std::string> pieces;
    pieces.reserve(ranges.size());
    for (auto range = ranges.rbegin(); range != ranges.rend(); ++range) {
        pieces.emplace_back(buffer, range->first, range->second - range->first);
    }
    return pieces;
}

}  // namespace vornelo

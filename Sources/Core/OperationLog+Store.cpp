// The write side: where the log lives, the enabled switch, appending, rotation, the hash cache,
// the totals file, and the backwards tail reader that writing and the queries share.

#include "Core/OperationLog+Internal.h"

#include "Core/AppStorageKeys.h"
#include "Core/Log.h"
#include "Core/ManagedPolicy.h"
#include "Platform/Checked.h"
#include "Platform/FileManager.h"
#include "Platform/LineReader.h"
#include "Platform/ProcessInfo.h"
#include "Platform/RegularFile.h"
#include "Platform/Sha256.h"

#include <algorithm>
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
    // Linux reports no user-domain Library folder, so the Library folder in the home is used.
    const std::filesystem::path home = FileManager::defaultManager().homeDirectoryForCurrentUser();
    return home / "Library" / "Logs" / "Vornelo" / defaultFileName;
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
    queue_.async([this, entry]() mutable { write(std::move(entry)); });
}

void OperationLog::flush() const {
    queue_.sync([this] { storePendingTotals(); });
}

void OperationLog::write(Entry entry) {
    writeLine(std::move(entry));
    // Replacing the totals file costs far more than the line (a file renamed over another is
    // flushed first), so during a stream of entries it is replaced once, when the stream pauses.
    queue_.whenIdle(totalsQuietTime, [this] { storePendingTotals(); });
}

void OperationLog::storePendingTotals() const {
    if (!pendingTotals_) return;
    // A failure leaves the old file, and a later write or a rebuild puts it right.
    (void)RegularFile::replaceContents(totalsURL_, pendingTotals_->encoded());
    pendingTotals_.reset();
}

void OperationLog::writeLine(Entry entry) {
    auto file = openLog();
    // The size comes from the open descriptor: a file that has reached the threshold moves away
    // first, and the line starts the next file.
    if (file && file->sizeWhenOpened() >= maxFileBytes_ && rotate()) file = openLog();
    if (!file) {
        Log::app().error("operation log write failed: %{public}s", file.error().description);
        return;
    }
    entry.prevHash_ = currentLastLineHash();
    auto encoded = encodeLine(entry);
    if (!encoded) return;  // cannot happen with sanitised strings; an unencodable entry is dropped
    std::string& line = *encoded;
    const std::size_t jsonBytes = line.size();
    const auto size = file->sizeWhenOpened();
    // A line cut short by a crash keeps its own (broken) line instead of swallowing the start of
    // this one. A file that is as long as this log left it ends in this log's own line feed.
    const bool separate = size > 0 && size != knownLogSize_ && !endsWithLineFeed(*file);
    if (separate) line.insert(line.begin(), '\n');
    line.push_back('\n');
    if (auto appended = file->append(line); !appended) {
        Log::app().error("operation log write failed: %{public}s", appended.error().description);
        return;
    }
    knownLogSize_ = size + static_cast<std::int64_t>(line.size());
    lastLineHash_ = hash(std::string_view(line).substr(separate ? 1 : 0, jsonBytes));
    lastLineHashLoaded_ = true;
    auto totals = loadTotals(true);
    // Totals stored before a crash in the middle of a burst name an earlier line than this
    // one's predecessor; the lines after it are counted now.
    if (totals.lastHash && totals.lastHash != entry.prevHash_) countLinesAfter(totals, true);
    totals.record(entry);
    totals.lastHash = lastLineHash_;
    pendingTotals_ = std::move(totals);
}

std::expected<RegularFile, platform::FileError> OperationLog::openLog() const {
    auto file = RegularFile::openForAppending(logURL_);
    if (!file && file.error().isCocoa(platform::FileError::noSuchFile)) {
        // The folder is made only when it is found missing; a failure shows in the second open.
        (void)FileManager::defaultManager().createDirectory(logURL_.parent_path(), true);
        file = RegularFile::openForAppending(logURL_);
    }
    return file;
}

bool OperationLog::endsWithLineFeed(const RegularFile& file) {
    char last = '\n';
    const auto got = file.read(file.sizeWhenOpened() - 1, std::span<char>(&last, 1));
    return !got || *got != 1 || last == '\n';
}

bool OperationLog::rotate() {
    const auto& files = FileManager::defaultManager();
    // Cached before the file moves, so the next line chains to what becomes rotated file 1.
    (void)currentLastLineHash();
    (void)files.removeFile(rotatedURL(rotatedFilesKept));
    for (int number = rotatedFilesKept - 1; number >= 1; --number) {
        if (files.fileExists(rotatedURL(number))) (void)files.renameItem(rotatedURL(number), rotatedURL(number + 1));
    }
    // Should this fail, the line goes to the current, oversized file.
    return files.renameItem(logURL_, rotatedURL(1)).has_value();
}

std::optional<std::string> OperationLog::currentLastLineHash() {
    if (lastLineHashLoaded_) return lastLineHash_;
    lastLineHashLoaded_ = true;
    const auto lines = tailLines(logURL_, 1);
    lastLineHash_ = lines.empty() ? std::nullopt : std::optional(hash(lines.back()));
    return lastLineHash_;
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

OperationLog::Totals OperationLog::loadTotals(bool excludingLastLine) const {
    // Not yet in the file, they are the newest sums; they count no line written after them.
    if (pendingTotals_) return *pendingTotals_;
    if (auto stored = readTotalsFile()) return *stored;
    // Rebuilt from the retained lines. Each line is counted when the next one arrives, so that
    // the last can be left out: the write path has just appended it and counts it itself.
    Totals totals;
    platform::JsonObjectReader reader;
    std::optional<Entry> pending;
    bool havePending = false;
    forEachRetainedLine([&](std::string_view line, std::size_t readable, bool oversized) {
        if (havePending && pending) totals.record(*pending);
        havePending = true;
        pending.reset();
        EntryFields fields;
        if (!oversized && decodeFields(reader, line, readable, fields)) pending = makeEntry(fields);
    });
    if (havePending && pending && !excludingLastLine) totals.record(*pending);
    return totals;
}

void OperationLog::countLinesAfter(Totals& totals, bool excludingLastLine) const {
    const std::string named = *totals.lastHash;
    Totals caughtUp = totals;
    platform::JsonObjectReader reader;
    std::optional<Entry> pending;  // each line is counted when the next arrives, so the last can be left out
    bool found = false;
    std::optional<std::string> beforeLast;
    std::optional<std::string> last;
    forEachRetainedLine([&](std::string_view line, std::size_t readable, bool oversized) {
        const auto lineHash = hash(line);
        if (!found) {
            found = lineHash == named;
            return;
        }
        if (pending) caughtUp.record(*pending);
        pending.reset();
        beforeLast = std::exchange(last, lineHash);
        EntryFields fields;
        if (!oversized && decodeFields(reader, line, readable, fields)) pending = makeEntry(fields);
    });
    // A line that is no longer retained (or never was) leaves nothing to count from.
    if (!found) return;
    if (pending && !excludingLastLine) caughtUp.record(*pending);
    const auto& counted = excludingLastLine ? beforeLast : last;
    if (counted) caughtUp.lastHash = *counted;
    totals = std::move(caughtUp);
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

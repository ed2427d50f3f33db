// The read side: recent entries, totals, chain verification, export and clearing.

#include "Core/OperationLog+Internal.h"

#include "Platform/Encoding/Checked.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Files/FileReplacement.h"
#include "Platform/Files/LineReader.h"
#include "Platform/Files/RegularFile.h"
#include "Platform/Encoding/Sha256.h"
#include "Platform/Encoding/Text.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace vornelo {

std::vector<OperationLog::Entry> OperationLog::recent(std::int64_t limit) const {
    if (limit < 1) return {};
    const auto lines = queue_.sync([&] {
        const auto held = lockForReading();
        return tailLines(logURL_, limit);
    });
    std::vector<Entry> entries;
    entries.reserve(lines.size());
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        if (auto entry = decodeLine(*line)) entries.push_back(std::move(*entry));
    }
    return entries;
}

OperationLog::Totals OperationLog::totals() const {
    return queue_.sync([&] {
        // Without a lock file no writer of this log has been here, and nothing is cached.
        if (const auto held = lockForReading()) return currentView().totals;
        return loadView().totals;
    });
}

std::int64_t OperationLog::totalFreed() const { return totals().freedBytes; }

std::int64_t OperationLog::retainedBytes() const {
    const auto& files = platform::FileManager::defaultManager();
    std::int64_t total = 0;
    for (int number = 0; number <= rotatedFilesKept; ++number) {
        if (const auto attributes = files.attributesOfItem(number == 0 ? logURL_ : rotatedURL(number))) {
            total = checkedAdd(total, attributes->size);
        }
    }
    return total;
}

std::vector<OperationLog::Entry> OperationLog::retainedEntries() const {
    return queue_.sync([&] {
        const auto held = lockForReading();
        std::vector<Entry> entries;
        // Room for lines of a typical length, so that growing the list rarely moves it.
        entries.reserve(static_cast<std::size_t>(retainedBytes() / 200));
        platform::JsonObjectReader reader;
        EntryFields fields;
        forEachRetainedLine([&](std::string_view line, std::size_t readable, bool oversized) {
            if (!oversized && decodeFields(reader, line, readable, fields)) entries.push_back(makeEntry(fields));
        });
        return entries;
    });
}

// MARK: Verification

OperationLog::ChainStatus OperationLog::verifyChain() const {
    return queue_.sync([&] {
        const auto held = lockForReading();
        return verifyOnQueue();
    });
}

OperationLog::ChainStatus OperationLog::verifyOnQueue() const {
    using platform::Sha256;
    ChainStatus status;
    platform::JsonObjectReader reader;
    Sha256 hasher;
    EntryFields fields;
    std::optional<Sha256::HexDigest> previous;  // hash of the line before the current one
    std::int64_t number = 0;
    const auto matches = [](std::string_view link, const Sha256::HexDigest& digest) {
        return link == std::string_view(digest.data(), digest.size());
    };
    const auto broken = [&](std::int64_t line, std::optional<std::int64_t> changed) {
        status.firstBrokenLine = line;
        status.changedLine = changed;
        status.truncated = false;
        return status;
    };
    // The last counted line: this instance's own sums when nobody wrote since (they count every
    // line), else the totals file's, whose announced lines are still to be counted.
    std::optional<std::string> recordedLast;
    bool announced = false;
    if (viewIsCurrent()) {
        recordedLast = view_->totals.lastHash;
    } else if (const auto recorded = readTotalsFile()) {
        recordedLast = recorded->lastHash;
        announced = recorded->pendingLines;
    }
    std::optional<std::int64_t> recordedAt;
    platform::LineReader lines(logURL_);
    // A link that fails at `number` says that line or the one before it changed; whether the
    // line itself is still vouched for decides which.
    const auto brokenLink = [&](std::string_view bytes) {
        const auto digest = Sha256::hex(hasher.digest(bytes));
        std::optional<bool> vouched;
        if (const auto next = lines.next()) {
            if (!next->oversized && decodeFields(reader, next->bytes, next->readableBytes, fields) && fields.prevHash) {
                vouched = matches(*fields.prevHash, digest);
            }
        } else if (recordedLast && matches(*recordedLast, digest)) {
            vouched = true;
        }
        if (!vouched) return broken(number, std::nullopt);
        if (!*vouched) return broken(number, number);
        // Line 1's predecessor is the last line of a rotated file: not a line of this one.
        return broken(number, number > 1 ? std::optional(number - 1) : std::nullopt);
    };
    while (const auto line = lines.next()) {
        ++number;
        if (line->oversized || !decodeFields(reader, line->bytes, line->readableBytes, fields)) return broken(number, number);
        if (!fields.prevHash) {
            ++status.unchained;
        } else if (number == 1) {
            // The first line links to the last line of rotated file 1, if that is still there.
            const auto before = tailLines(rotatedURL(1), 1);
            if (before.empty()) {
                ++status.unchained;
                status.truncated = true;
            } else if (matches(*fields.prevHash, Sha256::hex(hasher.digest(before.back())))) {
                ++status.verified;
            } else {
                return brokenLink(line->bytes);
            }
        } else if (previous && matches(*fields.prevHash, *previous)) {
            ++status.verified;
        } else {
            return brokenLink(line->bytes);
        }
        previous = Sha256::hex(hasher.digest(line->bytes));
        if (recordedLast && matches(*recordedLast, *previous)) recordedAt = number;
    }
    if (!recordedLast) return status;
    std::int64_t after = 0;
    if (recordedAt) {
        after = number - *recordedAt;
    } else if (const auto following = linesAfter(*recordedLast, nullptr)) {
        after = following->count;  // the counted line lies in a rotated file
    } else {
        status.truncated = true;  // lines were removed from the end
    }
    (announced ? status.pendingLines : status.unaccountedLines) = after;
    return status;
}

// MARK: Export

namespace {

constexpr std::size_t exportChunkBytes = 1024 * 1024;
constexpr std::string_view csvHeader = "timestamp,action,outcome,mode,dryRun,sizeBytes,path,trashedPath,detail,sessionID\n";

// A plain loop: find_first_of looks each byte up with memchr, which costs export its speed.
bool needsCsvQuotes(std::string_view field) {
    for (const char c : field) {
        if (c == ',' || c == '"' || c == '\r' || c == '\n') return true;
    }
    return false;
}

void appendCsvField(std::string_view field, std::string& out) {
    if (!needsCsvQuotes(field)) {
        out.append(field);
        return;
    }
    out += '"';
    for (const char c : field) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

}  // namespace

namespace {

constexpr std::array<std::string_view, 12> lineKeys = {"action",    "detail",    "dryRun",     "mode",
                                                       "outcome",   "path",      "prevHash",   "sessionID",
                                                       "sizeBytes", "timestamp", "trashedFileNumber", "trashedPath"};

std::size_t decimalDigits(std::uint64_t value) {
    std::size_t digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

enum class Escapes { some, none, noneButHighBytes };

// Eight bytes at a time: a log line is mostly plain text, and export looks at every byte of it.
Escapes escapeFreeness(std::string_view line) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    std::uint64_t high = 0;
    std::size_t at = 0;
    for (; at + 8 <= line.size(); at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, line.data() + at, 8);
        high |= word;
        const std::uint64_t control = (word - ones * 0x20) & ~word & highs;  // a byte below 0x20
        const std::uint64_t slashes = word ^ (ones * '\\');
        const std::uint64_t backslash = (slashes - ones) & ~slashes & highs;  // a byte equal to it
        if ((control | backslash) != 0) return Escapes::some;
    }
    for (; at < line.size(); ++at) {
        const auto byte = static_cast<unsigned char>(line[at]);
        if (byte < 0x20 || byte == '\\') return Escapes::some;
        high |= byte;
    }
    return (high & highs) != 0 ? Escapes::noneButHighBytes : Escapes::none;
}

// The bytes the writer spends on a value that needs no escape.
std::optional<std::size_t> encodedLength(const platform::JsonValue& value) {
    using Kind = platform::JsonValue::Kind;
    switch (value.kind) {
        case Kind::string: return value.string.size() + 2;
        case Kind::boolean: return value.boolean ? 4 : 5;
        case Kind::integer:
            return value.integer < 0 ? 1 + decimalDigits(0 - static_cast<std::uint64_t>(value.integer))
                                     : decimalDigits(static_cast<std::uint64_t>(value.integer));
        case Kind::unsignedInteger: return decimalDigits(value.unsignedInteger);
        default: return std::nullopt;  // null is left out by the writer, the rest is no line's
    }
}

}  // namespace

bool OperationLog::isEncodedForm(const platform::JsonObjectReader& reader, std::string_view line, const EntryFields& fields) {
    // Without a backslash or a control byte no string holds an escape, so each is its bytes in quotes.
    const auto escapes = escapeFreeness(line);
    if (escapes == Escapes::some) return false;
    if (escapes == Escapes::noneButHighBytes && !platform::Text::isValidUtf8(line)) return false;
    // The writer's members: known keys in sorted order, each once; then no byte but theirs.
    std::size_t length = 1;
    auto expected = lineKeys.begin();
    for (const auto& member : reader.members()) {
        while (expected != lineKeys.end() && *expected != member.key) ++expected;
        if (expected == lineKeys.end()) return false;
        ++expected;
        const auto value = encodedLength(member.value);
        if (!value) return false;
        length += member.key.size() + 3 + *value + 1;  // "key":value and a comma or the closing brace
    }
    if (length != line.size()) return false;
    // Values the decoder reads more freely than the writer writes them.
    const auto find = [&](std::string_view key) {
        for (const auto& member : reader.members()) {
            if (member.key == key) return member.value.string;
        }
        return std::string_view();
    };
    if (find("timestamp") != platform::Iso8601::format(fields.timestamp)) return false;
    return !fields.sessionID || find("sessionID") == fields.sessionID->uuidString();
}

void OperationLog::appendCsvRow(const EntryFields& fields, std::string& out) {
    const std::string timestamp = platform::Iso8601::format(fields.timestamp);
    const std::string size = std::to_string(fields.sizeBytes);
    const std::string session = fields.sessionID ? fields.sessionID->uuidString() : std::string();
    const std::string_view row[] = {
        timestamp, fields.action, rawValue(fields.outcome), rawValue(fields.mode), fields.dryRun ? "true" : "false",
        size, fields.path, fields.trashedPath.value_or(""), fields.detail.value_or(""), session,
    };
    for (std::size_t i = 0; i < std::size(row); ++i) {
        if (i > 0) out += ',';
        appendCsvField(row[i], out);
    }
    out += '\n';
}

std::vector<std::pair<platform::RegularFile, std::int64_t>> OperationLog::snapshotRetainedFiles() const {
    // The files only ever grow at their end, and an open file outlives a rotation or a clear, so
    // the files open now, up to their present lengths, are the log as it stands at this point.
    return queue_.sync([&] {
        const auto held = lockForReading();
        std::vector<std::pair<platform::RegularFile, std::int64_t>> files;
        for (int number = rotatedFilesKept; number >= 0; --number) {
            auto file = platform::RegularFile::openForReading(number == 0 ? logURL_ : rotatedURL(number));
            if (!file) continue;
            const auto length = file->sizeWhenOpened();
            files.emplace_back(std::move(*file), length);
        }
        return files;
    });
}

std::int64_t OperationLog::exportTo(const std::filesystem::path& destination, ExportFormat format) const {
    // Only the snapshot is taken on the queue; decoding, encoding and writing happen here, in
    // bounded memory, while appends carry on.
    auto files = snapshotRetainedFiles();
    auto output = destination == standardOutput ? platform::FileReplacement::standardOutput()
                                                : platform::FileReplacement::beginNamed(destination);
    if (!output) throw ExportError(output.error().description);
    std::string chunk;
    chunk.reserve(exportChunkBytes + 64 * 1024);
    if (format == ExportFormat::csv) chunk = csvHeader;
    const auto flush = [&] {
        if (auto written = output->write(chunk); !written) throw ExportError(written.error().description);
        chunk.clear();
    };
    std::int64_t count = 0;
    platform::JsonObjectReader reader;
    EntryFields fields;
    for (auto& [file, length] : files) {
        platform::LineReader lines(std::move(file), length);
        while (const auto line = lines.next()) {
            if (line->oversized || !decodeFields(reader, line->bytes, line->readableBytes, fields)) continue;
            if (format == ExportFormat::csv) {
                appendCsvRow(fields, chunk);
            } else if (isEncodedForm(reader, line->bytes, fields)) {
                chunk.append(line->bytes).push_back('\n');  // as the writer wrote it: no need to encode it again
            } else if (auto written = appendLine(fields, chunk); written) {
                chunk += '\n';
            } else {
                throw ExportError(written.error().description);
            }
            ++count;
            if (chunk.size() >= exportChunkBytes) flush();
        }
    }
    flush();
    if (auto committed = output->commit(); !committed) throw ExportError(committed.error().description);
    return count;
}

// MARK: Clearing

void OperationLog::removeFiles() const {
    const auto& files = platform::FileManager::defaultManager();
    (void)files.removeFile(logURL_);
    (void)files.removeFile(totalsURL_);
    for (int number = 1; number <= rotatedFilesKept; ++number) (void)files.removeFile(rotatedURL(number));
}

bool OperationLog::clear() {
    if (isForced()) return false;
    queue_.sync([&] {
        adoptLegacyLogOnce();  // a log still at the earlier place is the user's log too
        // The lock file stays: another process may be waiting on it. It is made by writers only.
        if (!lock_) {
            if (auto opened = platform::FileLock::open(lockURL_, false)) lock_ = std::move(*opened);
        }
        std::optional<platform::FileLock::Hold> held;
        if (lock_) {
            if (auto taken = lock_->lock(true)) held.emplace(std::move(*taken));
        }
        removeFiles();
        // The next entry starts a new chain, and new totals from zero.
        view_ = View{};
        if (held) noteChange();
    });
    return true;
}

}  // namespace vornelo

// The read side: recent entries, totals, chain verification, export and clearing.

#include "Core/OperationLog+Internal.h"

#include "Platform/FileManager.h"
#include "Platform/LineReader.h"
#include "Platform/RegularFile.h"
#include "Platform/Sha256.h"

#include <cstring>

namespace vornelo {

std::vector<OperationLog::Entry> OperationLog::recent(std::int64_t limit) const {
    if (limit < 1) return {};
    const auto lines = queue_.sync([&] { return tailLines(logURL_, limit); });
    std::vector<Entry> entries;
    entries.reserve(lines.size());
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        if (auto entry = decodeLine(*line)) entries.push_back(std::move(*entry));
    }
    return entries;
}

OperationLog::Totals OperationLog::totals() const {
    return queue_.sync([&] { return loadTotals(false); });
}

std::int64_t OperationLog::totalFreed() const { return totals().freedBytes; }

std::vector<OperationLog::Entry> OperationLog::retainedEntries() const {
    return queue_.sync([&] {
        std::vector<Entry> entries;
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
    return queue_.sync([&] { return verifyOnQueue(); });
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
    const auto broken = [&](std::int64_t line) {
        status.firstBrokenLine = line;
        status.truncated = false;
        return status;
    };
    platform::LineReader lines(logURL_);
    while (const auto line = lines.next()) {
        ++number;
        if (line->oversized || !decodeFields(reader, line->bytes, line->readableBytes, fields)) return broken(number);
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
                return broken(number);
            }
        } else if (previous && matches(*fields.prevHash, *previous)) {
            ++status.verified;
        } else {
            return broken(number);
        }
        previous = Sha256::hex(hasher.digest(line->bytes));
    }
    // Lines removed from the end leave the totals file naming a last line that is not there.
    if (const auto recorded = readTotalsFile(); recorded && recorded->lastHash) {
        if (number == 0 || !previous || !matches(*recorded->lastHash, *previous)) status.truncated = true;
    }
    return status;
}

// MARK: Export

namespace {

std::string csvField(std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(field);
    std::string quoted = "\"";
    for (const char c : field) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

void appendCsvRow(const OperationLog::Entry& entry, std::string& out) {
    const std::string fields[] = {
        platform::Iso8601::format(entry.timestamp()),
        entry.action(),
        std::string(rawValue(entry.outcome())),
        std::string(rawValue(entry.mode())),
        entry.dryRun() ? "true" : "false",
        std::to_string(entry.sizeBytes()),
        entry.path(),
        entry.trashedPath().value_or(""),
        entry.detail().value_or(""),
        entry.sessionID() ? entry.sessionID()->uuidString() : "",
    };
    bool first = true;
    for (const auto& field : fields) {
        if (!first) out += ',';
        first = false;
        out += csvField(field);
    }
    out += '\n';
}

}  // namespace

std::int64_t OperationLog::exportTo(const std::filesystem::path& destination, ExportFormat format) const {
    // Gathered on the queue; encoded and written here, so appends carry on meanwhile.
    const auto entries = retainedEntries();
    std::string output;
    if (format == ExportFormat::csv) {
        output = "timestamp,action,outcome,mode,dryRun,sizeBytes,path,trashedPath,detail,sessionID\n";
        for (const auto& entry : entries) appendCsvRow(entry, output);
    } else {
        for (const auto& entry : entries) {
            const auto line = encodeLine(entry);
            if (!line) throw ExportError(line.error().description);
            output.append(*line).push_back('\n');
        }
    }
    if (auto written = platform::RegularFile::replaceContents(destination, output); !written) {
        throw ExportError(written.error().description);
    }
    return static_cast<std::int64_t>(entries.size());
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
        removeFiles();
        lastLineHash_.reset();
        lastLineHashLoaded_ = true;
        knownLogSize_ = -1;
    });
    return true;
}

}  // namespace vornelo

// The record types and their byte forms: the log line, the line hash and the totals JSON.

#include "Core/OperationLog+Internal.h"

#include "Platform/Encoding/Sha256.h"
#include "Platform/Encoding/Text.h"

#include <charconv>
#include <chrono>

namespace vornelo {

using platform::JsonMember;
using platform::JsonValue;

std::string_view rawValue(OperationLog::Mode mode) {
    switch (mode) {
        case OperationLog::Mode::trash: return "trash";
        case OperationLog::Mode::permanent: return "permanent";
    }
    return "trash";
}

std::string_view rawValue(OperationLog::Outcome outcome) {
    switch (outcome) {
        case OperationLog::Outcome::success: return "success";
        case OperationLog::Outcome::failed: return "failed";
        case OperationLog::Outcome::skipped: return "skipped";
        case OperationLog::Outcome::dryRun: return "dryRun";
    }
    return "success";
}

std::string_view rawValue(OperationLog::ExportFormat format) {
    switch (format) {
        case OperationLog::ExportFormat::jsonl: return "jsonl";
        case OperationLog::ExportFormat::csv: return "csv";
    }
    return "jsonl";
}

namespace {

template <typename Enumeration, std::size_t count>
std::optional<Enumeration> caseNamed(std::string_view text, const std::array<Enumeration, count>& cases) {
    for (const auto candidate : cases) {
        if (rawValue(candidate) == text) return candidate;
    }
    return std::nullopt;
}

}  // namespace

template <>
std::optional<OperationLog::Mode> fromRawValue<OperationLog::Mode>(std::string_view text) {
    return caseNamed(text, OperationLog::allModes);
}

template <>
std::optional<OperationLog::Outcome> fromRawValue<OperationLog::Outcome>(std::string_view text) {
    return caseNamed(text, OperationLog::allOutcomes);
}

template <>
std::optional<OperationLog::ExportFormat> fromRawValue<OperationLog::ExportFormat>(std::string_view text) {
    return caseNamed(text, OperationLog::allExportFormats);
}

// MARK: Entry

OperationLog::Entry::Entry(platform::TimePoint timestamp, std::optional<Uuid> sessionID, std::string action,
                           std::string path, std::int64_t sizeBytes, Mode mode, Outcome outcome, bool dryRun,
                           std::optional<std::string> detail, std::optional<std::string> trashedPath,
                           std::optional<std::uint64_t> trashedFileNumber)
    : sessionID_(sessionID),
      timestamp_(timestamp),
      action_(std::move(action)),
      path_(std::move(path)),
      sizeBytes_(sizeBytes),
      mode_(mode),
      outcome_(outcome),
      dryRun_(dryRun),
      detail_(std::move(detail)),
      trashedPath_(std::move(trashedPath)),
      trashedFileNumber_(trashedFileNumber) {}

namespace {

// Seconds since 1970 as the shortest decimal that reads back to the same double, with a fraction
// always shown ("1714564800.0", "1714564800.25").
std::string secondsText(platform::TimePoint time) {
    using namespace std::chrono;
    const auto sinceEpoch = time.time_since_epoch();
    const auto whole = floor<seconds>(sinceEpoch);
    const auto fraction = duration_cast<nanoseconds>(sinceEpoch - whole);
    // Whole and fractional parts separately: the nanosecond count alone does not fit a double.
    const double value = static_cast<double>(whole.count()) + static_cast<double>(fraction.count()) / 1e9;
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    std::string text(buffer, result.ptr);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

}  // namespace

std::string OperationLog::Entry::id() const { return secondsText(timestamp_) + "-" + action_ + "-" + path_; }

// MARK: Log line

namespace {

// Linux paths are bytes: what is not UTF-8 is written with replacement characters, so the entry
// is kept rather than refused by the encoder.
std::string_view utf8(std::string_view text, std::string& storage) {
    unsigned char high = 0;  // most paths are ASCII, which needs no closer look
    for (const char c : text) high |= static_cast<unsigned char>(c);
    if (high < 0x80 || platform::Text::isValidUtf8(text)) return text;
    storage = platform::Text::sanitizedUtf8(text);
    return storage;
}

}  // namespace

OperationLog::EntryFields OperationLog::fieldsOf(const Entry& entry) {
    const auto view = [](const std::optional<std::string>& text) {
        return text ? std::optional<std::string_view>(*text) : std::nullopt;
    };
    return EntryFields{entry.sessionID(),        entry.timestamp(),  entry.action(),      entry.path(),
                       entry.sizeBytes(),        entry.mode(),       entry.outcome(),     entry.dryRun(),
                       view(entry.detail()),     view(entry.trashedPath()), entry.trashedFileNumber(),
                       view(entry.prevHash())};
}

std::expected<void, platform::JsonError> OperationLog::appendLine(const EntryFields& fields, std::string& out) {
    std::string scratch;  // each converted string is consumed by the writer before the next
    platform::JsonObjectWriter object(out);  // keys below in the sorted order the writer insists on
    object.string("action", utf8(fields.action, scratch));
    if (fields.detail) object.string("detail", utf8(*fields.detail, scratch));
    object.boolean("dryRun", fields.dryRun);
    object.string("mode", rawValue(fields.mode));
    object.string("outcome", rawValue(fields.outcome));
    object.string("path", utf8(fields.path, scratch));
    if (fields.prevHash) object.string("prevHash", utf8(*fields.prevHash, scratch));
    if (fields.sessionID) object.string("sessionID", fields.sessionID->uuidString());
    object.integer("sizeBytes", fields.sizeBytes);
    object.string("timestamp", platform::Iso8601::format(fields.timestamp));
    if (fields.trashedFileNumber) object.unsignedInteger("trashedFileNumber", *fields.trashedFileNumber);
    if (fields.trashedPath) object.string("trashedPath", utf8(*fields.trashedPath, scratch));
    return object.finish();
}

std::expected<std::string, platform::JsonError> OperationLog::encodeLine(const Entry& entry) {
    std::string line;
    if (auto written = appendLine(fieldsOf(entry), line); !written) return std::unexpected(written.error());
    return line;
}

namespace {

// Each reader of a member answers whether the value was acceptable; null counts as absent.
bool readString(const JsonValue& value, std::optional<std::string_view>& into) {
    if (value.kind == JsonValue::Kind::null) {
        into.reset();
        return true;
    }
    if (value.kind != JsonValue::Kind::string) return false;
    into = value.string;
    return true;
}

bool readInteger(const JsonValue& value, std::optional<std::int64_t>& into) {
    if (value.kind == JsonValue::Kind::null) {
        into.reset();
        return true;
    }
    if (value.kind != JsonValue::Kind::integer) return false;
    into = value.integer;
    return true;
}

bool readUnsigned(const JsonValue& value, std::optional<std::uint64_t>& into) {
    if (value.kind == JsonValue::Kind::null) {
        into.reset();
        return true;
    }
    if (value.kind == JsonValue::Kind::unsignedInteger) {
        into = value.unsignedInteger;
        return true;
    }
    if (value.kind != JsonValue::Kind::integer || value.integer < 0) return false;
    into = static_cast<std::uint64_t>(value.integer);
    return true;
}

bool readBoolean(const JsonValue& value, std::optional<bool>& into) {
    if (value.kind == JsonValue::Kind::null) {
        into.reset();
        return true;
    }
    if (value.kind != JsonValue::Kind::boolean) return false;
    into = value.boolean;
    return true;
}

// The raw members of one entry object, before the required ones are checked.
struct RawEntry {
    std::optional<std::string_view> action, detail, mode, outcome, path, prevHash, sessionID, timestamp, trashedPath;
    std::optional<std::int64_t> sizeBytes;
    std::optional<std::uint64_t> trashedFileNumber;
    std::optional<bool> dryRun;
};

bool readMember(const JsonMember& member, RawEntry& raw) {
    const auto& key = member.key;
    const auto& value = member.value;
    // Dispatch on the first letter keeps this a handful of comparisons per member.
    switch (key.empty() ? '\0' : key.front()) {
        case 'a': return key != "action" || readString(value, raw.action);
        case 'd':
            if (key == "detail") return readString(value, raw.detail);
            return key != "dryRun" || readBoolean(value, raw.dryRun);
        case 'm': return key != "mode" || readString(value, raw.mode);
        case 'o': return key != "outcome" || readString(value, raw.outcome);
        case 'p':
            if (key == "path") return readString(value, raw.path);
            return key != "prevHash" || readString(value, raw.prevHash);
        case 's':
            if (key == "sessionID") return readString(value, raw.sessionID);
            return key != "sizeBytes" || readInteger(value, raw.sizeBytes);
        case 't':
            if (key == "timestamp") return readString(value, raw.timestamp);
            if (key == "trashedPath") return readString(value, raw.trashedPath);
            return key != "trashedFileNumber" || readUnsigned(value, raw.trashedFileNumber);
        default: return true;  // keys this reader does not know are ignored
    }
}

}  // namespace

bool OperationLog::decodeFields(platform::JsonObjectReader& reader, std::string_view line, std::size_t readableBytes,
                                EntryFields& fields) {
    if (!reader.parse(line, readableBytes)) return false;
    RawEntry raw;
    for (const auto& member : reader.members()) {
        if (!readMember(member, raw)) return false;
    }
    if (!raw.action || !raw.path || !raw.sizeBytes || !raw.mode || !raw.outcome || !raw.dryRun || !raw.timestamp) {
        return false;
    }
    const auto mode = fromRawValue<Mode>(*raw.mode);
    const auto outcome = fromRawValue<Outcome>(*raw.outcome);
    const auto timestamp = platform::Iso8601::parse(*raw.timestamp);
    if (!mode || !outcome || !timestamp) return false;
    std::optional<Uuid> session;
    if (raw.sessionID) {
        session = Uuid::fromString(*raw.sessionID);
        if (!session) return false;
    }
    fields = EntryFields{session,    *timestamp,      *raw.action,         *raw.path,           *raw.sizeBytes,
                         *mode,      *outcome,        *raw.dryRun,         raw.detail,          raw.trashedPath,
                         raw.trashedFileNumber,       raw.prevHash};
    return true;
}

OperationLog::Entry OperationLog::makeEntry(const EntryFields& fields) {
    const auto text = [](const std::optional<std::string_view>& view) {
        return view ? std::optional<std::string>(*view) : std::nullopt;
    };
    Entry entry(fields.timestamp, fields.sessionID, std::string(fields.action), std::string(fields.path),
                fields.sizeBytes, fields.mode, fields.outcome, fields.dryRun, text(fields.detail),
                text(fields.trashedPath), fields.trashedFileNumber);
    entry.prevHash_ = text(fields.prevHash);
    return entry;
}

std::optional<OperationLog::Entry> OperationLog::decodeLine(std::string_view lineBytes) {
    thread_local platform::JsonObjectReader reader;
    EntryFields fields;
    if (!decodeFields(reader, lineBytes, 0, fields)) return std::nullopt;
    return makeEntry(fields);
}

std::string OperationLog::hash(std::string_view lineBytes) { return platform::Sha256::hexString(lineBytes); }

// MARK: Totals

OperationLog::Totals::Totals(std::int64_t freed, std::int64_t operationCount, std::optional<std::string> lastLineHash,
                             std::int64_t trashed, std::int64_t legacyProcessed)
    : freedBytes(freed),
      trashedBytes(trashed),
      legacyProcessedBytes(legacyProcessed),
      operations(operationCount),
      lastHash(std::move(lastLineHash)) {}

bool OperationLog::Totals::record(const Entry& entry) {
    std::int64_t counted = 0;
    if (__builtin_add_overflow(operations, 1, &counted)) return false;
    if (entry.outcome() != Outcome::success || entry.dryRun() || entry.path().empty() ||
        entry.action() == putBackAction) {
        operations = counted;
        return true;
    }
    const std::int64_t bytes = entry.sizeBytes() < 0 ? 0 : entry.sizeBytes();
    std::int64_t& sum = entry.mode() == Mode::permanent ? freedBytes : trashedBytes;
    std::int64_t added = 0;
    if (__builtin_add_overflow(sum, bytes, &added)) return false;
    operations = counted;
    sum = added;
    return true;
}

std::string OperationLog::Totals::encoded() const {
    std::string text;
    platform::JsonObjectWriter object(text);
    object.integer("accountingVersion", currentAccountingVersion).integer("freedBytes", freedBytes);
    std::string storage;
    if (lastHash) object.string("lastHash", utf8(*lastHash, storage));
    object.integer("legacyProcessedBytes", legacyProcessedBytes).integer("operations", operations);
    if (pendingLines) object.boolean("pendingLines", true);
    object.integer("trashedBytes", trashedBytes);
    (void)object.finish();  // sorted keys and UTF-8 strings: nothing the writer can refuse
    return text;
}

std::optional<OperationLog::Totals> OperationLog::Totals::decode(std::string_view json) {
    thread_local platform::JsonObjectReader reader;
    if (!reader.parse(json)) return std::nullopt;
    // Last occurrence of each key wins; null reads as absent.
    const JsonValue* values[7] = {};
    static constexpr std::string_view keys[7] = {"operations",   "lastHash",             "freedBytes",  "accountingVersion",
                                                 "trashedBytes", "legacyProcessedBytes", "pendingLines"};
    for (const auto& member : reader.members()) {
        for (std::size_t i = 0; i < 7; ++i) {
            if (member.key == keys[i]) values[i] = member.value.kind == JsonValue::Kind::null && i > 0 ? nullptr : &member.value;
        }
    }
    const auto isInteger = [](const JsonValue* value) { return !value || value->kind == JsonValue::Kind::integer; };
    const auto integer = [](const JsonValue* value) { return value ? value->integer : std::int64_t{0}; };
    const auto [operations, last, freed, version, trashed, legacy, pending] = values;
    if (!operations || operations->kind != JsonValue::Kind::integer) return std::nullopt;
    if ((last && last->kind != JsonValue::Kind::string) || !isInteger(freed) || !isInteger(version)) return std::nullopt;
    if (pending && pending->kind != JsonValue::Kind::boolean) return std::nullopt;
    Totals totals;
    totals.operations = operations->integer;
    totals.pendingLines = pending && pending->boolean;
    if (last) totals.lastHash = std::string(last->string);
    if (version && version->integer == currentAccountingVersion) {
        // These keys count only under the newer accounting, so only then is their type checked.
        if (!isInteger(trashed) || !isInteger(legacy)) return std::nullopt;
        totals.freedBytes = integer(freed);
        totals.trashedBytes = integer(trashed);
        totals.legacyProcessedBytes = integer(legacy);
    } else {
        totals.legacyProcessedBytes = integer(freed);
    }
    return totals;
}

}  // namespace vornelo

#include "Scan/ScanFile.h"

#include "Core/ScanCoverage.h"
#include "Platform/Encoding/Base64.h"
#include "Platform/Encoding/Iso8601.h"
#include "Platform/Encoding/Text.h"

#include <nlohmann/json.hpp>

namespace vornelo::scan {

namespace {

using nlohmann::json;
using platform::Text;

// Writes JSON text in pieces of about 64 KiB. Strings become valid UTF-8 first.
class Writer {
public:
    explicit Writer(const std::function<void(std::string_view)>& sink) : sink_(sink) {}
    ~Writer() { flush(); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    Writer& raw(std::string_view text) {
        out_.append(text);
        if (out_.size() >= 64 * 1024) flush();
        return *this;
    }
    Writer& string(std::string_view text) {
        std::string replaced;
        auto valid = text;
        if (!Text::isValidUtf8(text)) valid = replaced = Text::sanitizedUtf8(text);
        out_.push_back('"');
        std::size_t run = 0;  // the start of the characters that need no escape
        for (std::size_t at = 0; at < valid.size(); ++at) {
            const auto byte = static_cast<unsigned char>(valid[at]);
            if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
            out_.append(valid.substr(run, at - run));
            run = at + 1;
            if (byte == '"' || byte == '\\') {
                out_.push_back('\\');
                out_.push_back(static_cast<char>(byte));
            } else {
                static constexpr char hex[] = "0123456789abcdef";
                out_.append("\\u00");
                out_.push_back(hex[byte >> 4]);
                out_.push_back(hex[byte & 0xF]);
            }
        }
        out_.append(valid.substr(run));
        out_.push_back('"');
        return *this;
    }
    Writer& key(std::string_view name) {
        raw(first_ ? "" : ", ");
        first_ = false;
        return string(name).raw(": ");
    }
    template <typename Number>
    Writer& number(std::string_view name, Number value) {
        return key(name).raw(std::to_string(value));
    }
    Writer& text(std::string_view name, std::string_view value) { return key(name).string(value); }
    Writer& boolean(std::string_view name, bool value) { return key(name).raw(value ? "true" : "false"); }
    // "path" for people and, when the bytes are not UTF-8, "pathBase64" exactly.
    Writer& path(std::string_view name, const std::string& value) {
        text(name, value);
        if (!Text::isValidUtf8(value)) {
            text(std::string(name) + "Base64",
                 platform::Base64::encode(std::span(reinterpret_cast<const std::uint8_t*>(value.data()), value.size())));
        }
        return *this;
    }
    Writer& open(char bracket) {
        raw(std::string_view(&bracket, 1));
        first_ = true;
        return *this;
    }
    Writer& close(char bracket) {
        first_ = false;
        return raw(std::string_view(&bracket, 1));
    }
    Writer& element() {
        raw(first_ ? "\n    " : ",\n    ");
        first_ = false;
        return *this;
    }

private:
    void flush() {
        if (!out_.empty()) sink_(out_);
        out_.clear();
    }

    const std::function<void(std::string_view)>& sink_;
    std::string out_;
    bool first_ = true;
};

void writeFinding(Writer& out, const Finding& finding) {
    out.open('{');
    out.path("path", finding.path).text("category", rawValue(finding.category)).number("sizeBytes", finding.sizeBytes);
    out.number("measuredBytes", finding.measuredBytes).text("reason", finding.reason ? *finding.reason : "");
    out.text("lastUsed", platform::Iso8601::format(finding.lastUsed)).text("confidence", rawValue(finding.confidence));
    out.boolean("isFolder", finding.isFolder).number("fileNumber", finding.fileNumber).number("device", finding.device);
    if (finding.originalPath) out.path("originalPath", *finding.originalPath);
    if (finding.keptCopy) out.path("keptCopy", *finding.keptCopy).number("keptFileNumber", finding.keptFileNumber);
    if (finding.group >= 0) out.number("group", finding.group);
    out.close('}');
}

void writeCoverage(Writer& out, const ScanCoverage& coverage) {
    out.key("coverage").open('{').key("issues").open('[');
    for (const auto& issue : coverage.issues) {
        out.element().open('{').path("path", issue.path).text("kind", ScanCoverage::rawValue(issue.kind));
        out.text("detail", issue.detail).close('}');
    }
    out.close(']').number("additionalIssueCount", coverage.additionalIssueCount).boolean("isPartial", coverage.isPartial());
    out.number("unavailableCount", coverage.unavailableCount()).number("missingCount", coverage.missingCount()).close('}');
}

class Reader {
public:
    explicit Reader(const json& object, std::string what) : object_(object), what_(std::move(what)) {}

    std::optional<std::string> path(const std::string& key, bool required) {
        if (const auto exact = object_.find(key + "Base64"); exact != object_.end()) {
            const auto bytes = exact->is_string() ? platform::Base64::decode(exact->get_ref<const std::string&>()) : std::nullopt;
            if (!bytes) return fail(key + "Base64 is not base64");
            return checkedPath(key, std::string(bytes->begin(), bytes->end()));
        }
        const auto found = object_.find(key);
        if (found == object_.end() || found->is_null()) {
            if (required) fail("has no " + key);
            return std::nullopt;
        }
        if (!found->is_string()) return fail(key + " is not text");
        return checkedPath(key, found->get<std::string>());
    }

    std::optional<std::string> text(const std::string& key) {
        const auto found = object_.find(key);
        if (found == object_.end() || !found->is_string()) return fail("has no " + key);
        return found->get<std::string>();
    }

    template <typename Number>
    std::optional<Number> number(const std::string& key) {
        const auto found = object_.find(key);
        if (found == object_.end()) return fail("has no " + key);
        if (!found->is_number_integer() || (found->is_number_unsigned() ? false : found->get<std::int64_t>() < 0)) {
            return fail(key + " is not a whole number of at least 0");
        }
        if constexpr (std::is_signed_v<Number>) {
            if (found->is_number_unsigned() && found->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
                return fail(key + " is too large");
            }
        }
        return found->get<Number>();
    }

    bool flag(const std::string& key) {
        const auto found = object_.find(key);
        return found != object_.end() && found->is_boolean() && found->get<bool>();
    }

    const std::string& problem() const { return problem_; }

private:
    std::nullopt_t fail(const std::string& why) {
        if (problem_.empty()) problem_ = what_ + " " + why;
        return std::nullopt;
    }

    std::optional<std::string> checkedPath(const std::string& key, std::string path) {
        if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos ||
            platform::FileManager::standardizedPath(path) != path) {
            return fail(key + " is not an absolute path in its standard spelling");
        }
        return path;
    }

    const json& object_;
    std::string what_;
    std::string problem_;
};

std::expected<Finding, std::string> findingFrom(const json& object, std::size_t index) {
    if (!object.is_object()) return std::unexpected("finding " + std::to_string(index + 1) + " is not an object");
    Reader reader(object, "finding " + std::to_string(index + 1));
    Finding finding;
    const auto path = reader.path("path", true);
    const auto category = reader.text("category");
    const auto confidence = reader.text("confidence");
    const auto size = reader.number<std::int64_t>("sizeBytes");
    const auto measured = reader.number<std::int64_t>("measuredBytes");
    const auto fileNumber = reader.number<std::uint64_t>("fileNumber");
    const auto device = reader.number<std::uint64_t>("device");
    const auto reason = reader.text("reason");
    const auto lastUsed = reader.text("lastUsed");
    finding.originalPath = reader.path("originalPath", false);
    if (auto kept = reader.path("keptCopy", false)) finding.keptCopy = SharedText(std::move(*kept));
    if (!reader.problem().empty()) return std::unexpected(reader.problem());
    const auto parsedCategory = fromRawValue<Category>(*category);
    const auto parsedConfidence = confidenceFromRawValue(*confidence);
    const auto parsedDate = platform::Iso8601::parse(*lastUsed);
    if (!parsedCategory) return std::unexpected("finding " + std::to_string(index + 1) + " has an unknown category");
    if (!parsedConfidence) return std::unexpected("finding " + std::to_string(index + 1) + " has an unknown confidence");
    if (!parsedDate) return std::unexpected("finding " + std::to_string(index + 1) + " has no date in lastUsed");
    if (*parsedCategory == Category::duplicate && !finding.keptCopy) {
        return std::unexpected("finding " + std::to_string(index + 1) + " is a duplicate without the copy that stays");
    }
    if (finding.keptCopy) {
        const auto kept = reader.number<std::uint64_t>("keptFileNumber");
        if (!kept) return std::unexpected(reader.problem());
        finding.keptFileNumber = *kept;
    }
    finding.path = *path;
    finding.category = *parsedCategory;
    finding.confidence = *parsedConfidence;
    finding.sizeBytes = *size;
    finding.measuredBytes = *measured;
    finding.fileNumber = *fileNumber;
    finding.device = *device;
    finding.reason = SharedText(*reason);
    finding.lastUsed = *parsedDate;
    finding.isFolder = reader.flag("isFolder");
    return finding;
}

}  // namespace

void ScanFile::write(const ScanReport& report, const std::function<void(std::string_view)>& sink) {
    Writer out(sink);
    out.open('{').text("format", formatName).number("version", formatVersion);
    out.text("createdAt", platform::Iso8601::format(report.startedAt));
    out.key("roots").open('[');
    for (const auto& root : report.roots) out.raw(&root == &report.roots.front() ? "" : ", ").string(root);
    out.close(']');
    out.number("totalBytes", report.totalBytes()).number("itemsLookedAt", report.itemsLookedAt).boolean("cancelled", report.cancelled);
    out.key("totals").open('[');
    for (const auto& total : report.totals()) {
        out.element().open('{').text("category", rawValue(total.category)).number("sizeBytes", total.sizeBytes);
        out.number("count", total.count).close('}');
    }
    out.close(']');
    std::vector<std::vector<std::size_t>> copies(report.duplicateGroups.size());
    for (std::size_t i = 0; i < report.findings.size(); ++i) {
        const auto group = report.findings[i].group;
        if (group >= 0 && static_cast<std::size_t>(group) < copies.size()) copies[static_cast<std::size_t>(group)].push_back(i);
    }
    out.key("duplicateGroups").open('[');
    for (std::size_t g = 0; g < report.duplicateGroups.size(); ++g) {
        const auto& group = report.duplicateGroups[g];
        out.element().open('{').number("fileSize", group.fileSize).number("bytesBack", group.bytesBack);
        out.text("keptBecause", group.keptBecause).key("kept").open('[');
        for (const auto& path : group.kept) out.raw(&path == &group.kept.front() ? "" : ", ").string(path);
        out.close(']').key("copies").open('[');
        for (const auto index : copies[g]) out.raw(index == copies[g].front() ? "" : ", ").string(report.findings[index].path);
        out.close(']').close('}');
    }
    out.close(']');
    out.key("findings").open('[');
    for (const auto& finding : report.findings) {
        out.element();
        writeFinding(out, finding);
    }
    out.close(']');
    writeCoverage(out, report.coverage);
    out.close('}').raw("\n");
}

std::string ScanFile::text(const ScanReport& report) {
    std::string text;
    write(report, [&text](std::string_view piece) { text.append(piece); });
    return text;
}

std::expected<SavedScan, std::string> ScanFile::parse(std::string_view text) {
    if (text.size() > maxBytes) return std::unexpected("it is larger than " + std::to_string(maxBytes) + " bytes");
    const auto document = json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) return std::unexpected("it is not a JSON object");
    if (document.value("format", "") != formatName) return std::unexpected("it is not a saved scan (no \u201Cformat\u201D of \u201Cvornelo-scan\u201D)");
    if (!document.contains("version") || !document["version"].is_number_integer() || document["version"].get<std::int64_t>() != formatVersion) {
        return std::unexpected("it is of a version this program does not read");
    }
    SavedScan scan;
    if (const auto created = platform::Iso8601::parse(document.value("createdAt", ""))) scan.createdAt = *created;
    if (const auto roots = document.find("roots"); roots != document.end() && roots->is_array()) {
        for (const auto& root : *roots) {
            if (root.is_string()) scan.roots.push_back(root.get<std::string>());
        }
    }
    const auto findings = document.find("findings");
    if (findings == document.end() || !findings->is_array()) return std::unexpected("it has no list of findings");
    if (findings->size() > maxFindings) return std::unexpected("it has more than " + std::to_string(maxFindings) + " findings");
    for (std::size_t i = 0; i < findings->size(); ++i) {
        auto finding = findingFrom((*findings)[i], i);
        if (!finding) return std::unexpected(finding.error());
        scan.findings.push_back(std::move(*finding));
    }
    return scan;
}

std::expected<SavedScan, std::string> ScanFile::read(const std::filesystem::path& file, const platform::FileManager& fileManager) {
    const auto attributes = fileManager.attributesOfItem(file);
    if (!attributes) return std::unexpected("The saved scan " + file.native() + " cannot be read: " + attributes.error().description);
    if (attributes->type != platform::FileType::regular) {
        return std::unexpected("The saved scan " + file.native() + " is not a regular file.");
    }
    if (attributes->owner != fileManager.realUserID() || (attributes->permissions & 022) != 0) {
        return std::unexpected("The saved scan " + file.native() +
                               " belongs to someone else or others may change it, so it cannot choose what to clean.");
    }
    const auto bytes = fileManager.contentsOfFile(file, maxBytes);
    if (!bytes) return std::unexpected("The saved scan " + file.native() + " cannot be read: " + bytes.error().description);
    auto scan = parse(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    if (!scan) return std::unexpected("The saved scan " + file.native() + " cannot be used: " + scan.error() + ".");
    return scan;
}

std::expected<void, std::string> ScanFile::save(const ScanReport& report, const std::filesystem::path& file,
                                                const platform::FileManager& fileManager) {
    const auto document = text(report);
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(document.data()), document.size());
    if (auto written = fileManager.writeAtomically(file, bytes, platform::AtomicWriteOptions{0600, true}); !written) {
        return std::unexpected("The scan could not be saved to " + file.native() + ": " + written.error().description);
    }
    return {};
}

}  // namespace vornelo::scan

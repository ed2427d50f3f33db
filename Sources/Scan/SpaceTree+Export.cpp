// A measured tree as one JSON document (docs/space-tree.md): folders parents first, one a line,
// each naming its parent by position, with the sizes of everything below it and its kept files.
// A name that is not UTF-8 is written as "nameBase64" instead.

#include "Scan/SpaceTree.h"
#include "Scan/SpaceTree+Internal.h"

#include "Platform/Encoding/Base64.h"
#include "Platform/Encoding/Iso8601.h"
#include "Platform/Files/FileReplacement.h"
#include "Platform/Files/RegularFile.h"

#include <nlohmann/json.hpp>
#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <span>

namespace vornelo {

namespace {

constexpr std::string_view formatName = "vornelo-space-tree";
constexpr std::int64_t formatVersion = 1;
// An export of tens of millions of files stays below this; anything larger is refused unread.
constexpr std::size_t maxImportBytes = std::size_t{1} << 30;
constexpr std::int64_t maxFilesPerFolder = 1'000'000;
constexpr std::size_t maxNameBytes = 255;

// "key": "text", or "keyBase64": "..." for bytes that are not UTF-8.
void appendName(std::string& out, std::string_view name, std::string_view key = "name") {
    out += '"';
    out += key;
    if (simdjson::validate_utf8(name.data(), name.size())) {
        out += "\":" + nlohmann::json(std::string(name)).dump();
        return;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(name.data());
    out += "Base64\":\"" + platform::Base64::encode(std::span(bytes, name.size())) + "\"";
}

void appendSizes(std::string& out, std::int64_t sizeBytes, std::int64_t apparentBytes) {
    out += ",\"sizeBytes\":" + std::to_string(sizeBytes) + ",\"apparentSizeBytes\":" + std::to_string(apparentBytes);
}

// Raised inside the import only; the sentence becomes its error.
struct Damaged {
    std::string problem;
};

[[noreturn]] void damaged(std::string problem) { throw Damaged{std::move(problem)}; }

std::int64_t sum(std::int64_t a, std::int64_t b, bool subtract = false) {
    std::int64_t result = 0;
    if (subtract ? __builtin_sub_overflow(a, b, &result) : __builtin_add_overflow(a, b, &result)) {
        damaged("its sizes add up to more than can be counted");
    }
    return result;
}

SpaceTree::Totals sum(const SpaceTree::Totals& a, const SpaceTree::Totals& b, bool subtract = false) {
    return {sum(a.sizeBytes, b.sizeBytes, subtract), sum(a.apparentBytes, b.apparentBytes, subtract),
            sum(a.files, b.files, subtract), sum(a.folders, b.folders, subtract)};
}

bool anyNegative(const SpaceTree::Totals& totals) {
    return totals.sizeBytes < 0 || totals.apparentBytes < 0 || totals.files < 0 || totals.folders < 0;
}

// A value of the wrong type gets `problem`; broken JSON says so.
void need(simdjson::error_code code, const std::string& problem) {
    if (code == simdjson::SUCCESS) return;
    if (code == simdjson::INCORRECT_TYPE || code == simdjson::NUMBER_ERROR ||
        code == simdjson::NUMBER_OUT_OF_RANGE) {
        damaged(problem);
    }
    damaged(std::string("it is not valid JSON (") + simdjson::error_message(code) + ")");
}

std::string quoted(std::string_view key) { return "\u201C" + std::string(key) + "\u201D"; }

std::int64_t count(simdjson::ondemand::value value, std::string_view key) {
    std::int64_t number = 0;
    need(value.get_int64().get(number), quoted(key) + " is not a whole number of 0 or more");
    if (number < 0) damaged(quoted(key) + " is not a whole number of 0 or more");
    return number;
}

bool flag(simdjson::ondemand::value value, std::string_view key) {
    bool result = false;
    need(value.get_bool().get(result), quoted(key) + " is not true or false");
    return result;
}

std::string_view text(simdjson::ondemand::value value, std::string_view key) {
    std::string_view result;
    need(value.get_string().get(result), quoted(key) + " is not a string");
    return result;
}

std::string_view keyOf(auto& field) {
    std::string_view key;
    need(field.unescaped_key().get(key), "a key cannot be read");
    return key;
}

simdjson::ondemand::object objectOf(auto&& element, const std::string& what) {
    simdjson::ondemand::object object;
    need(element.get_object().get(object), what + " is not an object");
    return object;
}

simdjson::ondemand::array arrayOf(simdjson::ondemand::value value, std::string_view key) {
    simdjson::ondemand::array array;
    need(value.get_array().get(array), quoted(key) + " is not a list");
    return array;
}

simdjson::ondemand::value valueOf(auto& field) {
    simdjson::ondemand::value value;
    need(field.value().get(value), "a value cannot be read");
    return value;
}

// A name inside a folder: one path component, never a way out of the folder.
std::string checkedName(std::string name) {
    if (name.empty() || name.size() > maxNameBytes || name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
        damaged("it holds a name that is not the name of one item in a folder");
    }
    return name;
}

// The text of "name" or the bytes of "nameBase64", whichever the object has.
std::string nameOf(std::string_view key, simdjson::ondemand::value value) {
    if (!key.ends_with("Base64")) return std::string(text(value, key));
    const auto decoded = platform::Base64::decode(text(value, key));
    if (!decoded) damaged("\u201C" + std::string(key) + "\u201D is not base64");
    return std::string(decoded->begin(), decoded->end());
}

}  // namespace

std::string_view SpaceTree::kindName(SpaceTree::Kind kind) {
    switch (kind) {
        case SpaceTree::Kind::folder: return "folder";
        case SpaceTree::Kind::file: return "file";
        case SpaceTree::Kind::symbolicLink: return "symbolicLink";
        case SpaceTree::Kind::other: return "other";
    }
    return "other";
}

std::expected<void, platform::FileError> SpaceTree::exportTo(const std::filesystem::path& file) const {
    // A person names this path: a link or device standing there is never replaced by a file.
    auto replacement = platform::FileReplacement::beginNamed(file);
    if (!replacement) return std::unexpected(replacement.error());
    std::string out = "{\"format\":\"" + std::string(formatName) + "\",\"version\":" + std::to_string(formatVersion) + ",";
    appendName(out, rootPath_.native(), "path");
    out += ",\"measuredAt\":\"" +
                      measuredAt_.value_or(platform::Iso8601::format(std::chrono::system_clock::now())) +
                      "\",\"filesPerFolder\":" + std::to_string(options_.filesPerFolder) + ",\"folders\":[\n";
    // Depth first, each folder written before those inside it.
    std::vector<std::pair<const Folder*, std::int64_t>> pending{{root_, -1}};
    std::int64_t written = 0;
    while (!pending.empty()) {
        const auto [folder, parent] = pending.back();
        pending.pop_back();
        const auto index = written++;
        if (index > 0) out += ",\n";
        out += "{\"parent\":" + std::to_string(parent) + ",";
        appendName(out, folder == root_ ? std::string_view(rootPath_.native()) : folder->name_);
        const Totals totals = folder->total_;
        appendSizes(out, totals.sizeBytes, totals.apparentBytes);
        out += ",\"fileCount\":" + std::to_string(totals.files) + ",\"folderCount\":" + std::to_string(totals.folders);
        if (folder->unreadable()) out += ",\"unreadable\":true";
        if (folder->otherFileSystem()) out += ",\"otherFileSystem\":true";
        out += ",\"files\":[";
        {
            std::lock_guard guard(lockFor(*folder));
            if (folder->kept_) {
                auto kept = folder->kept_->heap;
                std::ranges::sort(kept, [](const auto& a, const auto& b) { return a.sizeBytes > b.sizeBytes; });
                for (std::size_t at = 0; at < kept.size(); ++at) {
                    out += at == 0 ? "{" : ",{";
                    appendName(out, folder->kept_->name(kept[at]));
                    appendSizes(out, kept[at].sizeBytes, kept[at].apparentBytes);
                    out += ",\"kind\":\"" + std::string(kindName(kept[at].kind)) + "\"}";
                }
            }
        }
        out += "]}";
        for (const Folder* child = folder->firstChild(); child; child = child->nextSibling_) {
            if (!child->removed()) pending.emplace_back(child, index);
        }
        if (out.size() > (1 << 20)) {
            if (auto wrote = replacement->write(out); !wrote) return wrote;
            out.clear();
        }
    }
    out += "\n]}\n";
    if (auto wrote = replacement->write(out); !wrote) return wrote;
    return replacement->commit();
}

std::expected<std::unique_ptr<SpaceTree>, std::string> SpaceTree::importFrom(const std::filesystem::path& file) {
    const auto unreadable = [&file](std::string reason) {
        if (reason.ends_with('.')) reason.pop_back();
        return std::unexpected(file.native() + " cannot be read: " + reason + ".");
    };
    auto opened = platform::RegularFile::openForReading(file);
    if (!opened) return unreadable(opened.error().description);
    const auto size = static_cast<std::size_t>(std::max<std::int64_t>(opened->sizeWhenOpened(), 0));
    if (size > maxImportBytes) return std::unexpected(file.native() + " is larger than an export can be (1 GiB).");
    std::string buffer(size + simdjson::SIMDJSON_PADDING, '\0');
    const auto read = opened->read(0, std::span(buffer.data(), size));
    if (!read) return unreadable(read.error().description);
    const auto refused = [&file](const std::string& problem) {
        return std::unexpected(file.native() + " is not a measured tree that can be shown: " + problem + ".");
    };

    try {
        simdjson::ondemand::parser parser;
        auto document = parser.iterate(simdjson::padded_string_view(buffer.data(), *read, buffer.size()));
        std::unique_ptr<SpaceTree> tree;
        std::optional<std::string> path, measuredAt;
        std::optional<std::int64_t> filesPerFolder;
        bool known = false;
        // Kept only while reading: each folder's totals, and the tree's folders by position.
        std::vector<Totals> totals;
        std::vector<Folder*> byIndex;
        std::vector<std::size_t> parents;
        for (auto field : objectOf(document, "it")) {
            need(field.error(), "");
            const auto key = keyOf(field);
            auto value = valueOf(field);
            if (key == "format") {
                if (text(value, key) != formatName) damaged("its \u201Cformat\u201D is not " + std::string(formatName));
                known = true;
            } else if (key == "version") {
                if (count(value, key) != formatVersion) damaged("it was written by a later version");
            } else if (key == "path" || key == "pathBase64") {
                path = nameOf(key, value);
                if (!path->starts_with('/') || path->find('\0') != std::string::npos) damaged("its \u201Cpath\u201D is not absolute");
            } else if (key == "measuredAt") {
                measuredAt = std::string(text(value, key));
                if (!platform::Iso8601::parse(*measuredAt)) damaged("\u201CmeasuredAt\u201D is not a date");
            } else if (key == "filesPerFolder") {
                filesPerFolder = count(value, key);
                if (*filesPerFolder > maxFilesPerFolder) damaged("it keeps more files per folder than can be shown");
            } else if (key == "folders") {
                if (!known || !path || !filesPerFolder) damaged("\u201Cformat\u201D, \u201Cpath\u201D and \u201CfilesPerFolder\u201D must come before the folders");
                Options options;
                options.filesPerFolder = static_cast<std::size_t>(*filesPerFolder);
                tree = std::make_unique<SpaceTree>(*path, options);
                for (auto element : arrayOf(value, key)) {
                    auto object = objectOf(element, "a folder");
                    std::optional<std::int64_t> parent;
                    std::optional<std::string> name;
                    Totals folderTotals;
                    std::uint8_t flags = 0;
                    struct File { std::string name; Kind kind; std::int64_t sizeBytes; std::int64_t apparentBytes; };
                    std::vector<File> files;
                    for (auto member : object) {
                        need(member.error(), "");
                        const auto memberKey = keyOf(member);
                        auto memberValue = valueOf(member);
                        if (memberKey == "parent") {
                            std::int64_t number = 0;
                            need(memberValue.get_int64().get(number), "a folder's \u201Cparent\u201D is not a number");
                            parent = number;
                        } else if (memberKey == "name" || memberKey == "nameBase64") {
                            name = nameOf(memberKey, memberValue);
                        } else if (memberKey == "sizeBytes") {
                            folderTotals.sizeBytes = count(memberValue, memberKey);
                        } else if (memberKey == "apparentSizeBytes") {
                            folderTotals.apparentBytes = count(memberValue, memberKey);
                        } else if (memberKey == "fileCount") {
                            folderTotals.files = count(memberValue, memberKey);
                        } else if (memberKey == "folderCount") {
                            folderTotals.folders = count(memberValue, memberKey);
                        } else if (memberKey == "unreadable") {
                            if (flag(memberValue, memberKey)) flags |= Folder::unreadableFlag;
                        } else if (memberKey == "otherFileSystem") {
                            if (flag(memberValue, memberKey)) flags |= Folder::otherFileSystemFlag;
                        } else if (memberKey == "files") {
                            for (auto entry : arrayOf(memberValue, memberKey)) {
                                auto fileObject = objectOf(entry, "a file");
                                File kept{{}, Kind::file, 0, 0};
                                for (auto fileMember : fileObject) {
                                    need(fileMember.error(), "");
                                    const auto fileKey = keyOf(fileMember);
                                    auto fileValue = valueOf(fileMember);
                                    if (fileKey == "name" || fileKey == "nameBase64") {
                                        kept.name = nameOf(fileKey, fileValue);
                                    } else if (fileKey == "sizeBytes") {
                                        kept.sizeBytes = count(fileValue, fileKey);
                                    } else if (fileKey == "apparentSizeBytes") {
                                        kept.apparentBytes = count(fileValue, fileKey);
                                    } else if (fileKey == "kind") {
                                        const auto kind = text(fileValue, fileKey);
                                        if (kind == "file") kept.kind = Kind::file;
                                        else if (kind == "symbolicLink") kept.kind = Kind::symbolicLink;
                                        else if (kind == "other") kept.kind = Kind::other;
                                        else damaged("a file's \u201Ckind\u201D is not file, symbolicLink or other");
                                    }
                                }
                                kept.name = checkedName(std::move(kept.name));
                                files.push_back(std::move(kept));
                                if (files.size() > static_cast<std::size_t>(*filesPerFolder)) damaged("a folder lists more files than it keeps");
                            }
                        }
                    }
                    const auto index = static_cast<std::int64_t>(byIndex.size());
                    if (!parent || !name) damaged("a folder has no \u201Cparent\u201D or no name");
                    Folder* folder = tree->root_;
                    if (index == 0) {
                        if (*parent != -1) damaged("the first folder is not the top of the tree");
                    } else {
                        if (*parent < 0 || *parent >= index) damaged("a folder comes before the folder that holds it");
                        folder = &tree->newFolder(byIndex[static_cast<std::size_t>(*parent)], checkedName(std::move(*name)));
                    }
                    folder->flags_.store(flags);
                    for (const auto& kept : files) tree->keepFile(*folder, kept.name, kept.kind, kept.sizeBytes, kept.apparentBytes);
                    byIndex.push_back(folder);
                    parents.push_back(index == 0 ? 0 : static_cast<std::size_t>(*parent));
                    totals.push_back(folderTotals);
                }
            }
        }
        if (!tree || byIndex.empty()) damaged("it holds no folders");
        // What each folder holds itself is its total less the totals of the folders inside it.
        std::vector<Totals> content = totals;
        for (std::size_t index = 1; index < byIndex.size(); ++index) {
            content[parents[index]] = sum(content[parents[index]], totals[index], true);
        }
        for (std::size_t index = 0; index < byIndex.size(); ++index) {
            Folder& folder = *byIndex[index];
            Totals kept;
            if (folder.kept_) {
                for (const auto& one : folder.kept_->heap) kept = sum(kept, Totals{one.sizeBytes, one.apparentBytes, 1, 0});
            }
            std::int64_t children = 0;
            for (const Folder* child = folder.firstChild(); child; child = child->nextSibling_) ++children;
            const Totals rest = sum(content[index], kept, true);
            if (anyNegative(rest) || content[index].folders < children) damaged("a folder's sizes are smaller than what it holds");
            folder.content_.sizeBytes = content[index].sizeBytes;
            folder.content_.apparentBytes = content[index].apparentBytes;
            folder.content_.files = content[index].files;
            folder.content_.folders = content[index].folders;
            folder.total_ = totals[index];
        }
        tree->measuredAt_ = measuredAt;
        tree->complete_.store(true, std::memory_order_release);
        return tree;
    } catch (const Damaged& problem) {
        return refused(problem.problem);
    } catch (const simdjson::simdjson_error& error) {
        return refused(std::string("it is not valid JSON (") + error.what() + ")");
    }
}

}  // namespace vornelo

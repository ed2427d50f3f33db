#include "Core/RelatedItems.h"

#include "Core/PathProtection.h"
#include "Platform/Files/RegularFile.h"

#include <algorithm>

namespace vornelo {

namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// A word of a command line without its quotes and the prefixes a unit's Exec lines allow ("-@:+!").
bool wordPointsInto(std::string_view word, std::string_view folder) {
    word = word.substr(std::min(word.find_first_not_of("\"'-@:+!"), word.size()));
    while (!word.empty() && (word.back() == '"' || word.back() == '\'' || word.back() == ';')) word.remove_suffix(1);
    // "--option=/opt/x/data" names the folder too.
    if (const auto equals = word.find('='); equals != std::string_view::npos && !word.starts_with('/')) word.remove_prefix(equals + 1);
    return word.starts_with(folder) && (word.size() == folder.size() || word[folder.size()] == '/');
}

std::vector<std::string> matchingFiles(const std::string& root, const std::string& folder, bool units,
                                       const platform::FileManager& fileManager) {
    std::vector<std::string> found;
    auto names = fileManager.contentsOfDirectoryAtPath(root);
    if (!names) return found;
    if (names->size() > RelatedItems::maxEntries) names->resize(RelatedItems::maxEntries);
    std::ranges::sort(*names);
    for (const auto& name : *names) {
        const bool wanted = units ? name.find('.') != std::string::npos && !name.ends_with(".d") && !name.ends_with(".wants") &&
                                        !name.ends_with(".requires")
                                  : name.ends_with(".desktop");
        if (!wanted) continue;
        const auto path = root + "/" + name;
        const auto text = platform::RegularFile::contentsThroughNoLink(path, RelatedItems::maxFileBytes);
        if (text && RelatedItems::pointsInto(*text, folder)) found.push_back(path);
    }
    return found;
}

}  // namespace

bool RelatedItems::pointsInto(std::string_view text, std::string_view folder) {
    if (folder.empty() || folder == "/") return false;
    for (std::size_t start = 0; start < text.size();) {
        const auto end = std::min(text.find('\n', start), text.size());
        const auto line = trimmed(text.substr(start, end - start));
        start = end + 1;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos || (!line.starts_with("Exec") && !line.starts_with("TryExec"))) continue;
        auto value = line.substr(equals + 1);
        for (std::size_t at = 0; at < value.size();) {
            const auto space = std::min(value.find_first_of(" \t", at), value.size());
            if (space > at && wordPointsInto(value.substr(at, space - at), folder)) return true;
            at = space + 1;
        }
    }
    return false;
}

std::vector<std::string> RelatedItems::of(const std::string& folder, const HelperPolicy::LinuxRoots& roots,
                                          const platform::FileManager& fileManager) {
    const auto target = PathProtection::normalise(folder);
    std::vector<std::string> related;
    for (const auto& root : roots.desktopEntries) {
        for (auto& path : matchingFiles(PathProtection::normalise(root), target, false, fileManager)) related.push_back(std::move(path));
    }
    for (auto& path : matchingFiles(PathProtection::normalise(roots.units), target, true, fileManager)) related.push_back(std::move(path));
    return related;
}

}  // namespace vornelo

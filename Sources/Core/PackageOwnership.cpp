#include "Core/PackageOwnership.h"

#include "Core/ProcessRunner.h"
#include "Platform/Encoding/Text.h"
#include "Platform/Files/FileManager.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace vornelo {

namespace {

// "a, b and 3 more": the first few owners; the rest only counted.
std::string namesOf(const std::vector<std::string>& owners) {
    constexpr std::size_t shown = 4;
    std::string text;
    for (std::size_t i = 0; i < std::min(owners.size(), shown); ++i) text += (i ? ", " : "") + owners[i];
    if (owners.size() > shown) text += " and " + std::to_string(owners.size() - shown) + " more";
    return text;
}

std::vector<std::string> splitOwners(std::string_view list) {
    std::vector<std::string> owners;
    constexpr std::string_view diversion = "diversion by ";
    if (list.starts_with(diversion)) {  // "diversion by PKG from" / "diversion by PKG to"
        list.remove_prefix(diversion.size());
        owners.emplace_back(list.substr(0, list.find(' ')));
        return owners;
    }
    if (list.starts_with("local diversion")) return owners;  // an administrator's, no package's
    for (std::size_t start = 0; start <= list.size();) {
        const auto comma = list.find(", ", start);
        const auto name = list.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        if (!name.empty()) owners.emplace_back(name);
        if (comma == std::string_view::npos) break;
        start = comma + 2;
    }
    return owners;
}

}  // namespace

PackageOwnership::Query PackageOwnership::forThisSystem() {
    const auto& files = platform::FileManager::defaultManager();
    const auto isProgram = [&](std::string_view path) {
        const auto attributes = files.attributesOfItem(std::string(path));
        return attributes && attributes->type == platform::FileType::regular;
    };
    if (isProgram(dpkgQuery)) return {Database::dpkg, std::string(dpkgQuery)};
    if (isProgram(rpmQuery)) return {Database::rpm, std::string(rpmQuery)};
    return {};
}

std::string PackageOwnership::toolName() const {
    return query_.database == Database::rpm ? "rpm -qf" : "dpkg-query --search";
}

std::string PackageOwnership::dpkgPattern(std::string_view path) {
    std::string pattern;
    for (const char c : path) {
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') pattern += '\\';
        pattern += c;
    }
    return pattern;
}

std::map<std::string, std::vector<std::string>> PackageOwnership::parseDpkgSearch(std::string_view output) {
    std::map<std::string, std::vector<std::string>> owners;
    for (std::size_t start = 0; start < output.size();) {
        const auto end = std::min(output.find('\n', start), output.size());
        const auto line = output.substr(start, end - start);
        start = end + 1;
        // Package names hold no ": "; a path may, so the first one ends the owners.
        const auto colon = line.find(": ");
        if (colon == std::string_view::npos || !line.substr(colon + 2).starts_with('/')) continue;
        auto found = splitOwners(line.substr(0, colon));
        if (found.empty()) continue;
        auto& list = owners[std::string(line.substr(colon + 2))];
        for (auto& name : found) {
            if (std::ranges::find(list, name) == list.end()) list.push_back(std::move(name));
        }
    }
    return owners;
}

std::map<std::string, std::vector<std::string>> PackageOwnership::parseRpmQuery(std::string_view output,
                                                                               const std::vector<std::string>& paths) {
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < output.size();) {
        const auto end = std::min(output.find('\n', start), output.size());
        if (end > start) lines.push_back(output.substr(start, end - start));
        start = end + 1;
    }
    const auto notOwned = [](const std::string& path) { return "file " + path + " is not owned by any package"; };
    std::map<std::string, std::vector<std::string>> owners;
    if (lines.size() == paths.size()) {  // one line per path: each path's own answer
        for (std::size_t i = 0; i < paths.size(); ++i) {
            if (lines[i] != notOwned(paths[i])) owners[paths[i]] = {std::string(lines[i])};
        }
        return owners;
    }
    std::set<std::string_view> free(lines.begin(), lines.end());
    for (const auto& path : paths) {
        if (!free.contains(notOwned(path))) owners[path];
    }
    return owners;
}

std::map<std::string, std::string> PackageOwnership::refusals(const std::vector<std::string>& paths,
                                                              const std::function<bool(const std::string&)>& isFolder) const {
    std::map<std::string, std::string> refused;
    std::vector<std::string> asked;
    for (const auto& path : paths) {
        // Nothing the tool says about a name that is not UTF-8 (or holds a line break) can be read back.
        const bool readable = !path.empty() && path.front() == '/' && platform::Text::isValidUtf8(path) &&
                              path.find_first_of(std::string_view("\n\r\0", 3)) == std::string::npos;
        if (!readable) refused[path] = "Whether a package owns this could not be checked: its name cannot be asked about.";
        else if (std::ranges::find(asked, path) == asked.end()) asked.push_back(path);
    }
    if (asked.empty()) return refused;
    const auto unchecked = [&](const std::string& why) {
        for (const auto& path : asked) refused[path] = "Whether a package owns this could not be checked: " + why;
    };
    if (query_.database == Database::none) {
        unchecked("this system has neither dpkg-query nor rpm.");
        return refused;
    }
    std::vector<std::string> arguments;
    if (query_.database == Database::dpkg) {
        arguments.push_back("--search");
        for (const auto& path : asked) arguments.push_back(dpkgPattern(path));
    } else {
        arguments = {"-qf", "--queryformat", "%{NAME}\\n"};
        arguments.insert(arguments.end(), asked.begin(), asked.end());
    }
    const auto output = ProcessRunner::runBlocking(query_.program, arguments, query_.timeoutSeconds);
    const auto tool = toolName();
    if (output.launchFailed) return unchecked(tool + " could not be started."), refused;
    if (output.timedOut) {
        return unchecked(tool + " did not answer within " + std::to_string(std::lround(query_.timeoutSeconds)) + " seconds."), refused;
    }
    // dpkg-query: 0 when every path was found, 1 when some were not; anything else is its failure.
    if (query_.database == Database::dpkg && output.exitCode != 0 && output.exitCode != 1) {
        return unchecked(tool + " failed with exit status " + std::to_string(output.exitCode) + "."), refused;
    }
    const auto owners = query_.database == Database::dpkg ? parseDpkgSearch(output.stdout) : parseRpmQuery(output.stdout, asked);
    for (const auto& path : asked) {
        const auto found = owners.find(path);
        if (found == owners.end()) continue;
        const auto names = found->second.empty() ? std::string("a package") : "the package " + namesOf(found->second);
        refused[path] = (isFolder && isFolder(path) ? "Holds files of " + names : "Belongs to " + names) + ", as " + tool +
                        " reports; remove it with the package manager.";
    }
    return refused;
}

}  // namespace vornelo

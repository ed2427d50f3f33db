#pragma once
// Whether the system's package manager owns an item, asked of its own query tool once for a whole
// request: `dpkg-query --search PATH...` where the system has dpkg, `rpm -qf PATH...` where it has
// rpm, through the process runner with a time-out.
//
// Each path is asked about exactly: a package that owns a file inside a folder records the folder
// too (dpkg lists every folder of its archive, rpm owns its directories), so asking about the
// folder finds it without a pattern, which would make dpkg compare every file it knows. An item
// whose owner cannot be learnt (no tool, the tool failed or hung, a name whose answer cannot be
// read) is refused as unchecked, never passed as free.
//
// Thread safety: immutable; refusals() may be called from any thread, concurrently.

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo {

class PackageOwnership {
public:
    enum class Database { dpkg, rpm, none };

    struct Query {
        Database database = Database::none;
        std::string program;  // the query tool, run directly
        double timeoutSeconds = 30;
    };

    static constexpr std::string_view dpkgQuery = "/usr/bin/dpkg-query";
    static constexpr std::string_view rpmQuery = "/usr/bin/rpm";

    // dpkg-query where it is installed, else rpm, else none.
    [[nodiscard]] static Query forThisSystem();

    explicit PackageOwnership(Query query) : query_(std::move(query)) {}

    // The sentence refusing each path a package owns, or whose owner could not be learnt; paths
    // no package owns are absent. `isFolder` says which paths name folders (for the sentence).
    [[nodiscard]] std::map<std::string, std::string> refusals(const std::vector<std::string>& paths,
                                                              const std::function<bool(const std::string&)>& isFolder) const;

    // The owners of each path in dpkg-query --search's output (diversions count as their
    // package's); paths without a line are absent.
    [[nodiscard]] static std::map<std::string, std::vector<std::string>> parseDpkgSearch(std::string_view output);
    // rpm -qf --queryformat '%{NAME}\n' answers each path in turn with its owners or a "not owned"
    // line; where the owners cannot be told apart, every path without such a line is owned by
    // packages it cannot name (an empty list).
    [[nodiscard]] static std::map<std::string, std::vector<std::string>> parseRpmQuery(std::string_view output,
                                                                                     const std::vector<std::string>& paths);
    // The path as a dpkg-query pattern that matches it alone: its wildcard characters escaped.
    [[nodiscard]] static std::string dpkgPattern(std::string_view path);

private:
    [[nodiscard]] std::string toolName() const;

    Query query_;
};

}  // namespace vornelo

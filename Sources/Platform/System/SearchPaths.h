#pragma once
// The folders a user's environment searches: for programs ($PATH) and for shared data such as
// application launchers ($XDG_DATA_DIRS, by default "/usr/local/share" and "/usr/share"). Only
// absolute entries count; each is standardised.
//
// Thread safety: stateless; callable from any thread (they read the environment, which the
// process must not change meanwhile).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::platform {

struct SearchPaths {
    [[nodiscard]] static std::vector<std::string> executableFolders();
    [[nodiscard]] static std::vector<std::string> dataFolders();

    // The absolute entries of a colon-separated list; `fallback` for an unset or empty one.
    [[nodiscard]] static std::vector<std::string> parse(std::optional<std::string_view> value,
                                                        std::vector<std::string> fallback);
};

}  // namespace vornelo::platform

#include "Platform/System/PlatformTexts.h"

namespace vornelo::platform {

std::string PlatformTexts::shellQuoted(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted.push_back(c);
        }
    }
    quoted.push_back('\'');
    return quoted;
}

// A file manager empties the Trash with the user's own rights only, so it cannot remove what
// Vornelo could not; an administrator can, with the same command that failed.
std::string PlatformTexts::removeFromTrashSuggestion(std::string_view path) {
    return "An administrator can remove it for good with \u201Csudo vornelo-cli clean --mode permanent " +
           shellQuoted(path) + "\u201D; emptying the Trash in a file manager cannot remove what Vornelo cannot.";
}

std::string PlatformTexts::moveToTrashSuggestion(std::string_view path) {
    return "If a package installed it, remove that package with the package manager; otherwise an administrator can "
           "move it to the administrator's Trash with \u201Csudo vornelo-cli clean " +
           shellQuoted(path) + "\u201D.";
}

}  // namespace vornelo::platform

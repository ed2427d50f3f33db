#pragma once
// The sentences whose first wording names programs or places of the platform Vornelo was first
// written for (its file manager, its software store, its name): this platform's own words for the
// same advice. Each is a complete English sentence ending in a full stop; docs/platform-texts.md
// lists each beside the sentence it stands for, so another backend knows what to give back.
//
// Thread safety: constants and pure functions.

#include <string>
#include <string_view>

namespace vornelo::platform {

struct PlatformTexts {
    // Why an item could not be removed.
    static constexpr std::string_view ownedByAnotherUser =
        "Owned by another user (usually installed by the package manager or an administrator) \u2014 needs an "
        "administrator to remove.";
    static constexpr std::string_view permissionDenied =
        "Permission denied \u2014 the permissions of this item or its folder, or a security policy such as AppArmor "
        "or SELinux, blocked access to it.";

    // Why a logged item cannot be found again in the Trash by the log alone.
    static constexpr std::string_view noFileIdentityRecorded =
        "File identity was not recorded. Check the Trash in your file manager.";
    static constexpr std::string_view noTrashLocationRecorded =
        "A Trash location was not recorded. Check the Trash in your file manager.";

    // What a person can do about an item at `path` that could not be removed: one inside a Trash,
    // one elsewhere. The commands name the path quoted for a POSIX shell.
    [[nodiscard]] static std::string removeFromTrashSuggestion(std::string_view path);
    [[nodiscard]] static std::string moveToTrashSuggestion(std::string_view path);

    // `text` as one word for a POSIX shell: in single quotes, each quote inside written as '\''.
    [[nodiscard]] static std::string shellQuoted(std::string_view text);
};

}  // namespace vornelo::platform

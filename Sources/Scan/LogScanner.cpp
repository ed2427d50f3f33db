#include "Scan/LogScanner.h"

#include "Platform/Files/FileManager.h"

#include <algorithm>
#include <array>

namespace vornelo::scan {

namespace {

using platform::FileManager;
using platform::FileType;

enum class Base { home, dataHome, system };

// Folders whose files of a given kind are logs nothing reads again.
struct LogPlace {
    Base base;
    std::string_view folder;
    std::string_view name;  // an exact file name; empty: every rotated log; "*": every entry
    std::string_view reason;
    bool administratorOnly;
};

constexpr std::array logPlaces{
    LogPlace{Base::home, "", ".xsession-errors.old", "The error log of an earlier desktop session; nothing reads it again.",
             false},
    LogPlace{Base::dataHome, "xorg", "", "The display server's log of an earlier session; nothing reads it again.", false},
    LogPlace{Base::home, ".npm/_logs", "*", "A debug log npm left after a run; nothing reads it again.", false},
    LogPlace{Base::system, "/var/crash", "*", "A crash report the system kept; it is only read to report the crash.", true},
    LogPlace{Base::system, "/var/lib/systemd/coredump", "*",
             "A core dump of a program that crashed; it is only read to debug the crash.", true},
};

// The state folder holds programs' logs at any depth; rotated ones are offered. Vornelo's own
// operation log lives there too and is never offered, whatever protection says of it.
constexpr std::string_view ownStateFolder = "vornelo";
constexpr std::size_t maxStateDepth = 4;

bool allDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool LogScanner::isRotatedLog(std::string_view name) {
    for (const auto compressed : {".gz", ".xz", ".zst", ".bz2"}) {
        if (name.ends_with(compressed)) {
            name.remove_suffix(std::string_view(compressed).size());
            break;
        }
    }
    const auto log = name.rfind(".log.");
    if (log == std::string_view::npos || log == 0) return false;
    const auto suffix = name.substr(log + 5);
    return suffix == "old" || allDigits(suffix);
}

std::vector<Candidate> LogScanner::scan(const ScanContext& context) const {
    const auto& places = context.places();
    std::vector<Candidate> found;
    for (const auto& place : logPlaces) {
        if (place.administratorOnly && (!places.isAdministrator || !context.coversTheSystem())) continue;
        const auto folder = place.base == Base::system ? places.system(place.folder)
                            : FileManager::joinedPath(place.base == Base::home ? places.home : places.dataHome, place.folder);
        for (auto& entry : context.list(folder)) {
            const bool wanted = place.name == "*" ? entry.type != FileType::symbolicLink
                                : place.name.empty() ? entry.type == FileType::regular && isRotatedLog(entry.name())
                                                     : entry.name() == place.name && entry.type == FileType::regular;
            if (wanted) found.push_back(propose(context, std::move(entry), std::string(place.reason), Confidence::safe));
        }
    }
    // Rotated logs below the state folder, a few levels deep.
    std::vector<std::pair<std::string, std::size_t>> folders{{places.stateHome, 0}};
    while (!folders.empty() && !context.stopped()) {
        const auto [folder, depth] = folders.back();
        folders.pop_back();
        for (auto& entry : context.list(folder)) {
            if (entry.isFolder()) {
                if (depth + 1 < maxStateDepth && !(depth == 0 && entry.name() == ownStateFolder)) {
                    folders.emplace_back(entry.path, depth + 1);
                }
            } else if (entry.type == FileType::regular && isRotatedLog(entry.name())) {
                const auto owner = folder.size() > places.stateHome.size() ? folder.substr(places.stateHome.size() + 1) : "";
                auto reason = owner.empty() ? std::string("A log rotated out of use; nothing reads it again.")
                                            : "A log of \u201C" + owner + "\u201D rotated out of use; nothing reads it again.";
                found.push_back(propose(context, std::move(entry), std::move(reason), Confidence::safe));
            }
        }
    }
    return found;
}

}  // namespace vornelo::scan

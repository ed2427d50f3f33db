#pragma once
// Past cleanup runs, rebuilt from the operation log, and the way back from them.
//
// A CleanupSession is every retained entry of one run (its session UUID): real operations on a
// path, whatever their outcome, but never dry runs or put-backs. OperationLog::cleanupSessions
// builds them afresh on every call.
//
// CleanupRecovery explains, entry by entry, whether an item can still be put back, and puts back
// the ones that can through SafeFileDeleter::putBack.
//
// Thread safety: sessions, items and results are immutable values. preview runs on the caller's
// thread; restore on a thread of its own. Neither throws.

#include "Core/OperationLog.h"
#include "Core/SafeFileDeleter.h"
#include "Platform/System/PlatformTexts.h"
#include "Platform/Trash/Trash.h"

#include <future>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo {

class CleanupSession {
public:
    // Entries in log order, oldest first. `slotReused` holds, for each entry, whether a later
    // entry of the log names the same Trash path; it may be left empty when none does.
    CleanupSession(Uuid id, std::vector<OperationLog::Entry> entries, std::vector<bool> slotReused = {});

    const Uuid& id() const { return id_; }
    const std::vector<OperationLog::Entry>& entries() const { return entries_; }
    // The earliest timestamp of the entries; platform::distantPast when there are none.
    platform::TimePoint date() const { return date_; }
    // The first entry's action; "clean" when there are none.
    const std::string& action() const { return action_; }
    // Whether the Trash path of entries()[index] was used again by a later entry, so that what
    // lies there now is another item (one with the same file number, if the number was reused).
    bool slotReused(std::size_t index) const { return index < slotReused_.size() && slotReused_[index]; }

private:
    Uuid id_;
    std::vector<OperationLog::Entry> entries_;
    std::vector<bool> slotReused_;
    platform::TimePoint date_;
    std::string action_;
};

struct CleanupRecovery {
    // One entry of a session as offered for restoring.
    struct Item {
        OperationLog::Entry entry;
        std::optional<std::string> unavailableReason;  // absent when it can be put back

        bool isAvailable() const { return !unavailableReason.has_value(); }
        std::string id() const { return entry.id(); }
    };

    // The outcome of putting back one item.
    struct Result {
        std::string id;       // the entry's id
        std::string path;     // where the item was put back, or should have been
        bool restored = false;
        std::string message;  // restoredMessage, or why putBack refused or failed
    };

    static constexpr std::string_view notRemovedReason = "This item was not removed.";
    static constexpr std::string_view permanentReason = "Permanently removed \u2014 cannot be restored.";
    // In this platform's words: where the user can look for the item instead.
    static constexpr std::string_view noFileNumberReason = platform::PlatformTexts::noFileIdentityRecorded;
    static constexpr std::string_view noTrashedPathReason = platform::PlatformTexts::noTrashLocationRecorded;
    // The log holds names that are not UTF-8 with U+FFFD in place of the bad bytes, so such an
    // item cannot be found, or put back where it was, by the logged name. A name that really holds
    // U+FFFD cannot be told apart from one and is treated alike.
    static constexpr std::string_view inexactNameReason =
        "Its name is not valid UTF-8, so the log holds it only approximately and Vornelo cannot find the item or its "
        "original folder by that name. Look for it in the Trash.";
    static constexpr std::string_view slotReusedReason =
        "This item is no longer in the Trash: a later cleanup put another item in its place.";
    static constexpr std::string_view restoredMessage = "Restored";
    static constexpr std::string_view backInPlaceReason = "This item is back in its place already.";
    // The detail of an entry made from a Trash record rather than read from the log.
    static constexpr std::string_view unloggedDetail =
        "Found in the Trash by the session its record names: the run ended before this item was logged.";

    // The sessions of the log, completed from the Trash: every record (the session kept in a
    // trashed item's info file, platform::Trash::sessionRecords) that no logged move of its run
    // accounts for, by Trash path, joins its run as a move to the Trash with the record's Trash
    // path, file number and time, the run's action ("clean" for a run found only in the Trash)
    // and unloggedDetail. A run found only in the Trash becomes a session of its own. Newest first,
    // as OperationLog::cleanupSessions orders them.
    [[nodiscard]] static std::vector<CleanupSession> withTrashRecords(std::vector<CleanupSession> logged,
                                                                     const std::vector<platform::Trash::SessionRecord>& records);
    // Whether the entry moved its item to the Trash, so that putting the run back must bring it back.
    [[nodiscard]] static bool wentToTrash(const OperationLog::Entry& entry);

    // One item per entry of the session, in order, with the first reason that applies (an item
    // no longer in the Trash whose original place holds it again, by its file number, is back in
    // its place). Only the last tests look at the disk (through the deleter); nothing is changed.
    [[nodiscard]] static std::vector<Item> preview(const CleanupSession& session, const SafeFileDeleter& deleter);

    // Puts back the available items in the reverse of their order, the reverse of the run, so a
    // folder is back before anything that was inside it; one result per item attempted, in that
    // order; unavailable items and items without a Trash path or file number give none. A stop
    // requested on `stop` ends the walk before the next item (the one being put back is
    // finished). The work runs on a thread of its own that a caller may leave running by
    // dropping the future; the deleter must outlive it. Never throws, from here or from get():
    // every failure becomes a result.
    [[nodiscard]] static std::future<std::vector<Result>> restore(std::vector<Item> items,
                                                                  const SafeFileDeleter& deleter,
                                                                  std::stop_token stop = {});
};

}  // namespace vornelo

#pragma once
// User defaults of one domain: the user's property-list file, read and written by this process
// and others, plus the administrator's forced keys from a managed file.
//
// - The managed file counts only when it is a regular file owned by the trusted owner (root) and
//   not writable by group or others; otherwise it is ignored as if absent.
// - Both files are re-read when they change on disk (identity, size, times), so changes made by
//   another process are seen at the next read.
// - Writes take an exclusive lock on "<user file>.lock", re-read the file, and replace it
//   atomically, so concurrent writers in any process never lose each other's keys.
// - A file is read only when it is a regular file of at most 16 MiB holding a property list
//   whose top level is a dictionary (opened without blocking, so a FIFO cannot stall a read). One
//   that exists but fails this reads as empty, is reported by readProblem, and is never
//   overwritten: a write then fails, saying why, so a damaged file keeps what it holds.
//
// Thread safety: every member may be called from any thread.

#include "Platform/Encoding/PropertyList.h"

#include <sys/types.h>

#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vornelo::platform {

class UserDefaults {
public:
    struct Locations {
        std::filesystem::path userFile;
        std::filesystem::path managedFile;
        uid_t managedOwner = 0;  // tests may trust themselves instead of root
    };

    // "$XDG_CONFIG_HOME/<domain>.plist" (default "~/.config") and
    // "/etc/managed-preferences/<domain>.plist".
    [[nodiscard]] static Locations locationsForDomain(const std::string& domain);

    explicit UserDefaults(Locations locations);
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    const Locations& locations() const { return locations_; }

    // The forced value when the key is forced, else the user's value.
    [[nodiscard]] std::optional<PlistValue> object(const std::string& key) const;
    [[nodiscard]] bool objectIsForced(const std::string& key) const;
    // The value as a list of strings; nothing when absent or of another shape.
    [[nodiscard]] std::optional<std::vector<std::string>> stringArray(const std::string& key) const;
    // The user's own value, ignoring any forced one.
    [[nodiscard]] std::optional<PlistValue> userObject(const std::string& key) const;

    // Why a file that exists cannot be read, as a clause naming it ("the settings file /a/b.plist
    // is not a property list"); nothing when both files read cleanly or are absent. An untrusted
    // managed file is ignored, not a problem.
    [[nodiscard]] std::optional<std::string> readProblem() const;

    // Stores (or, with no value, removes) the key. On failure, one sentence naming the file; the
    // stored value is then unchanged.
    std::expected<void, std::string> write(const std::string& key, const std::optional<PlistValue>& value);
    // write, reduced to whether it worked.
    bool set(const std::string& key, const PlistValue& value);
    bool removeObject(const std::string& key);

private:
    using Dictionary = PlistValue::Dictionary;

    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        long long modifiedNs = 0;
        long long changedNs = 0;
        uid_t owner = 0;
        mode_t mode = 0;
        friend bool operator==(const Identity&, const Identity&) = default;
    };

    struct Snapshot {
        std::optional<Identity> identity;  // absent: the file did not exist or could not be opened
        int openError = 0;                 // why it could not be opened, other than being absent
        std::shared_ptr<const Dictionary> values = std::make_shared<const Dictionary>();
        std::optional<std::string> problem;  // why a file that exists reads as empty
    };

    std::shared_ptr<const Dictionary> userValues() const;
    std::shared_ptr<const Dictionary> managedValues() const;
    // The snapshot of the file as it is now, re-read only when the file changed.
    Snapshot refresh(Snapshot& cache, const std::filesystem::path& file, bool managed) const;

    Locations locations_;
    mutable std::mutex mutex_;  // guards the two snapshots, never held across file work
    mutable Snapshot user_;
    mutable Snapshot managed_;
};

}  // namespace vornelo::platform

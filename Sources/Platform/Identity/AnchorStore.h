#pragma once
// The certificates a code signature may chain to: every PEM certificate in one folder.
//
// The folder counts only when it is a real folder owned by root and writable by nobody else, and
// each file in it only when it is a regular file with the same ownership and mode; anything else
// is skipped, so a store a user could change is as good as an empty one. Sizes and counts are
// bounded.
//
// Thread safety: a loaded store is immutable and may be used from any thread.

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

struct x509_store_st;

namespace vornelo::platform {

class AnchorStore {
public:
    static constexpr std::string_view systemPath = "/etc/code-signing/anchors";

    [[nodiscard]] static AnchorStore load(const std::filesystem::path& folder);

    // Something that changes when a certificate is added, removed or replaced by rename; empty
    // when the folder is missing. Cheap: one stat.
    [[nodiscard]] static std::string stamp(const std::filesystem::path& folder);

    x509_store_st* store() const { return store_.get(); }
    int count() const { return count_; }
    // Why the folder was ignored, empty when it was read.
    const std::string& ignoredBecause() const { return ignoredBecause_; }

private:
    AnchorStore();

    std::shared_ptr<x509_store_st> store_;
    int count_ = 0;
    std::string ignoredBecause_;
};

}  // namespace vornelo::platform

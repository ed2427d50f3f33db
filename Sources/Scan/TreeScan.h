#pragma once
// The one walk the tree scanners share: each root the scan covers is walked once, in parallel,
// and every folder and regular file met is shown to every observer. The walk never follows a
// link, enters another file system only when asked, and stays out of hidden folders (programs'
// own data, which the place scanners know by name), of places claimed by a place scanner's
// findings, of folders an observer takes whole, and of the places below that hold programs'
// data rather than the user's (~/snap, ~/go/pkg). Special files and links that lead nowhere are
// reported to the coverage; nothing is opened but folders.
//
// Thread safety: walk() runs once, from one thread, using the platform's pool. After it, the
// folder names it kept may be read from any thread.

#include "Scan/Candidate.h"
#include "Scan/ScanContext.h"
#include "Scan/TreeObserver.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace vornelo::scan {

class TreeScan {
public:
    // `claimed` holds the paths of the place scanners' candidates.
    TreeScan(const ScanContext& context, std::span<TreeObserver* const> observers,
             std::unordered_set<std::string> claimed);
    ~TreeScan();
    TreeScan(const TreeScan&) = delete;
    TreeScan& operator=(const TreeScan&) = delete;

    // Walks every root; returns the observers' candidates.
    [[nodiscard]] std::vector<Candidate> walk();

    // The path, relative to its root, of the item `name` in the folder the walk tagged `folderTag`.
    void relativePath(std::uintptr_t folderTag, std::string_view name, std::string& out) const;
    // The path of that folder relative to its root ("" for the root itself).
    void folderPath(std::uintptr_t folderTag, std::string& out) const;
    // Whether the root's own path holds no symbolic link, so that paths below it are link free.
    [[nodiscard]] bool rootIsLinkFree(std::uint32_t root) const { return linkFree_.at(root); }
    const std::vector<std::string>& roots() const { return context_.roots(); }

private:
    struct Worker;

    platform::TreeWalkAction visit(const platform::TreeWalkItem& item, std::uint32_t root);
    platform::TreeWalkAction visitFolder(const platform::TreeWalkItem& item, std::uint32_t root);
    void visitFile(const platform::TreeWalkItem& item, std::uint32_t root);
    void keep(Candidate candidate);
    bool isClaimed(const platform::TreeWalkItem& item, std::uint32_t root) const;

    const ScanContext& context_;
    std::vector<TreeObserver*> observers_;
    bool anyWantsFiles_ = false;
    std::unordered_set<std::string> claimed_;
    std::unordered_set<std::string> claimedParents_;
    std::unordered_set<std::string> neverEntered_;
    std::vector<bool> linkFree_;
    std::vector<bool> rootHoldsClaimed_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::mutex lock_;  // guards candidates_
    std::vector<Candidate> candidates_;
};

}  // namespace vornelo::scan

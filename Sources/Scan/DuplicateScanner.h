#pragma once
// Identical files below the folders the scan covers. The walk hands every regular file of at
// least the minimum size (CategoryRules::duplicateMinimumSize) to file(), which keeps it
// compactly: sizes, stamps and a name, the folder shared through the walk's tags. compare() then
// folds hard links to one file into one copy (never a duplicate of itself), has DuplicateFinder
// tell which files are equal, and decides per group which copies stay: every copy in a protected
// or excluded place, or in a folder the user asked to keep; otherwise the one the keep rule
// picks. The other copies old enough for the category's age become duplicate findings; a group is
// never offered whole.
//
// Thread safety: file() is called from the walk's threads at once (each keeps to the list of its
// own walking thread); compare() runs once, after the walk.

#include "Scan/DuplicateFinder.h"
#include "Scan/FindingJudge.h"
#include "Scan/FindingSizer.h"
#include "Scan/TreeObserver.h"
#include "Scan/TreeScan.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace vornelo::scan {

class DuplicateScanner final : public TreeObserver {
public:
    explicit DuplicateScanner(const ScanContext& context);
    ~DuplicateScanner() override;

    [[nodiscard]] Category category() const override { return Category::duplicate; }
    [[nodiscard]] bool wantsFiles() const override { return true; }
    [[nodiscard]] std::optional<Candidate> file(const platform::TreeWalkItem& item, std::uint32_t root,
                                                const ScanContext& context) override;

    struct Result {
        std::vector<DuplicateGroup> groups;  // copyCount and bytesBack still to be counted
        std::vector<Finding> copies;         // every link of each copy offered, naming its group
        // The copies that are hard-linked files, by their place in `copies`, to be counted once.
        std::vector<std::pair<std::size_t, LinkedFile>> linked;
        std::vector<std::string> members;    // the watched paths that are a copy in some group, kept or not
    };
    // After the walk, once: the files handed over are let go. `hash` keys the comparison.
    [[nodiscard]] Result compare(const TreeScan& tree, const FindingJudge& judge, const platform::ContentHash& hash,
                                 const std::unordered_set<std::string>& watched = {});

    // How many files the walk handed over.
    [[nodiscard]] std::size_t fileCount() const;

private:
    struct Record;
    struct Worker;
    class Files;

    const ScanContext& context_;
    std::int64_t minimumSize_;
    std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace vornelo::scan

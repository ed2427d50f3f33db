#pragma once
// What the space browser shows and where the user is in it, apart from the screen: the folder
// being looked at, its rows in the order asked for, the selected row, the marked items and why an
// item may not be marked. Rows are rebuilt from the tree at every refresh, so sizes that a walk is
// still adding to, and items that cleaning took out, show at once.
//
// Thread safety: for the tree's owner thread only.

#include "Scan/SpaceTree.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace vornelo::cli {

struct BrowseRow {
    std::string name;
    std::string path;  // empty for the row of files not listed by name
    SpaceTree::Kind kind = SpaceTree::Kind::file;
    SpaceTree::Totals totals;
    const SpaceTree::Folder* folder = nullptr;
    bool unreadable = false;
    bool otherFileSystem = false;

    bool isRest() const { return path.empty(); }
};

class BrowseModel {
public:
    explicit BrowseModel(SpaceTree& tree);

    SpaceTree& tree() const { return tree_; }
    const SpaceTree::Folder& current() const { return *current_; }
    std::string currentPath() const { return tree_.path(*current_); }
    const std::vector<BrowseRow>& rows() const { return rows_; }
    std::size_t selected() const { return selected_; }
    const BrowseRow* selectedRow() const { return rows_.empty() ? nullptr : &rows_[selected_]; }

    // Reads the current folder again from the tree; the selection stays on the same item. A
    // current folder that left the tree (cleaned, or measured again) gives way to the same path in
    // the tree, or the nearest folder above that is still there.
    void refresh();

    void move(std::ptrdiff_t rows);
    void moveToEnd(bool last);
    // Into the selected folder; false when the selection is no folder.
    bool open();
    // Up to the folder above, selecting the one just left; false at the top of the tree.
    bool back();

    SpaceTree::Order order() const { return order_; }
    void setOrder(SpaceTree::Order order);
    bool apparent() const { return apparent_; }
    void toggleApparent();

    // The first row to draw so that the selection is on screen in `visible` rows.
    std::size_t firstVisible(std::size_t visible);

    // ---- Marks ----

    enum class Marking { marked, unmarked, refused };
    // Marks or unmarks the selected item; `refused` with the reason when it may not be marked.
    Marking toggleMark(std::string& reason);
    bool isMarked(const std::string& path) const { return marks_.contains(path); }
    std::size_t markCount() const { return marks_.size(); }
    // In the size shown (apparent or allocated), as measured when each was marked.
    std::int64_t markedBytes() const;
    // What cleaning takes: the marked items, without those inside another marked folder, or the
    // selected item when nothing is marked. Empty, with the reason, when there is nothing to take.
    std::vector<std::filesystem::path> cleaningCandidates(std::string& reason);
    // Forgets the marks of an item that is gone and of everything that was inside it.
    void unmarkGone(const std::string& path);

    // Why the row's item may never be cleaned, from the path's spelling and its links (cheap, and
    // remembered); the search for security software inside a folder happens when it is marked.
    const std::optional<std::string>& protection(const BrowseRow& row);

private:
    std::optional<std::string> markRefusal(const BrowseRow& row);

    SpaceTree& tree_;
    const SpaceTree::Folder* current_;
    std::string currentPath_;
    std::vector<BrowseRow> rows_;
    std::size_t selected_ = 0;
    std::string selectedName_;
    std::size_t firstVisible_ = 0;
    SpaceTree::Order order_ = SpaceTree::Order::size;
    bool apparent_ = false;
    std::map<std::string, SpaceTree::Totals> marks_;  // path -> what it held when marked
    std::unordered_map<std::string, std::optional<std::string>> protection_;
};

}  // namespace vornelo::cli

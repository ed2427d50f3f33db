#pragma once
// The space browser's terminal, through ncurses: the listing of one folder with bars and shares,
// and full-screen pages of text (a plan, a result, the help) with a question under them.
//
// Every text reaches the terminal through `displayed`, and on a terminal that is not UTF-8 with
// everything outside ASCII spelled out as well, so no name can move the cursor or garble the
// screen. Names too long for the width lose their middle, never their end. Colours only where the
// terminal has them and NO_COLOR is not set.
//
// Ownership: one object at a time; it takes the terminal over while it lives and gives it back as
// it was when destroyed. Thread safety: for one thread.

#include "CLI/BrowseModel.h"

#include <expected>
#include <memory>
#include <string>
#include <vector>

namespace vornelo::cli {

class BrowseScreen {
public:
    // The keys of readKey beyond the characters typed.
    enum Key : int { none = -1, up = 1000, down, pageUp, pageDown, home, end, left, right, enter, backspace, resize, interrupt };

    // Nothing, with the reason, when standard input and output are no terminal ncurses can drive.
    static std::expected<std::unique_ptr<BrowseScreen>, std::string> open();
    ~BrowseScreen();
    BrowseScreen(const BrowseScreen&) = delete;
    BrowseScreen& operator=(const BrowseScreen&) = delete;

    // The next key, or `none` after timeoutMilliseconds without one, or as soon as `wakeFd` (when
    // not -1) becomes readable: work on another thread says so, to be shown at once.
    int readKey(int timeoutMilliseconds, int wakeFd = -1);
    int width() const;
    int height() const;
    // Rows for the listing between the header and the two lines at the bottom (fewer while a
    // long message takes more lines).
    std::size_t listRows() const;

    struct Status {
        std::string progress;       // measuring, or how the tree was measured
        std::string shortProgress;  // the same for a narrow screen
        std::string message;   // what the last key did, or why it did nothing
        bool messageIsWarning = false;
    };
    void drawBrowser(BrowseModel& model, const Status& status);

    // A page of text from `top` on, a title above it and a question (or hint) below.
    void drawPage(const std::string& title, const std::vector<std::string>& lines, std::size_t top,
                  const std::string& prompt);
    // The page's lines as drawn: wrapped at the screen's width.
    std::vector<std::string> pageLines(const std::vector<std::string>& lines) const;
    // Lines of the page that fit on the screen above the question.
    std::size_t pageRows(const std::string& prompt) const;

    // The text as this terminal can show it (see above); exposed for the pages' text.
    std::string shown(std::string_view text) const;

private:
    struct Terminal;
    explicit BrowseScreen(std::unique_ptr<Terminal> terminal);

    void drawRow(int y, const BrowseRow& row, BrowseModel& model, bool selected, std::int64_t whole);
    void drawBar(int y, const std::string& text, int colourPair);
    std::size_t questionRows(const std::string& prompt) const;

    std::unique_ptr<Terminal> terminal_;
};

}  // namespace vornelo::cli

#include "CLI/BrowseScreen.h"

#include "CLI/Context.h"
#include "CLI/SpaceText.h"
#include "Core/ByteSizeFormatter.h"

#include <langinfo.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// Functions only: the macros would clash with C++ names (move, erase, timeout, ...).
#define NCURSES_NOMACROS
#include <curses.h>

namespace vornelo::cli {

namespace {

enum Pair : short { titlePair = 1, barPair, protectedPair, markedPair, warningPair };

// The display cells of one UTF-8 character and its length; for text `shown` has made safe.
std::pair<int, std::size_t> cellsOf(std::string_view text, std::size_t at, bool utf8) {
    if (!utf8 || static_cast<unsigned char>(text[at]) < 0x80) return {1, 1};
    std::mbstate_t state{};
    wchar_t character = 0;
    const auto length = std::mbrtowc(&character, text.data() + at, text.size() - at, &state);
    if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2) || length == 0) return {1, 1};
    return {std::max(::wcwidth(character), 0), length};
}

int cellsIn(std::string_view text, bool utf8) {
    int cells = 0;
    for (std::size_t at = 0; at < text.size();) {
        const auto [width, length] = cellsOf(text, at, utf8);
        cells += width;
        at += length;
    }
    return cells;
}

// The text in at most `width` cells: its middle gives way to an ellipsis, so that both the start
// and the end (a name's extension) stay in sight.
std::string fitted(const std::string& text, int width, bool utf8) {
    if (width <= 0) return {};
    if (cellsIn(text, utf8) <= width) return text;
    const std::string ellipsis = utf8 ? "\u2026" : "~";
    const int room = width - 1;
    const int headCells = room / 2;
    std::string head;
    int cells = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto [w, length] = cellsOf(text, at, utf8);
        if (cells + w > headCells) break;
        head.append(text, at, length);
        cells += w;
        at += length;
    }
    // The end, character by character from the back, in the cells left.
    std::vector<std::pair<std::size_t, int>> starts;  // offset and cells of each character
    for (std::size_t from = at; from < text.size();) {
        const auto [w, length] = cellsOf(text, from, utf8);
        starts.emplace_back(from, w);
        from += length;
    }
    int tailCells = 0;
    std::size_t tailStart = text.size();
    for (auto character = starts.rbegin(); character != starts.rend(); ++character) {
        if (cells + tailCells + character->second > room) break;
        tailCells += character->second;
        tailStart = character->first;
    }
    return head + ellipsis + text.substr(tailStart);
}

// The text in lines of at most `width` cells, broken at spaces where it can be; continued lines
// keep the first line's indentation and two more spaces.
std::vector<std::string> wrapped(const std::string& text, int width, bool utf8) {
    if (width <= 0 || cellsIn(text, utf8) <= width) return {text};
    const auto indentLength = std::min(text.find_first_not_of(' '), text.size());
    const std::string indent(std::min<std::size_t>(indentLength + 2, static_cast<std::size_t>(width / 2)), ' ');
    std::vector<std::string> lines;
    std::string line;
    int cells = 0;
    std::size_t lastSpace = std::string::npos;  // in `line`
    for (std::size_t at = 0; at < text.size();) {
        const auto [w, length] = cellsOf(text, at, utf8);
        if (cells + w > width) {
            std::string rest;
            if (lastSpace != std::string::npos && lastSpace > indent.size()) {
                rest = line.substr(lastSpace + 1);
                line.resize(lastSpace);
            }
            lines.push_back(line);
            line = indent + rest;
            cells = cellsIn(line, utf8);
            lastSpace = std::string::npos;
        }
        if (text[at] == ' ') lastSpace = line.size();
        line.append(text, at, length);
        cells += w;
        at += length;
    }
    lines.push_back(line);
    return lines;
}

std::string padLeft(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

}  // namespace

struct BrowseScreen::Terminal {
    SCREEN* screen = nullptr;
    bool utf8 = false;
    bool colours = false;

    ~Terminal() {
        if (!screen) return;
        ::endwin();
        ::delscreen(screen);
    }
    attr_t pair(Pair which) const { return colours ? static_cast<attr_t>(COLOR_PAIR(which)) : A_NORMAL; }
};

std::expected<std::unique_ptr<BrowseScreen>, std::string> BrowseScreen::open() {
    if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDOUT_FILENO) != 1) {
        return std::unexpected(std::string("The browser needs a terminal for its input and output; "
                                           "\u201Cvornelo-cli size PATH --depth N\u201D lists the largest items as text."));
    }
    std::setlocale(LC_ALL, "");
    auto terminal = std::make_unique<Terminal>();
    terminal->utf8 = std::strcmp(::nl_langinfo(CODESET), "UTF-8") == 0;
    terminal->screen = ::newterm(nullptr, stdout, stdin);
    // A terminal that cannot put the cursor where it is told (a "dumb" one) cannot show a screen.
    const char* moves = terminal->screen ? ::tigetstr("cup") : nullptr;
    if (!moves || moves == reinterpret_cast<char*>(-1)) {
        terminal.reset();
        const char* type = std::getenv("TERM");
        return std::unexpected("The terminal type \u201C" + std::string(type ? type : "") + "\u201D is not one the browser can drive.");
    }
    ::raw();  // Ctrl-C arrives as a key, so that it can cancel what runs instead of ending everything
    ::noecho();
    ::keypad(stdscr, TRUE);
    ::set_escdelay(25);
    ::curs_set(0);
    if (::has_colors() && !noColourWanted()) {
        terminal->colours = true;
        ::start_color();
        ::use_default_colors();
        ::init_pair(titlePair, COLOR_BLACK, COLOR_CYAN);
        ::init_pair(barPair, COLOR_GREEN, -1);
        ::init_pair(protectedPair, COLOR_RED, -1);
        ::init_pair(markedPair, COLOR_YELLOW, -1);
        ::init_pair(warningPair, COLOR_RED, -1);
    }
    return std::unique_ptr<BrowseScreen>(new BrowseScreen(std::move(terminal)));
}

BrowseScreen::BrowseScreen(std::unique_ptr<Terminal> terminal) : terminal_(std::move(terminal)) {}

BrowseScreen::~BrowseScreen() = default;

int BrowseScreen::width() const { return ::getmaxx(stdscr); }
int BrowseScreen::height() const { return ::getmaxy(stdscr); }
std::size_t BrowseScreen::listRows() const { return static_cast<std::size_t>(std::max(height() - 4, 0)); }

int BrowseScreen::readKey(int timeoutMilliseconds, int wakeFd) {
    // Keys ncurses has read already come first; only then is the terminal waited on, beside the
    // wake-up descriptor. A resize interrupts the wait, and wgetch then reports it.
    ::wtimeout(stdscr, 0);
    int key = ::wgetch(stdscr);
    if (key == ERR) {
        pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        ::poll(waits, wakeFd >= 0 ? 2 : 1, timeoutMilliseconds);
        if (wakeFd >= 0 && (waits[1].revents & POLLIN)) {
            char drained[64];
            while (::read(wakeFd, drained, sizeof drained) > 0) {
            }
        }
        key = ::wgetch(stdscr);
    }
    switch (key) {
        case ERR: return none;
        case KEY_UP: return up;
        case KEY_DOWN: return down;
        case KEY_PPAGE: return pageUp;
        case KEY_NPAGE: return pageDown;
        case KEY_HOME: return home;
        case KEY_END: return end;
        case KEY_LEFT: return left;
        case KEY_RIGHT: return right;
        case KEY_ENTER: case '\n': case '\r': return enter;
        case KEY_BACKSPACE: case 127: case 8: return backspace;
        case KEY_RESIZE: return resize;
        case 3: return interrupt;  // Ctrl-C in raw mode
        default: return key >= 0 && key < 256 ? key : none;
    }
}

std::string BrowseScreen::shown(std::string_view text) const {
    auto safe = displayed(text);
    if (terminal_->utf8) return safe;
    // Without UTF-8 only ASCII can be trusted to show as itself: the punctuation of our own texts
    // gets its ASCII look-alike, anything else is spelled out.
    static const std::pair<std::string_view, std::string_view> lookAlikes[] = {
        {"\u2026", "..."}, {"\u2014", "-"}, {"\u2013", "-"}, {"\u201C", "\""}, {"\u201D", "\""}, {"\u2019", "'"}, {"\u00B7", "|"}};
    std::string out;
    for (std::size_t at = 0; at < safe.size();) {
        const auto byte = static_cast<unsigned char>(safe[at]);
        if (byte < 0x80) {
            out += safe[at++];
            continue;
        }
        bool replaced = false;
        for (const auto& [from, to] : lookAlikes) {
            if (std::string_view(safe).substr(at).starts_with(from)) {
                out += to;
                at += from.size();
                replaced = true;
                break;
            }
        }
        if (replaced) continue;
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", byte);
        out += hex;
        ++at;
    }
    return out;
}

void BrowseScreen::drawBar(int y, const std::string& text, int colourPair) {
    const int w = width();
    const attr_t look = terminal_->colours ? static_cast<attr_t>(COLOR_PAIR(colourPair)) : A_REVERSE;
    ::wattron(stdscr, static_cast<int>(look));
    ::mvwhline(stdscr, y, 0, ' ', w);
    ::mvwaddstr(stdscr, y, 0, fitted(text, w, terminal_->utf8).c_str());
    ::wattroff(stdscr, static_cast<int>(look));
}

void BrowseScreen::drawRow(int y, const BrowseRow& row, BrowseModel& model, bool selected, std::int64_t whole) {
    const int w = width();
    const bool utf8 = terminal_->utf8;
    const auto& protection = row.isRest() ? std::optional<std::string>() : model.protection(row);
    const bool marked = !row.isRest() && model.isMarked(row.path);
    char flag = ' ';
    if (marked) flag = '*';
    else if (protection) flag = 'P';
    else if (row.unreadable) flag = '!';
    else if (row.otherFileSystem) flag = '>';
    else if (row.kind == SpaceTree::Kind::symbolicLink || row.kind == SpaceTree::Kind::other) flag = '@';

    const auto bytes = row.totals.bytes(model.apparent());
    int x = 0;
    const auto put = [&](const std::string& text, attr_t look = A_NORMAL) {
        if (x >= w) return;
        ::wattron(stdscr, static_cast<int>(look));
        ::mvwaddstr(stdscr, y, x, fitted(text, w - x, utf8).c_str());
        ::wattroff(stdscr, static_cast<int>(look));
        x += std::min(cellsIn(text, utf8), w - x);
    };
    if (selected) ::wattron(stdscr, A_REVERSE);
    ::mvwhline(stdscr, y, 0, ' ', w);
    put(std::string(1, flag) + " ", marked ? terminal_->pair(markedPair) | A_BOLD : protection ? terminal_->pair(protectedPair) : A_NORMAL);
    put(padLeft(ByteSizeFormatter::format(bytes), 9));
    if (w >= 36) put(" " + padLeft(shareText(bytes, whole), 6));
    if (w >= 72) put(" " + padLeft(row.folder || row.isRest() ? grouped(row.totals.files) : "", 10));
    if (w >= 56) {
        put(" [");
        put(barText(bytes, whole, 10, utf8), terminal_->pair(barPair));
        put("]");
    }
    put(" ");
    std::string name = shown(row.name) + (row.folder ? "/" : "");
    if (row.isRest()) name = "(" + name + ")";
    put(name, row.folder ? A_BOLD : A_NORMAL);
    if (selected) ::wattroff(stdscr, A_REVERSE);
}

void BrowseScreen::drawBrowser(BrowseModel& model, const Status& status) {
    ::werase(stdscr);
    const int w = width();
    const int h = height();
    const bool utf8 = terminal_->utf8;
    if (h < 6 || w < 20) {
        ::mvwaddstr(stdscr, 0, 0, fitted("Make the terminal larger.", w, utf8).c_str());
        ::wrefresh(stdscr);
        return;
    }
    const auto& tree = model.tree();
    const auto totals = tree.totals(model.current());
    const auto whole = totals.bytes(model.apparent());
    drawBar(0, " " + shown(model.currentPath()), titlePair);

    std::string header = std::string(2, ' ') + padLeft(model.apparent() ? "Length" : "Size", 9);
    if (w >= 36) header += " " + padLeft("Share", 6);
    if (w >= 72) header += " " + padLeft("Files", 10);
    if (w >= 56) header += std::string(13, ' ');
    header += " Name";
    ::wattron(stdscr, A_DIM);
    ::mvwaddstr(stdscr, 1, 0, fitted(header, w, utf8).c_str());
    ::wattroff(stdscr, A_DIM);

    // What the selected item is, or what the last key did: up to three lines, taken from the list.
    std::string info;
    attr_t look = A_NORMAL;
    if (!status.message.empty()) {
        info = shown(status.message);
        if (status.messageIsWarning) look = terminal_->pair(warningPair) | A_BOLD;
    } else if (const auto* row = model.selectedRow(); row && row->isRest()) {
        info = "The folder's files too small to be listed one by one.";
    } else if (row) {
        if (const auto& reason = model.protection(*row)) {
            info = "Protected: " + shown(*reason);
            look = terminal_->pair(protectedPair);
        } else {
            info = shown(row->path);
            if (row->unreadable) info += " (could not be read entirely)";
            if (row->otherFileSystem) info += " (another file system, not entered)";
        }
    }
    auto infoLines = status.message.empty() ? std::vector<std::string>{fitted(info, w, utf8)} : wrapped(info, w, utf8);
    infoLines.resize(std::min<std::size_t>(infoLines.size(), 3));
    const int infoTop = h - 1 - static_cast<int>(infoLines.size());
    ::wattron(stdscr, static_cast<int>(look));
    for (std::size_t line = 0; line < infoLines.size(); ++line) {
        ::mvwaddstr(stdscr, infoTop + static_cast<int>(line), 0, fitted(infoLines[line], w, utf8).c_str());
    }
    ::wattroff(stdscr, static_cast<int>(look));

    const auto visible = static_cast<std::size_t>(std::max(infoTop - 2, 0));
    const auto& rows = model.rows();
    const auto first = model.firstVisible(visible);
    if (rows.empty()) {
        ::mvwaddstr(stdscr, 2, 2, fitted(tree.isComplete() ? "This folder is empty." : "Measuring\u2026", w - 2, utf8).c_str());
    }
    for (std::size_t line = 0; line < visible && first + line < rows.size(); ++line) {
        drawRow(static_cast<int>(line) + 2, rows[first + line], model, first + line == model.selected(), whole);
    }

    // The status line: pieces in the order shown, the least needed dropped first when narrow.
    struct Piece {
        std::string text;
        int rank;  // lower stays longer
    };
    std::vector<Piece> pieces{{" " + ByteSizeFormatter::format(whole), 0}, {" in " + filesText(totals.files), 2}};
    pieces.push_back({model.order() == SpaceTree::Order::size ? ", by size" : model.order() == SpaceTree::Order::name ? ", by name" : ", by count", 5});
    if (model.markCount() > 0) {
        pieces.push_back({", " + grouped(static_cast<std::int64_t>(model.markCount())) + " marked (" +
                              ByteSizeFormatter::format(model.markedBytes()) + ")", 1});
    }
    if (!status.progress.empty()) pieces.push_back({" \u00B7 " + status.progress, 3});  // last, for its short form
    const std::string help = "  ? help ";
    for (auto& piece : pieces) piece.text = shown(piece.text);
    const auto length = [&] {
        int cells = cellsIn(help, utf8);
        for (const auto& piece : pieces) cells += cellsIn(piece.text, utf8);
        return cells;
    };
    if (length() > w && !status.shortProgress.empty()) pieces.back().text = shown(" \u00B7 " + status.shortProgress);
    while (length() > w && pieces.size() > 1) {
        const auto dropped = std::ranges::max_element(pieces, {}, &Piece::rank);
        pieces.erase(dropped);
    }
    std::string line;
    for (const auto& piece : pieces) line += piece.text;
    const int room = std::max(w - cellsIn(help, utf8), 0);
    line = fitted(line, room, utf8);
    drawBar(h - 1, line + std::string(static_cast<std::size_t>(std::max(room - cellsIn(line, utf8), 0)), ' ') + help, titlePair);
    ::wrefresh(stdscr);
}

std::vector<std::string> BrowseScreen::pageLines(const std::vector<std::string>& lines) const {
    std::vector<std::string> all;
    for (const auto& line : lines) {
        for (auto& part : wrapped(shown(line), width(), terminal_->utf8)) all.push_back(std::move(part));
    }
    return all;
}

std::size_t BrowseScreen::questionRows(const std::string& prompt) const {
    const auto rows = wrapped(" " + shown(prompt), width(), terminal_->utf8).size();
    return std::min<std::size_t>(rows, static_cast<std::size_t>(std::max(height() - 2, 1)));
}

std::size_t BrowseScreen::pageRows(const std::string& prompt) const {
    return static_cast<std::size_t>(std::max(height() - 1 - static_cast<int>(questionRows(prompt)), 0));
}

void BrowseScreen::drawPage(const std::string& title, const std::vector<std::string>& lines, std::size_t top,
                            const std::string& prompt) {
    ::werase(stdscr);
    const int w = width();
    const int h = height();
    drawBar(0, " " + shown(title), titlePair);
    const auto all = pageLines(lines);
    const auto rows = pageRows(prompt);
    for (std::size_t line = 0; line < rows && top + line < all.size(); ++line) {
        ::mvwaddstr(stdscr, static_cast<int>(line) + 1, 0, fitted(all[top + line], w, terminal_->utf8).c_str());
    }
    if (all.size() > rows + top && rows > 0) {
        const std::string more = terminal_->utf8 ? " \u2193 more " : " v more ";
        ::wattron(stdscr, A_REVERSE);
        ::mvwaddstr(stdscr, static_cast<int>(rows), std::max(w - cellsIn(more, terminal_->utf8), 0), more.c_str());
        ::wattroff(stdscr, A_REVERSE);
    }
    // The question may take more than one line on a narrow screen; it is never cut.
    const auto question = wrapped(" " + shown(prompt), w, terminal_->utf8);
    const auto questionCount = questionRows(prompt);
    for (std::size_t line = 0; line < questionCount; ++line) {
        drawBar(h - static_cast<int>(questionCount) + static_cast<int>(line), question[line], titlePair);
    }
    ::wrefresh(stdscr);
}

}  // namespace vornelo::cli

#include "Support/CliFixture.h"
#include "Support/FileChecks.h"
#include "Support/TmuxSession.h"

#include <fcntl.h>
#include <unistd.h>

#include <regex>
#include <sstream>

namespace vornelo {
namespace {

using nlohmann::json;
using test::contains;
using test::missingFrom;
using test::TmuxSession;
using test::writeFile;

// The rows of a captured screen, and whether any of them is wider than the terminal.
std::vector<std::string> linesOf(const std::string& screen) {
    std::vector<std::string> lines;
    std::istringstream reader(screen);
    for (std::string line; std::getline(reader, line);) lines.push_back(line);
    return lines;
}

// A foreground colour was set somewhere on the screen.
bool coloured(const std::string& screenWithEscapes) { return std::regex_search(screenWithEscapes, std::regex("\033\\[3[0-7][m;]")); }

std::size_t cellsOf(const std::string& line) {
    std::size_t cells = 0;
    for (const char c : line) cells += (static_cast<unsigned char>(c) & 0xC0) != 0x80;  // the screens hold no wide characters
    return cells;
}

class BrowseTest : public test::CliTest {
protected:
    void SetUp() override {
        writeFile(path("Stuff/big/video.bin"), std::string(409600, 'v'));
        writeFile(path("Stuff/big/other.bin"), std::string(102400, 'o'));
        writeFile(path("Stuff/logs/a.log"), std::string(204800, 'l'));
        writeFile(path("Stuff/small/note.txt"), std::string(4096, 'n'));
        writeFile(path("Stuff/Keep/precious"), std::string(8192, 'k'));
        ASSERT_EQ(cli({"exclusions", "add", path("Stuff/Keep").native()}).exitCode, 0);
    }
    std::string stuff(const std::string& relative = "") const { return path("Stuff" + (relative.empty() ? "" : "/" + relative)).native(); }
    std::unique_ptr<TmuxSession> browse(std::vector<std::string> arguments, int width = 80, int height = 24,
                                        const std::map<std::string, std::string>& environment = {{"LANG", "C.UTF-8"}}) const {
        arguments.insert(arguments.begin(), {VORNELO_CLI_PATH, "browse"});
        auto session = std::make_unique<TmuxSession>(arguments, width, height, environment);
        EXPECT_TRUE(session->started());
        return session;
    }
};

TEST_F(BrowseTest, WalkingDownSortingMarkingCleaningAndPuttingBackAsAPersonWould) {
    const auto screen = browse({stuff()});
    // Largest first, each with its share and bar; the excluded folder is flagged and explained.
    auto shown = screen->waitFor({"big/", "logs/", "Keep/", "small/", "measured"});
    EXPECT_EQ(missingFrom(shown, {" " + stuff() + "\n", "Size  Share      Files", " 512 KB  70.2%          2 [███████   ] big/",
                                  "P      8 KB   1.1%          1", "measured 9 items in"}), "");
    screen->keys({"n"});
    screen->waitFor({"big/", "Keep/", "logs/", "small/", "by name"});
    screen->keys({"c"});
    screen->waitFor({"big/", "Keep/", "logs/", "small/", "by count"});
    screen->keys({"?"});
    screen->waitFor({"Keys of the space browser", "space  mark or unmark", "Press any key to go back."});
    screen->keys({"x", "s", "Down", "Down", "Space"});
    EXPECT_EQ(missingFrom(screen->waitFor({"Protected: Excluded by"}), {"Protected: Excluded by " + stuff("Keep") + "."}), "");

    // Into big/: its files; mark the video, come back up onto big/ and mark logs/ as well.
    screen->keys({"Home", "Enter"});
    shown = screen->waitFor({" " + stuff("big") + "\n", "video.bin", "other.bin"});
    EXPECT_TRUE(contains(shown, "410 KB  80.0%")) << shown;
    screen->keys({"Space", "Left"});
    screen->waitFor({"1 marked (410 KB)"});
    screen->keys({"Down", "Space"});
    shown = screen->waitFor({"* ", "logs/", "2 marked (614 KB)"});
    EXPECT_TRUE(contains(shown, "2 marked (614 KB)")) << shown;

    // The plan first; declining changes nothing, y moves both into the Trash as one session.
    screen->keys({"d"});
    shown = screen->waitFor({"2 items to clean, 614 KB", stuff("big/video.bin"), stuff("logs"), "Press y to clean"});
    EXPECT_EQ(missingFrom(shown, {"410 KB  " + stuff("big/video.bin"), "205 KB  " + stuff("logs"),
                                  "Move 2 items to the Trash (614 KB)? Press y to clean"}), "");
    screen->keys({"n"});
    EXPECT_TRUE(contains(screen->waitFor({"Nothing was changed."}), "Nothing was changed."));
    EXPECT_TRUE(std::filesystem::exists(stuff("logs/a.log")));
    screen->keys({"d"});
    screen->waitFor({"Press y to clean"});
    screen->keys({"y"});
    shown = screen->waitFor({"Moved 2 items to the Trash (614 KB).", "Press u in the browser"});
    EXPECT_TRUE(contains(shown, "Moved 2 items to the Trash (614 KB).")) << shown;
    EXPECT_TRUE(std::filesystem::exists(trash("video.bin")) && std::filesystem::exists(trash("logs/a.log")));
    const auto sessions = cliJson({"sessions"});
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(std::tuple(sessions[0]["action"], sessions[0]["trashed"]), std::tuple("browse", 2));

    // Back in the folder the cleaned items are gone from the sizes; u puts them back.
    screen->keys({"Enter"});
    shown = screen->waitFor({"big/", "Keep/", "small/"});
    EXPECT_FALSE(contains(shown, "logs/")) << shown;
    EXPECT_TRUE(contains(shown, " 102 KB  ")) << shown;
    screen->keys({"u"});
    shown = screen->waitFor({"2 of 2 items can be put back:", "Put 2 items back?"});
    screen->keys({"y"});
    shown = screen->waitFor({"Restored  ", "Restored  "});
    EXPECT_EQ(missingFrom(shown, {"Restored  " + stuff("big/video.bin"), "Restored  " + stuff("logs")}), "");
    screen->keys({"Enter"});
    // Measured again, the folder shows them once more.
    screen->waitFor({" 512 KB  70.2%", "big/", "logs/"});
    EXPECT_TRUE(std::filesystem::exists(stuff("logs/a.log")) && std::filesystem::exists(stuff("big/video.bin")));
    screen->keys({"q"});
    EXPECT_EQ(screen->exitCode(), 0);
}

TEST_F(BrowseTest, AFolderMarkedWithSomethingInsideItGoesWholeEvenFromWithinAndSecuritySoftwareIsNeverOffered) {
    writeFile(path("Stuff/agent/com.crowdstrike.falcon/sensor.db"), std::string(4096, 's'));
    const auto screen = browse({stuff()});
    screen->waitFor({"big/", "logs/", "agent/", "measured"});
    // Only names reveal what the agent folder holds; marking it looks, and refuses.
    screen->keys({"End", "Up", "Space"});
    auto shown = screen->waitFor({"Protected: Contains security or device-management software."});
    EXPECT_TRUE(contains(shown, "P      4 KB")) << shown;
    // Mark big/, go into it, mark a file there too, and clean from inside: the folder goes whole.
    screen->keys({"Home", "Space", "Up", "Enter"});
    screen->waitFor({" " + stuff("big") + "\n", "video.bin"});
    screen->keys({"Space", "d"});
    shown = screen->waitFor({"1 item to clean, 512 KB", stuff("big"), "Press y to clean"});
    EXPECT_FALSE(contains(shown, "video.bin")) << shown;
    screen->keys({"y"});
    screen->waitFor({"Moved 1 item to the Trash (512 KB)."});
    screen->keys({"Enter"});
    // The folder shown is gone, so the browser stands in the one above.
    shown = screen->waitFor({" " + stuff() + "\n", "logs/", "agent/"});
    EXPECT_FALSE(contains(shown, "big/")) << shown;
    EXPECT_FALSE(contains(shown, "marked")) << shown;
    EXPECT_TRUE(std::filesystem::exists(trash("big/video.bin")));
    screen->keys({"q"});
    EXPECT_EQ(screen->exitCode(), 0);
}

TEST_F(BrowseTest, FilesTooSmallToListAreOneRowThatCannotBeMarkedAndAnEmptyFolderSaysSo) {
    for (int file = 0; file < 205; ++file) writeFile(path("Crowd/" + std::to_string(1000 + file)), std::string(file < 5 ? 1 : 8192, 'c'));
    std::filesystem::create_directories(path("Crowd/empty"));
    const auto screen = browse({path("Crowd").native()});
    screen->waitFor({"measured"});
    // The 200 largest by name; the five one-block files as one row, ranked by what they take together.
    auto shown = screen->waitFor({"Name\n      20 KB   1.2%          5 [▏         ] (5 smaller files)\n", "8 KB",
                                  "The folder's files too small to be listed one by one."});
    screen->keys({"Space"});
    shown = screen->waitFor({"too small to be listed one by one, so they cannot be marked."});
    EXPECT_FALSE(contains(shown, "marked (")) << shown;
    screen->keys({"End", "Enter"});
    screen->waitFor({" " + path("Crowd/empty").native() + "\n", "This folder is empty."});
    screen->keys({"q"});
    EXPECT_EQ(screen->exitCode(), 0);
}

TEST_F(BrowseTest, NarrowScreensHostileNamesResizingColoursAndCtrlCAllBehave) {
    const std::string latin1 = "caf\xe9";
    const std::string escape = "evil\033[31mred";
    const std::string longName = std::string(150, 'x') + ".tail";
    for (const auto& name : {latin1, escape, longName, std::string("Gr\xc3\xbc\xc3\x9f" "e")}) writeFile(path("Odd/" + name), "x");

    auto screen = browse({path("Odd").native()}, 40, 12);
    auto shown = screen->waitFor({"measured"});
    EXPECT_EQ(missingFrom(shown, {"caf\\xE9", "evil\\x1B[31mred", "\u2026", ".tail", "Gr\u00FC\u00DFe"}), "") << shown;
    for (const auto& line : linesOf(shown)) EXPECT_LE(cellsOf(line), 40u) << line;
    EXPECT_FALSE(contains(screen->screen(true), "\033[31mred")) << "a name recoloured the screen";
    EXPECT_TRUE(coloured(screen->screen(true))) << "colours where the terminal has them";
    screen->resize(100, 30);
    EXPECT_TRUE(contains(screen->waitFor({"Files"}), "Files"));
    screen->keys({"C-c"});
    EXPECT_EQ(screen->exitCode(), 0);

    // Without UTF-8 everything outside ASCII is spelled out; NO_COLOR leaves only plain attributes.
    screen = browse({path("Odd").native()}, 40, 12, {{"LANG", "C"}, {"LC_ALL", "C"}, {"NO_COLOR", "1"}});
    shown = screen->waitFor({"measured"});
    EXPECT_EQ(missingFrom(shown, {"Gr\\xC3\\xBC\\xC3\\x9Fe", "caf\\xE9", "~"}), "") << shown;
    EXPECT_FALSE(coloured(screen->screen(true))) << screen->screen(true);
    screen->keys({"q"});
    EXPECT_EQ(screen->exitCode(), 0);

    // Not on a terminal, or given both a folder and a file to import: a sentence, no screen.
    complains({"browse", path("Odd").native()}, 2, {"needs a terminal"});
    complains({"browse", path("Odd").native(), "--import", path("tree.json").native()}, 2, {"not both"});
    complains({"browse", path("Odd/" + latin1).native()}, 2, {"is not a folder."});
}

TEST_F(BrowseTest, ATreeMeasuredEarlierIsShownFromItsExportAndAChangedFolderIsMeasuredAgainOnRequest) {
    const auto exported = path("tree.json").native();
    ASSERT_EQ(cli({"size", stuff(), "--export", exported}).exitCode, 0);
    auto screen = browse({"--import", exported});
    auto shown = screen->waitFor({"big/", "logs/", "Keep/", "small/", "imported, measured"});
    EXPECT_TRUE(contains(shown, "imported, measured")) << shown;
    screen->keys({"q"});
    EXPECT_EQ(screen->exitCode(), 0);
    writeFile(exported, R"({"format":"vornelo-space-tree","version":9})");
    complains({"browse", "--import", exported}, 1, {exported + " is not a measured tree that can be shown: it was written by a later version."});

    // browse can write the tree too, once it is measured; an imported tree keeps its date.
    const auto again = path("again.json").native();
    screen = browse({stuff(), "--export", again});
    screen->waitFor({"The measured tree is in " + again + "."});
    screen->keys({"q"});
    EXPECT_EQ(screen->exitCode(), 0);
    screen = browse({"--import", again});
    EXPECT_EQ(missingFrom(screen->waitFor({"big/", "logs/", "imported"}), {"512 KB  70.2%"}), "");
    screen->keys({"q"});
    EXPECT_EQ(screen->exitCode(), 0);

    // The folder grows on disk after it was measured; r measures it again.
    screen = browse({stuff("small")});
    screen->waitFor({"note.txt", "measured"});
    writeFile(stuff("small/new.bin"), std::string(819200, 'n'));
    screen->keys({"r"});
    shown = screen->waitFor({"new.bin", "note.txt", "Measured " + stuff("small") + " again."});
    EXPECT_EQ(missingFrom(shown, {"819 KB  99.5%", "Measured " + stuff("small") + " again."}), "") << shown;
    screen->keys({"q"});
    EXPECT_EQ(screen->exitCode(), 0);
}

}  // namespace
}  // namespace vornelo

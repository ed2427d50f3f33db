#include "Support/CliFixture.h"
#include "Support/DeleterHarness.h"
#include "Support/FileChecks.h"

#include <fcntl.h>
#include <unistd.h>

namespace vornelo {
namespace {

using nlohmann::json;
using test::allocatedBytes;
using test::contains;
using test::readFile;
using test::writeFile;

class SizeLevelsTest : public test::CliTest {
protected:
    // Stuff/ holds a large folder, a middling one with many small files, one the user excluded,
    // and a loose file; sizes are whole blocks so that allocated and apparent sizes are known.
    void SetUp() override {
        writeFile(path("Stuff/big/video.bin"), std::string(409600, 'v'));
        writeFile(path("Stuff/big/inner/deep.bin"), std::string(40960, 'd'));
        for (int file = 0; file < 6; ++file) writeFile(path("Stuff/many/" + std::to_string(file)), std::string(4096, 'm'));
        writeFile(path("Stuff/Keep/precious"), std::string(8192, 'k'));
        writeFile(path("Stuff/loose.txt"), std::string(12288, 'l'));
        ASSERT_EQ(cli({"exclusions", "add", path("Stuff/Keep").native()}).exitCode, 0);
        const int fd = ::open(home.home().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::syncfs(fd);
        ::close(fd);
    }
    std::string stuff(const std::string& relative = "") const { return path("Stuff" + (relative.empty() ? "" : "/" + relative)).native(); }
    std::vector<std::string> namesOf(const json& children) const {
        std::vector<std::string> names;
        for (const auto& child : children) names.push_back(child["name"]);
        return names;
    }
};

TEST_F(SizeLevelsTest, EachLevelListsItsLargestItemsWithTheirShareAndTheRestAsOneLine) {
    const auto document = cliJson({"size", stuff(), "--depth", "2", "--top", "2"});
    const auto& item = document["items"][0];
    const std::int64_t total = 409600 + 40960 + 6 * 4096 + 8192 + 12288;
    EXPECT_EQ(std::tuple(item["sizeBytes"], item["apparentSizeBytes"], item["fileCount"], item["folderCount"]),
              std::tuple(total, total, 10, 4));
    const auto& top = item["children"];
    ASSERT_EQ(namesOf(top), (std::vector<std::string>{"big", "many"}));
    EXPECT_EQ(top[0], (json{{"name", "big"}, {"path", stuff("big")}, {"kind", "folder"}, {"sizeBytes", 450560},
                            {"apparentSizeBytes", 450560}, {"fileCount", 2}, {"folderCount", 1},
                            {"share", 450560.0 / total}, {"protected", false}, {"unreadable", false},
                            {"otherFileSystem", false}, {"children", top[0]["children"]}, {"moreItems", top[0]["moreItems"]}}));
    // Below the top level: big's own two items, nothing more; the deepest folder is not opened.
    EXPECT_EQ(namesOf(top[0]["children"]), (std::vector<std::string>{"video.bin", "inner"}));
    EXPECT_FALSE(top[0]["children"][1].contains("children"));
    EXPECT_EQ(top[0]["moreItems"], (json{{"count", 0}, {"sizeBytes", 0}, {"apparentSizeBytes", 0}}));
    EXPECT_EQ(namesOf(top[1]["children"]).size(), 2u);
    EXPECT_EQ(top[1]["moreItems"], (json{{"count", 4}, {"sizeBytes", 4 * 4096}, {"apparentSizeBytes", 4 * 4096}}));
    // At the top: loose.txt and Keep did not make the first two.
    EXPECT_EQ(item["moreItems"], (json{{"count", 2}, {"sizeBytes", 12288 + 8192}, {"apparentSizeBytes", 12288 + 8192}}));

    // Depth 0 is the total alone, in either size.
    const auto flat = cliJson({"size", stuff(), "--depth", "0", "--apparent"})["items"][0];
    EXPECT_EQ(std::tuple(flat.contains("children"), flat["apparentSizeBytes"]), std::tuple(false, total));

    // The other orders, and the protected folder with the rule that protects it.
    const auto byName = cliJson({"size", stuff(), "--top", "5", "--sort", "name"})["items"][0]["children"];
    EXPECT_EQ(namesOf(byName), (std::vector<std::string>{"big", "Keep", "loose.txt", "many"}));
    EXPECT_EQ(std::tuple(byName[1]["protected"], byName[1]["reason"]), std::tuple(true, "Excluded by " + stuff("Keep") + "."));
    EXPECT_EQ(namesOf(cliJson({"size", stuff(), "--top", "2", "--sort", "count"})["items"][0]["children"]),
              (std::vector<std::string>{"many", "big"}));
    writeFile(path("Stuff/many/sparse"), "");
    std::filesystem::resize_file(path("Stuff/many/sparse"), 50'000'000);
    const auto apparent = cliJson({"size", stuff(), "--top", "1", "--apparent"})["items"][0];
    EXPECT_EQ(namesOf(apparent["children"]), (std::vector<std::string>{"many"}));
    EXPECT_EQ(apparent["children"][0]["share"].get<double>() > 0.9, true);
    EXPECT_EQ(namesOf(cliJson({"size", stuff("many"), "--top", "1", "--apparent"})["items"][0]["children"]),
              (std::vector<std::string>{"sparse"}));
}

TEST_F(SizeLevelsTest, PlainTextShowsBarsSharesAndMarksWithoutTerminalCodesAndBadOptionsAreRefused) {
    const auto text = says({"size", stuff(), "--depth", "2", "--top", "2"},
                           {stuff() + ": 496 KB (495,616 bytes) in 10 files and 4 folders  protected: Contains the excluded path " + stuff("Keep") + ".\n",
                            "   451 KB  [######### ]   90.9%  big/  2 files\n",
                            "   410 KB  [######### ]   90.9%    video.bin\n",
                            "\u2026 and 4 more items\n",
                            "\u2026 and 2 more items\n"});
    EXPECT_FALSE(contains(text.out, "\033[")) << text.out;
    says({"size", stuff(), "--sort", "name", "--top", "4"}, {"Keep/  1 file  protected: Excluded by " + stuff("Keep") + ".\n"});
    says({"size", stuff("loose.txt"), stuff("small"), "--top", "3"},
         {stuff("loose.txt") + ": 12 KB (12,288 bytes)\n", "Total: 12,288 bytes (12 KB)\n", "Missing 1 item:"}, 1);

    // A whole tree for browse --import: a JSON document that names its format and every folder.
    const auto exported = path("tree.json");
    says({"size", stuff(), "--export", exported.native()}, {"The measured tree is in " + exported.native()});
    const auto tree = json::parse(readFile(exported));
    EXPECT_EQ(std::tuple(tree["format"], tree["path"], tree["folders"].size(), tree["folders"][0]["sizeBytes"]),
              std::tuple("vornelo-space-tree", stuff(), 5u, 495616));

    for (const auto& [arguments, complaint] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"size", stuff(), "--depth", "-1"}, "The depth must be between 0 and 1000, not -1."},
             {{"size", stuff(), "--top", "0"}, "1 or more, not 0."},
             {{"size", stuff(), "--sort", "age"}, "\u201Cage\u201D is not an order; use size, name or count."},
             {{"size", stuff(), stuff("big"), "--export", exported.native()}, "Only one folder can be exported at a time."},
             {{"size", "", "--top", "1"}, "An empty path cannot be measured."}}) {
        complains(arguments, 2, {complaint});
    }
    complains({"size", stuff("loose.txt"), "--export", exported.native()}, 1, {"Only a folder can be exported"});
    complains({"size", stuff(), "--export", path("missing/tree.json").native()}, 1, {"could not be written to"});
    says({"size", stuff("gone"), "--top", "1"}, {"Missing 1 item:"}, 1);
}

}  // namespace
}  // namespace vornelo

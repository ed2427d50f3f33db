#include "Support/CliFixture.h"
#include "Support/FileChecks.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <map>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::contains;
using test::missingFrom;
using test::writeFile;

void age(const fs::path& path, int days) {
    const auto when = std::chrono::system_clock::now() - std::chrono::days(days);
    const struct timespec times[2] = {{std::chrono::system_clock::to_time_t(when), 0}, {std::chrono::system_clock::to_time_t(when), 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Every path below the folder with a digest of its contents and its file number; the Trash, the
// operation log and the saved scan left out.
std::map<std::string, std::pair<std::size_t, std::uint64_t>> treeOf(const fs::path& folder) {
    std::map<std::string, std::pair<std::size_t, std::uint64_t>> tree;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const auto relative = entry.path().lexically_relative(folder).native();
        if (relative.starts_with(".local") || relative.starts_with("Library") || relative == "scan.json") continue;
        const auto contents = entry.is_regular_file() ? test::readFile(entry.path()) : std::string();
        tree[relative] = {std::hash<std::string>{}(contents), test::statOf(entry.path()).st_ino};
    }
    return tree;
}

class ScanCommandsTest : public test::CliTest {
protected:
    // Every XDG folder inside the test's home, and the home named, so that neither the real home
    // nor the system's places are ever scanned or cleaned.
    test::ProgramResult scan(std::vector<std::string> arguments) const {
        return test::runCli(arguments, home.home(), environment());
    }
    test::ProgramResult scanHome(std::vector<std::string> arguments) const {
        arguments.push_back(home.home().native());
        return scan(arguments);
    }
    std::map<std::string, std::string> environment() const {
        return {{"XDG_CACHE_HOME", path(".cache")}, {"XDG_STATE_HOME", path(".local/state")},
                {"XDG_DATA_HOME", path(".local/share")}, {"XDG_CONFIG_HOME", path(".config")}};
    }

    void plant() const {
        writeFile(path(".cache/mozilla/cache2/A"), std::string(30000, 'm'));
        writeFile(path("Projects/site/package.json"), "{}");
        writeFile(path("Projects/site/node_modules/lib/index.js"), std::string(12000, 'n'));
        for (const auto* item : {"Projects/site/node_modules/lib/index.js", "Projects/site/node_modules/lib",
                                 "Projects/site/node_modules"}) {
            age(path(item), 60);
        }
        writeFile(path("Downloads/tool_1.0_amd64.deb"), std::string(9000, 'd'));
        age(path("Downloads/tool_1.0_amd64.deb"), 45);
        writeFile(path("Pictures/cat.jpg"), std::string(1'100'000, 'c'));
        age(path("Pictures/cat.jpg"), 100);
        writeFile(path("Downloads/cat (1).jpg"), std::string(1'100'000, 'c'));
        writeFile(path("Documents/thesis.odt"), std::string(15000, 't'));
    }
};

TEST_F(ScanCommandsTest, ReportsFindingsByCategoryAndRefusesBadRequests) {
    plant();
    const auto human = scanHome({"scan"});
    EXPECT_EQ(human.exitCode, 0) << human.err;
    EXPECT_EQ(missingFrom(human.out, {"Caches: ", "Build outputs: ", "Installers and disk images: ", "Identical files: ",
                                      "~/.cache/mozilla", "~/Projects/site/node_modules", "back from 1 copy of ~/Pictures/cat.jpg",
                                      "Firefox's cache; Firefox rebuilds it when needed.", "--save FILE"}), "");
    EXPECT_FALSE(contains(human.out, "\u2588")) << "bars only on a terminal";
    EXPECT_FALSE(contains(human.out, "thesis.odt"));

    const auto result = scanHome({"--json", "scan", "--category", "duplicate,artifact"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto document = json::parse(result.out);
    std::vector<std::string> categories;
    for (const auto& finding : document["findings"]) categories.push_back(finding["category"]);
    EXPECT_EQ(categories, (std::vector<std::string>{"artifact", "duplicate"}));
    EXPECT_EQ(document["duplicateGroups"][0]["kept"], json::array({path("Pictures/cat.jpg").native()}));

    const std::pair<std::vector<std::string>, std::string> bad[] = {
        {{"scan", "--category", "junk"}, "\u201Cjunk\u201D is not a category"},
        {{"scan", "--min-size", "lots"}, "\u201Clots\u201D is not a size"},
        {{"scan", "--keep", "largest"}, "\u201Clargest\u201D is not a keep rule"},
        {{"scan", "--older-than", "-3"}, "0 days or more"},
        {{"scan", path("Documents/thesis.odt").native()}, "is not a folder that can be scanned"},
        {{"clean"}, "Name the paths to clean, or a saved scan with --from-scan FILE."},
        {{"clean", "--from-scan", path("missing.json").native()}, "missing.json cannot be read"},
    };
    for (const auto& [arguments, sentence] : bad) {
        const auto refused = scan(arguments);
        EXPECT_EQ(refused.exitCode, 2) << arguments.back();
        EXPECT_TRUE(contains(refused.err, sentence)) << refused.err;
    }
}

TEST_F(ScanCommandsTest, ASavedScanCleansAsOneRunThatRestorePutsBack) {
    plant();
    const auto before = treeOf(home.home());
    const auto saveFile = path("scan.json").native();
    ASSERT_EQ(scanHome({"scan", "--save", saveFile}).exitCode, 0);

    const auto cleaned = scan({"--json", "clean", "--from-scan", saveFile, "--yes"});
    ASSERT_EQ(cleaned.exitCode, 0) << cleaned.err << cleaned.out;
    const auto document = json::parse(cleaned.out);
    EXPECT_EQ(document["result"]["succeeded"], 4);
    EXPECT_EQ(document["leftOut"], json::array());
    for (const auto* gone : {".cache/mozilla", "Projects/site/node_modules", "Downloads/tool_1.0_amd64.deb", "Downloads/cat (1).jpg"}) {
        EXPECT_FALSE(fs::exists(path(gone))) << gone;
    }
    EXPECT_TRUE(fs::exists(path("Pictures/cat.jpg"))) << "the copy that stays";

    const auto restored = scan({"restore", document["sessionID"].get<std::string>()});
    EXPECT_EQ(restored.exitCode, 0) << restored.out << restored.err;
    EXPECT_EQ(treeOf(home.home()), before) << "the same contents under the same file numbers";
}

TEST_F(ScanCommandsTest, FindingsThatChangedSinceTheScanAreLeftOutAndNeverEveryCopy) {
    plant();
    const auto saveFile = path("scan.json").native();
    ASSERT_EQ(scanHome({"scan", "--save", saveFile}).exitCode, 0);
    std::ofstream(path("Downloads/tool_1.0_amd64.deb"), std::ios::app) << std::string(8000, 'x');
    fs::rename(path("Pictures/cat.jpg"), path("Pictures/renamed.jpg"));  // the copy that stays is not where it was
    writeFile(path(".cache/mozilla/cache2/B"), std::string(9000, 'b'));

    const auto cleaned = scan({"--json", "clean", "--from-scan", saveFile, "--yes", "--category", "installer"});
    EXPECT_EQ(cleaned.exitCode, 1);
    const auto installers = json::parse(cleaned.out);
    EXPECT_EQ(installers["leftOut"], json::parse("[{\"path\": \"" + path("Downloads/tool_1.0_amd64.deb").native() +
                                                 "\", \"reason\": \"Its size changed.\"}]"));
    EXPECT_EQ(installers["result"], nullptr);

    const auto all = scan({"--json", "clean", "--from-scan", saveFile, "--yes"});
    EXPECT_EQ(all.exitCode, 1) << all.out << all.err;
    std::map<std::string, std::string> leftOut;
    const auto document = json::parse(all.out);
    for (const auto& item : document["leftOut"]) leftOut[item["path"]] = item["reason"];
    EXPECT_EQ(leftOut, (std::map<std::string, std::string>{
                           {path(".cache/mozilla").native(), "Its size changed."},
                           {path("Downloads/cat (1).jpg").native(), "The copy that stays is gone or is another file now."},
                           {path("Downloads/tool_1.0_amd64.deb").native(), "Its size changed."}}));
    EXPECT_TRUE(fs::exists(path("Downloads/cat (1).jpg")));
    EXPECT_FALSE(fs::exists(path("Projects/site/node_modules"))) << "what did not change was cleaned";

    // A saved scan edited to offer the copy that stays as well: neither goes.
    writeFile(path("a/one.txt"), "same");
    writeFile(path("b/two.txt"), "same");
    ASSERT_EQ(scan({"scan", "--category", "duplicate", "--save", saveFile, path("a"), path("b")}).exitCode, 0);
    auto edited = json::parse(test::readFile(saveFile));
    auto mirror = edited["findings"][0];
    std::swap(mirror["path"], mirror["keptCopy"]);
    std::swap(mirror["fileNumber"], mirror["keptFileNumber"]);
    edited["findings"].push_back(mirror);
    std::ofstream(saveFile) << edited.dump();
    const auto both = scan({"--json", "clean", "--from-scan", saveFile, "--yes"});
    EXPECT_EQ(json::parse(both.out)["leftOut"].size(), 2u) << both.out;
    EXPECT_TRUE(fs::exists(path("a/one.txt")) && fs::exists(path("b/two.txt")));

    ::chmod(saveFile.c_str(), 0666);
    const auto shared = scan({"clean", "--from-scan", saveFile, "--yes"});
    EXPECT_EQ(shared.exitCode, 2);
    EXPECT_TRUE(contains(shared.err, "others may change it")) << shared.err;
}

}  // namespace
}  // namespace vornelo

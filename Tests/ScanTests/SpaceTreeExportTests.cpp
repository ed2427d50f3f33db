#include "Scan/SpaceTree.h"

#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <sstream>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;
using Order = SpaceTree::Order;

// Everything the tree says about every folder, depth first, as text that can be compared.
std::string describe(const SpaceTree& tree) {
    std::ostringstream out;
    const auto totals = [&out](const SpaceTree::Totals& t) {
        out << t.sizeBytes << '/' << t.apparentBytes << '/' << t.files << '/' << t.folders;
    };
    std::vector<const SpaceTree::Folder*> pending{&tree.root()};
    while (!pending.empty()) {
        const auto* folder = pending.back();
        pending.pop_back();
        out << tree.path(*folder) << (folder->unreadable() ? " unreadable" : "") << (folder->otherFileSystem() ? " mounted" : "") << ' ';
        totals(tree.totals(*folder));
        out << " other ";
        totals(tree.otherFiles(*folder));
        out << '\n';
        for (const auto& entry : tree.entries(*folder, Order::name, false)) {
            out << "  " << entry.name << ' ' << static_cast<int>(entry.kind) << ' ';
            totals(entry.totals);
            out << '\n';
            if (entry.folder) pending.push_back(entry.folder);
        }
    }
    return out.str();
}

class SpaceTreeExportTest : public ::testing::Test {
protected:
    fs::path at(const std::string& relative) const { return directory / "root" / relative; }
    std::unique_ptr<SpaceTree> measured(SpaceTree::Options options = {}) const {
        auto tree = std::make_unique<SpaceTree>(directory / "root", options);
        EXPECT_EQ(tree->measure(platform::FileManager::defaultManager(), nullptr, {}), SpaceTree::Outcome::completed);
        return tree;
    }
    std::string refusal(const std::string& document) const {
        writeFile(file, document);
        const auto imported = SpaceTree::importFrom(file);
        return imported ? "imported" : imported.error();
    }
    test::TempDirectory directory;
    fs::path file = directory / "tree.json";
};

TEST_F(SpaceTreeExportTest, AnExportedTreeComesBackAsItWasWithEveryNameByteForByte) {
    const std::string odd = "caf\xe9";  // Latin-1, not UTF-8
    const std::string quoted = "say \"hi\"\\\n\tnow";
    const std::string longest(255, 'L');
    writeFile(at(odd + "/" + odd + ".txt"), std::string(9000, 'o'));
    writeFile(at("gr\xc3\xbc\xc3\x9f/" + quoted), std::string(5000, 'q'));
    writeFile(at("gr\xc3\xbc\xc3\x9f/deeper/" + longest), std::string(100, 'l'));
    for (int index = 0; index < 5; ++index) writeFile(at("many/" + std::to_string(index)), std::string(4096u * (index + 1u), 'm'));
    fs::create_symlink("many", at("many/link"));
    ::mkfifo(at("many/pipe").c_str(), 0600);
    SpaceTree::Options options;
    options.filesPerFolder = 4;
    const auto tree = measured(options);
    // Removed items stay out of the export.
    ASSERT_TRUE(tree->remove(*tree->find(at("many").native()), "4"));

    ASSERT_TRUE(tree->exportTo(file));
    const auto imported = SpaceTree::importFrom(file);
    ASSERT_TRUE(imported) << imported.error();
    EXPECT_EQ(describe(**imported), describe(*tree));
    EXPECT_TRUE((*imported)->isComplete());
    EXPECT_EQ((*imported)->options().filesPerFolder, 4u);
    EXPECT_TRUE((*imported)->measuredAt().has_value());
    // It can be changed like a tree measured here.
    auto& again = **imported;
    const auto* many = again.find(at("many").native());
    ASSERT_NE(many, nullptr);
    const auto before = again.totals(again.root()).sizeBytes;
    const auto three = again.entries(*many, Order::size, false).front();
    ASSERT_TRUE(again.remove(*many, three.name));
    EXPECT_EQ(again.totals(again.root()).sizeBytes, before - three.totals.sizeBytes);

    // The text is JSON a script can read: the first folder is the top, named by its path.
    const auto text = readFile(file);
    EXPECT_NE(text.find("\"format\":\"vornelo-space-tree\""), std::string::npos);
    EXPECT_NE(text.find("\"nameBase64\":"), std::string::npos) << "a name that is not UTF-8 must not be mangled";
    EXPECT_EQ(text.find(odd), std::string::npos);

    // Written again, an imported tree keeps the date it was measured at.
    ASSERT_TRUE(again.exportTo(directory / "again.json"));
    const auto twice = SpaceTree::importFrom(directory / "again.json");
    ASSERT_TRUE(twice);
    EXPECT_EQ((*twice)->measuredAt(), again.measuredAt());
    EXPECT_EQ(describe(**twice), describe(again));

    EXPECT_FALSE(tree->exportTo(directory / "no such folder" / "tree.json"));

    // A link at the named path is refused, not replaced; what it points to is untouched.
    const auto kept = directory / "kept.txt";
    test::writeFile(kept, "mine");
    std::filesystem::create_symlink(kept, directory / "link.json");
    EXPECT_FALSE(tree->exportTo(directory / "link.json"));
    EXPECT_TRUE(std::filesystem::is_symlink(directory / "link.json"));
    EXPECT_EQ(test::readFile(kept), "mine");
}

TEST_F(SpaceTreeExportTest, ADamagedOrHostileFileIsRefusedWithTheReason) {
    const std::string head = R"({"format":"vornelo-space-tree","version":1,"path":"/data","measuredAt":"2024-05-01T12:00:00Z","filesPerFolder":2,"folders":[)";
    const std::string top = R"({"parent":-1,"name":"/data","sizeBytes":300,"apparentSizeBytes":30,"fileCount":4,"folderCount":1,"files":[{"name":"f","sizeBytes":100,"apparentSizeBytes":10,"kind":"file"}]})";
    const std::string sub = R"({"parent":0,"name":"sub","sizeBytes":200,"apparentSizeBytes":20,"fileCount":2,"folderCount":0,"unreadable":true,"files":[]})";
    const auto document = [&](const std::string& first, const std::string& second) { return head + first + ",\n" + second + "]}"; };
    // The well-formed original first: what the mutations below start from.
    ASSERT_EQ(refusal(document(top, sub)), "imported");
    const auto tree = SpaceTree::importFrom(file);
    ASSERT_TRUE(tree);
    const auto* folder = (*tree)->find("/data/sub");
    ASSERT_NE(folder, nullptr);
    EXPECT_TRUE(folder->unreadable());
    EXPECT_EQ((*tree)->otherFiles(*folder), (SpaceTree::Totals{200, 20, 2, 0}));
    EXPECT_EQ((*tree)->otherFiles((*tree)->root()), (SpaceTree::Totals{0, 0, 1, 0}));

    const auto with = [&](std::string text, const std::string& from, const std::string& to) {
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::vector<std::pair<std::string, std::string>> cases{
        {"{\"format\":", "not valid JSON"},
        {"[1, 2]", "it is not an object"},
        {with(document(top, sub), "vornelo-space-tree", "other"), "is not vornelo-space-tree"},
        {with(document(top, sub), "\"version\":1", "\"version\":2"), "later version"},
        {with(document(top, sub), "\"path\":\"/data\"", "\"path\":\"data\""), "not absolute"},
        {with(document(top, sub), "2024-05-01T12:00:00Z", "yesterday"), "not a date"},
        {"{\"folders\":[]," + head.substr(1) + top + "]}", "must come before the folders"},
        {with(document(top, sub), "\"parent\":0", "\"parent\":1"), "comes before the folder that holds it"},
        {with(document(top, sub), "\"parent\":-1", "\"parent\":0"), "not the top of the tree"},
        {with(document(top, sub), "\"sizeBytes\":200", "\"sizeBytes\":-200"), "not a whole number of 0 or more"},
        {with(document(top, sub), "\"sizeBytes\":200", "\"sizeBytes\":900"), "smaller than what it holds"},
        {with(document(top, sub), "\"folderCount\":1", "\"folderCount\":0"), "smaller than what it holds"},
        {with(document(top, sub), "\"name\":\"sub\"", "\"name\":\"..\""), "not the name of one item"},
        {with(document(top, sub), "\"name\":\"sub\"", "\"name\":\"a/b\""), "not the name of one item"},
        {with(document(top, sub), "\"name\":\"f\"", "\"nameBase64\":\"!!\""), "not base64"},
        {with(document(top, sub), "\"kind\":\"file\"", "\"kind\":\"folder\""), "not file, symbolicLink or other"},
        {with(document(top, sub), "\"filesPerFolder\":2", "\"filesPerFolder\":0"), "more files than it keeps"},
        {with(document(top, sub), "\"sizeBytes\":100,\"apparentSizeBytes\":10,\"kind\":\"file\"}",
              R"("sizeBytes":9223372036854775807,"apparentSizeBytes":1},{"name":"g","sizeBytes":9223372036854775807,"apparentSizeBytes":1})"),
         "more than can be counted"},
        {with(document(top, sub), "\"unreadable\":true", "\"unreadable\":1"), "not true or false"},
        {head + "]}", "holds no folders"},
        {document(top, sub).substr(0, 200), "not valid JSON"},
    };
    for (const auto& [text, reason] : cases) {
        const auto said = refusal(text);
        EXPECT_NE(said.find(reason), std::string::npos) << text << "\n -> " << said;
        EXPECT_TRUE(said.starts_with(file.native() + " is not a measured tree")) << said;
    }

    // Nothing but a regular file of a sane size is read at all.
    for (const auto& [make, reason] : std::vector<std::pair<std::function<void()>, std::string>>{
             {[&] { fs::remove(file); ::mkfifo(file.c_str(), 0600); }, "cannot be read"},
             {[&] { fs::remove(file); fs::create_directory(file); }, "cannot be read"},
             {[&] { fs::remove_all(file); writeFile(file, ""); fs::resize_file(file, (std::uintmax_t{1} << 30) + 1); }, "larger than"}}) {
        make();
        const auto imported = SpaceTree::importFrom(file);
        ASSERT_FALSE(imported);
        EXPECT_NE(imported.error().find(reason), std::string::npos) << imported.error();
    }
}

}  // namespace
}  // namespace vornelo

#include "Scan/ScanFile.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

namespace vornelo {
namespace {

using nlohmann::json;
using scan::Category;
using scan::Finding;
using scan::ScanFile;

scan::ScanReport sampleReport() {
    scan::ScanReport report;
    report.roots = {"/home/ada"};
    report.startedAt = platform::TimePoint(std::chrono::sys_days{std::chrono::year{2026} / 3 / 1});
    Finding cache;
    cache.path = "/home/ada/.cache/caf\xE9\xFF";  // bytes that are not UTF-8
    cache.category = Category::cache;
    cache.sizeBytes = 4096;
    cache.measuredBytes = 8192;
    cache.reason = scan::SharedText("A cache \"quoted\"\n.");
    cache.lastUsed = report.startedAt;
    cache.isFolder = true;
    cache.fileNumber = 12;
    cache.device = 2049;
    Finding copy = cache;
    copy.path = "/home/ada/Downloads/photo (1).jpg";
    copy.category = Category::duplicate;
    copy.confidence = scan::Confidence::review;
    copy.isFolder = false;
    copy.keptCopy = scan::SharedText("/home/ada/Pictures/photo.jpg");
    copy.keptFileNumber = 99;
    copy.group = 0;
    Finding trashed = cache;
    trashed.path = "/home/ada/.local/share/Trash/files/old";
    trashed.category = Category::trash;
    trashed.originalPath = "/home/ada/old";
    report.findings = {cache, copy, trashed};
    report.duplicateGroups = {{1000, {"/home/ada/Pictures/photo.jpg"}, 1, 4096, "the oldest copy"}};
    return report;
}

TEST(ScanFile, ADocumentReadsBackToTheSameFindingsEvenWithPathsThatAreNotText) {
    const auto report = sampleReport();
    const auto text = ScanFile::text(report);
    const auto document = json::parse(text);  // valid JSON, whatever the paths held
    EXPECT_EQ(document["totalBytes"], 3 * 4096);
    EXPECT_EQ(document["duplicateGroups"][0]["copies"], json::array({"/home/ada/Downloads/photo (1).jpg"}));
    EXPECT_TRUE(document["findings"][0].contains("pathBase64"));

    const auto saved = ScanFile::parse(text);
    ASSERT_TRUE(saved) << saved.error();
    EXPECT_EQ(saved->roots, report.roots);
    ASSERT_EQ(saved->findings.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        auto expected = report.findings[i];
        expected.group = -1;  // a saved scan keeps the copy that stays, not the report's grouping
        EXPECT_EQ(saved->findings[i], expected) << i;
    }
}

TEST(ScanFile, HostileDocumentsAreRefusedWithTheReason) {
    const auto valid = json::parse(ScanFile::text(sampleReport()));
    const auto changed = [&](const std::function<void(json&)>& change) {
        auto document = valid;
        change(document);
        const auto parsed = ScanFile::parse(document.dump());
        return parsed ? std::string("accepted") : parsed.error();
    };
    const auto finding = [](json& document) -> json& { return document["findings"][1]; };
    const std::pair<std::function<void(json&)>, std::string> cases[] = {
        {[](json& d) { d["format"] = "other"; }, "not a saved scan"},
        {[](json& d) { d["version"] = 2; }, "version"},
        {[](json& d) { d.erase("findings"); }, "no list of findings"},
        {[&](json& d) { finding(d)["path"] = "relative/path"; }, "finding 2 path is not an absolute path"},
        {[&](json& d) { finding(d)["path"] = "/home/ada/../etc/passwd"; }, "standard spelling"},
        {[&](json& d) { finding(d)["path"] = std::string("/home/a\0b", 9); }, "standard spelling"},
        {[&](json& d) { finding(d)["sizeBytes"] = -1; }, "sizeBytes is not a whole number"},
        {[&](json& d) { finding(d)["fileNumber"] = "12"; }, "fileNumber is not a whole number"},
        {[&](json& d) { finding(d)["category"] = "everything"; }, "unknown category"},
        {[&](json& d) { finding(d)["confidence"] = "sure"; }, "unknown confidence"},
        {[&](json& d) { finding(d).erase("keptCopy"); }, "without the copy that stays"},
        {[&](json& d) { finding(d)["keptCopyBase64"] = "%%%"; }, "keptCopyBase64 is not base64"},
        {[&](json& d) { finding(d)["lastUsed"] = "yesterday"; }, "no date"},
        {[&](json& d) { d["findings"][0] = 3; }, "finding 1 is not an object"},
    };
    for (const auto& [change, reason] : cases) {
        EXPECT_NE(changed(change).find(reason), std::string::npos) << changed(change);
    }
    EXPECT_FALSE(ScanFile::parse("[]"));
    EXPECT_FALSE(ScanFile::parse("{\"format\": \"vornelo-scan\""));
}

TEST(ScanFile, OnlyTheUsersOwnFileThatNobodyElseMayChangeIsRead) {
    test::TempDirectory folder;
    const auto& files = platform::FileManager::defaultManager();
    const auto file = folder / "scan.json";
    ASSERT_TRUE(ScanFile::save(sampleReport(), file, files));
    struct stat info {};
    ::stat(file.c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "a scan lists file names: for the user's eyes";
    EXPECT_TRUE(ScanFile::read(file, files));

    ::chmod(file.c_str(), 0666);
    const auto shared = ScanFile::read(file, files);
    ASSERT_FALSE(shared);
    EXPECT_NE(shared.error().find("others may change it"), std::string::npos);
    ::chmod(file.c_str(), 0600);
    std::filesystem::create_symlink(file, folder / "link.json");
    EXPECT_FALSE(ScanFile::read(folder / "link.json", files)) << "a link is not followed";
    EXPECT_FALSE(ScanFile::read(folder / "missing.json", files));
    test::writeFile(folder / "bad.json", "{}");
    ::chmod((folder / "bad.json").c_str(), 0600);
    const auto bad = ScanFile::read(folder / "bad.json", files);
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().find(folder.path() / "bad.json"), std::string::npos) << "the error names the file";
}

}  // namespace
}  // namespace vornelo

#include "Platform/System/SystemLocations.h"
#include "Platform/Trash/TrashInfo.h"
#include "ScanTests/ScanHome.h"
#include "Support/ChildProcess.h"
#include "Support/CoreScenario.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <tuple>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using scan::Category;
using test::ScanHome;
using test::diskUsage;
using test::findingAt;

// Every category planted among ordinary and precious files, as a person's home holds them.
struct PlantedHome {
    ScanHome home;
    std::map<fs::path, Category> findings;
    std::vector<fs::path> precious;

    PlantedHome() {
        home.administrator = true;
        const auto found = [&](const fs::path& path, Category category) { findings[path] = category; };
        // Caches, one hard-linked file shared by two of them.
        home.file(home(".cache/mozilla/firefox/p/cache2/entries/A1"), 50000);
        found(home(".cache/mozilla"), Category::cache);
        home.file(home(".cache/thumbnails/large/x.png"), 8000);
        found(home(".cache/thumbnails"), Category::cache);
        fs::create_directories(home(".cache/pip/wheels"));
        fs::create_hard_link(home(".cache/mozilla/firefox/p/cache2/entries/A1"), home(".cache/pip/wheels/shared.whl"));
        home.file(home(".cache/pip/wheels/own.whl"), 9000);
        found(home(".cache/pip"), Category::cache);
        home.file(home(".npm/_cacache/content/y"), 20000);
        found(home(".npm/_cacache"), Category::cache);
        home.file(home(".var/app/org.gnome.Maps/cache/tiles/1"), 12000);
        found(home(".var/app/org.gnome.Maps/cache"), Category::cache);
        home.file(home.system("var/cache/apt/archives/tool_1.0_amd64.deb"), 30000);
        found(home.system("var/cache/apt/archives/tool_1.0_amd64.deb"), Category::cache);
        // Logs, but never the operation log's rotated files.
        found(home.file(home(".xsession-errors.old"), 5000), Category::log);
        found(home.file(home(".local/state/editor/editor.log.1"), 6000), Category::log);
        precious.push_back(home.file(home(".local/state/vornelo/operations.log.1"), 7000));
        // The Trash, with its record.
        found(home.file(home(".local/share/Trash/files/old.txt"), 3000), Category::trash);
        test::writeFile(home(".local/share/Trash/info/old.txt.trashinfo"),
                        platform::TrashInfo::contents(home("old.txt").native(), std::chrono::system_clock::now() - std::chrono::days(40)));
        // Leftovers: settings of nothing installed; the installed and the shared ones stay.
        home.file(home(".config/goneapp/settings.ini"), 700, 200);
        ScanHome::age(home(".config/goneapp"), 200);
        found(home(".config/goneapp"), Category::leftover);
        home.file(home.system("usr/bin/installedapp"), 10);
        precious.push_back(home.file(home(".config/installedapp/settings.ini"), 700, 200));
        precious.push_back(home.file(home(".config/gtk-3.0/settings.ini"), 700, 200));
        precious.push_back(home.file(home(".local/share/keyrings/login.keyring"), 900, 200));
        // Browser profiles and wallets of software no longer installed: protection keeps them.
        precious.push_back(home.file(home(".config/google-chrome/Default/Preferences"), 900, 200));
        precious.push_back(home.file(home(".config/BraveSoftware/Brave-Browser/Default/Cookies"), 900, 200));
        precious.push_back(home.file(home(".local/share/kwalletd/kdewallet.kwl"), 900, 200));
        precious.push_back(home.file(home(".mozilla/firefox/abc.default/places.sqlite"), 9000, 200));
        for (const auto* folder : {".config/installedapp", ".config/gtk-3.0", ".local/share/keyrings", ".config/google-chrome",
                                   ".config/BraveSoftware", ".local/share/kwalletd"}) {
            ScanHome::ageAll(home(folder), 200);
        }
        // Build outputs beside what makes them, one still in use; the project's own files are precious.
        home.file(home("Projects/web/package.json"), 100, 60);
        home.file(home("Projects/web/node_modules/lib/index.js"), 15000);
        ScanHome::ageAll(home("Projects/web/node_modules"), 60);
        found(home("Projects/web/node_modules"), Category::artifact);
        precious.push_back(home.file(home("Projects/web/src/app.js"), 2000, 60));
        precious.push_back(home.file(home("Projects/web/.git/objects/ab/cdef"), 2000, 60));
        home.file(home("Projects/fresh/package.json"), 100);
        precious.push_back(home.file(home("Projects/fresh/node_modules/lib/index.js"), 15000));
        home.file(home("Projects/tool/build/CMakeCache.txt"), 4000);
        ScanHome::ageAll(home("Projects/tool/build"), 45);
        found(home("Projects/tool/build"), Category::artifact);
        home.file(home("Projects/py/pkg/__pycache__/m.cpython-311.pyc"), 3000);
        ScanHome::ageAll(home("Projects/py/pkg/__pycache__"), 45);
        found(home("Projects/py/pkg/__pycache__"), Category::artifact);
        // Installers in Downloads, an application not run for long, a copy of a photo.
        found(home.file(home("Downloads/setup-tool.deb"), 11000, 40), Category::installer);
        precious.push_back(home.file(home("Downloads/report.pdf"), 11000, 400));
        found(home.file(home("Applications/Tool-x86_64.AppImage"), 13000, 120), Category::app);
        precious.push_back(home.file(home("Pictures/holiday.jpg"), 1'100'000, 10, 'h'));
        found(home.file(home("Downloads/holiday (1).jpg"), 1'100'000, 5, 'h'), Category::duplicate);
        // Copies too small to be worth a look when every category is scanned.
        precious.push_back(home.file(home("Projects/web/src/LICENSE"), 1000, 60, 'L'));
        precious.push_back(home.file(home("Projects/fresh/LICENSE"), 1000, 60, 'L'));
        precious.push_back(home.file(home("Documents/thesis.odt"), 40000, 300));
        precious.push_back(home.file(home("Pictures/photo.jpg"), 30000, 300, 'p'));
        precious.push_back(home.file(home(".bashrc"), 300, 300));
        precious.push_back(home.file(home(".ssh/id_ed25519"), 400, 300));
    }
};

// Every item below a folder with the times and numbers a scan must leave as they were, read
// without touching a folder's access time itself.
using Stamps = std::map<std::string, std::tuple<std::int64_t, std::int64_t, std::int64_t, ino_t, off_t>>;
void stampsBelow(int parent, const std::string& name, const std::string& path, Stamps& stamps) {
    const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOATIME);
    DIR* folder = fd >= 0 ? ::fdopendir(fd) : nullptr;
    ASSERT_NE(folder, nullptr) << path;
    while (const auto* entry = ::readdir(folder)) {
        const std::string inner = entry->d_name;
        if (inner == "." || inner == "..") continue;
        struct stat info {};
        ASSERT_EQ(::fstatat(fd, inner.c_str(), &info, AT_SYMLINK_NOFOLLOW), 0) << path << "/" << inner;
        stamps[path + "/" + inner] = {info.st_atim.tv_sec, info.st_mtim.tv_sec, info.st_ctim.tv_sec, info.st_ino, info.st_size};
        if (S_ISDIR(info.st_mode)) stampsBelow(fd, inner, path + "/" + inner, stamps);
    }
    ::closedir(folder);
}

Stamps stampsBelow(const fs::path& folder) {
    Stamps stamps;
    stampsBelow(AT_FDCWD, folder.native(), folder.native(), stamps);
    return stamps;
}

TEST(CleanupScan, FindsEveryPlantedFindingAtItsSizeNothingPreciousAndEveryFileOnce) {
    PlantedHome planted;
    const auto before = stampsBelow(planted.home.scratch());
    const auto report = planted.home.scan();
    const auto after = stampsBelow(planted.home.scratch());
    EXPECT_EQ(after.size(), before.size());
    for (const auto& [path, stamp] : before) {
        EXPECT_EQ(after.contains(path) ? after.at(path) : decltype(stamp){}, stamp) << path << ": a scan changes nothing, not even an access time";
    }

    for (const auto& [path, category] : planted.findings) {
        const auto* finding = findingAt(report, path);
        ASSERT_NE(finding, nullptr) << path << " was not found";
        EXPECT_EQ(finding->category, category) << path;
        EXPECT_EQ(finding->measuredBytes, diskUsage(path)) << path;
        EXPECT_FALSE(finding->reason ? finding->reason->empty() : true) << path;
    }
    EXPECT_EQ(report.findings.size(), planted.findings.size()) << "nothing else is a finding";
    for (const auto& finding : report.findings) {
        for (const auto& precious : planted.precious) {
            EXPECT_FALSE(precious.native().starts_with(finding.path)) << precious << " would go with " << finding.path;
        }
    }
    // The hard link shared by two caches counts in the first of them only, so the total is what du says.
    const auto* pip = findingAt(report, planted.home(".cache/pip"));
    ASSERT_NE(pip, nullptr);
    EXPECT_EQ(pip->sizeBytes, pip->measuredBytes - test::allocatedBytes(planted.home(".cache/pip/wheels/shared.whl")));
    std::int64_t sum = 0;
    for (const auto& finding : report.findings) sum += finding.sizeBytes;
    EXPECT_EQ(report.totalBytes(), sum);
    std::int64_t byCategory = 0;
    for (const auto& total : report.totals()) byCategory += total.sizeBytes;
    EXPECT_EQ(byCategory, sum);

    const auto* trashed = findingAt(report, planted.home(".local/share/Trash/files/old.txt"));
    ASSERT_NE(trashed, nullptr);
    EXPECT_EQ(trashed->originalPath, planted.home("old.txt").native());
    const auto* copy = findingAt(report, planted.home("Downloads/holiday (1).jpg"));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(*copy->keptCopy, planted.home("Pictures/holiday.jpg").native());
    ASSERT_EQ(report.duplicateGroups.size(), 1u);
    EXPECT_EQ(report.duplicateGroups[0].bytesBack, copy->sizeBytes);
    EXPECT_FALSE(report.coverage.isPartial());
    EXPECT_FALSE(report.cancelled);

    // The same home scanned again gives the same findings; the small copies are found when asked for.
    EXPECT_EQ(planted.home.scan().findings, report.findings);
    scan::ScanOptions copies;
    copies.categories = {Category::duplicate};
    EXPECT_NE(findingAt(planted.home.scan(copies), planted.home("Projects/web/src/LICENSE")), nullptr);
}

TEST(CleanupScan, ProtectedAndExcludedPlacesKeepTheirCopiesAndAreNeverFindings) {
    ScanHome home;
    home.exclusions = {home("Archive").native()};
    home.file(home("Archive/site/package.json"), 100, 90);
    home.file(home("Archive/site/node_modules/a.js"), 5000);
    ScanHome::ageAll(home("Archive/site/node_modules"), 90);
    // The oldest copy would stay, but the one in the excluded folder must: the others go.
    home.file(home("Pictures/cat.jpg"), 9000, 300, 'c');
    home.file(home("Archive/cat.jpg"), 9000, 1, 'c');
    home.file(home("Downloads/cat copy.jpg"), 9000, 100, 'c');
    // Every copy in a protected place: nothing is offered.
    home.file(home(".ssh/key.pub"), 700, 50, 'k');
    home.file(home("Documents/key.pub"), 700, 60, 'k');
    home.exclusions.push_back(home("Documents/key.pub").native());

    scan::ScanOptions options;
    options.categories = {Category::artifact, Category::duplicate};
    const auto report = home.scan(options);
    EXPECT_EQ(findingAt(report, home("Archive/site/node_modules")), nullptr);
    ASSERT_EQ(report.duplicateGroups.size(), 1u);
    EXPECT_EQ(report.duplicateGroups[0].kept, std::vector<std::string>{home("Archive/cat.jpg").native()});
    EXPECT_EQ(report.duplicateGroups[0].keptBecause, "in a protected place");
    EXPECT_NE(findingAt(report, home("Pictures/cat.jpg")), nullptr);
    EXPECT_NE(findingAt(report, home("Downloads/cat copy.jpg")), nullptr);
    EXPECT_EQ(findingAt(report, home("Documents/key.pub")), nullptr);
    EXPECT_EQ(report.findings.size(), 2u);
}

TEST(CleanupScan, KeepRulesChooseTheCopyThatStaysAndHardLinksAreOneFile) {
    ScanHome home;
    home.file(home("a/long/name/photo.png"), 6000, 30, 'q');  // oldest, longest path
    home.file(home("b/photo.png"), 6000, 10, 'q');            // newest
    home.file(home("c/p.png"), 6000, 20, 'q');                // shortest path
    // A hard link is never a copy of itself; with a third copy it is one member, both links offered.
    home.file(home("d/linked.txt"), 5000, 5, 'l');
    fs::create_hard_link(home("d/linked.txt"), home("d/also-linked.txt"));
    home.file(home("e/original.txt"), 5000, 50, 'l');
    home.file(home("f/alone.txt"), 5000, 5, 's');
    fs::create_hard_link(home("f/alone.txt"), home("f/alone-link.txt"));

    const auto keptWith = [&](scan::ScanOptions options) {
        options.categories = {Category::duplicate};
        const auto report = home.scan(options);
        std::set<std::string> kept;
        for (const auto& group : report.duplicateGroups) kept.insert(group.kept.front());
        return kept;
    };
    scan::ScanOptions options;
    EXPECT_EQ(keptWith(options), (std::set<std::string>{home("a/long/name/photo.png"), home("e/original.txt")}));
    options.keep = scan::KeepRule::newest;
    EXPECT_EQ(keptWith(options), (std::set<std::string>{home("b/photo.png"), home("d/also-linked.txt")}));
    options.keep = scan::KeepRule::shortestPath;
    EXPECT_EQ(keptWith(options), (std::set<std::string>{home("c/p.png"), home("e/original.txt")}));
    options.keep = scan::KeepRule::firstNamed;
    options.roots = {home("c"), home("b"), home("a"), home("d"), home("e"), home("f")};
    EXPECT_EQ(keptWith(options), (std::set<std::string>{home("c/p.png"), home("d/also-linked.txt")}));
    options.roots.clear();
    options.keep = scan::KeepRule::oldest;
    options.keepIn = {home("b"), home("c")};
    EXPECT_EQ(keptWith(options), (std::set<std::string>{home("b/photo.png"), home("e/original.txt")}));

    options.keepIn.clear();
    options.categories = {Category::duplicate};
    const auto report = home.scan(options);
    const auto* link = findingAt(report, home("d/linked.txt"));
    const auto* other = findingAt(report, home("d/also-linked.txt"));
    ASSERT_TRUE(link && other);
    EXPECT_EQ(link->sizeBytes + other->sizeBytes, test::allocatedBytes(home("d/linked.txt"))) << "one file, counted once";
    EXPECT_EQ(findingAt(report, home("f/alone-link.txt")), nullptr);
    EXPECT_EQ(findingAt(report, home("f/alone.txt")), nullptr);
}

TEST(CleanupScan, AgeSizeCategoryAndFolderOptionsNarrowTheFindings) {
    ScanHome home;
    home.file(home("Code/app/Cargo.toml"), 100, 10);
    home.file(home("Code/app/target/debug/app"), 70000);
    ScanHome::ageAll(home("Code/app/target"), 10);
    home.file(home(".cache/tool/blob"), 4000);
    home.file(home("Media/disk.img"), 300000, 200);
    home.file(home("Media/recent.img"), 300000, 1);

    EXPECT_EQ(findingAt(home.scan(), home("Code/app/target")), nullptr) << "10 days is too recent by default";
    scan::ScanOptions options;
    options.olderThanDays = 5;
    EXPECT_NE(findingAt(home.scan(options), home("Code/app/target")), nullptr);

    options = {};
    options.minimumSize = 200000;  // also where large files start
    const auto large = home.scan(options);
    ASSERT_EQ(large.findings.size(), 1u);
    EXPECT_EQ(large.findings[0].path, home("Media/disk.img").native());
    EXPECT_EQ(large.findings[0].category, Category::largeFile);

    options = {};
    options.categories = {Category::cache};
    const auto caches = home.scan(options);
    ASSERT_EQ(caches.findings.size(), 1u);
    EXPECT_EQ(caches.findings[0].path, home(".cache/tool").native());

    options = {};
    options.roots = {home("Code")};
    options.olderThanDays = 0;
    const auto code = home.scan(options);
    ASSERT_EQ(code.findings.size(), 1u) << "the home's caches lie outside the folder named";
    EXPECT_EQ(code.roots, std::vector<std::string>{home("Code").native()});
}

TEST(CleanupScan, AStopBeforeAnythingIsMeasuredLeavesNoFinding) {
    ScanHome home;
    home.file(home(".cache/app/data"), 4000);
    home.file(home("Projects/a/package.json"), 10, 90);
    home.file(home("Projects/a/node_modules/m.js"), 4000, 90);
    std::stop_source stop;
    stop.request_stop();
    const auto stopped = home.scan({}, nullptr, stop.get_token());
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_TRUE(stopped.findings.empty());
    EXPECT_EQ(home.scan().findings.size(), 1u) << "the cache; the build output is too new";
}

// Unreadable folders, a FIFO, a link loop, a path longer than the system's limit and names that
// are not UTF-8: the scan finishes and says what it could not look at.
TEST(CleanupScan, AHostileHomeIsScannedToTheEndAndItsGapsReported) {
    VORNELO_REQUIRE_ROOT();
    ScanHome home;
    const auto nobody = test::unprivilegedAccount();
    home.file(home("Work/locked/secret.txt"), 100);
    ::mkfifo(home("Work/pipe").c_str(), 0644);
    fs::create_symlink("loop-b", home("Work/loop-a"));
    fs::create_symlink("loop-a", home("Work/loop-b"));
    const std::string strange = std::string("Work/caf\xE9-\xFF/");
    home.file(home(strange + "package.json"), 50, 60);
    home.file(home(strange + "node_modules/m.js"), 3000);
    ScanHome::ageAll(home(strange + "node_modules"), 60);
    // A copy of a file below a path longer than any path a program may name: it cannot be compared.
    home.file(home("Work/copy.bin"), 5000, 0, 'd');
    ASSERT_TRUE(test::makeDeepChain(home("Work/deep"), 40, 120, "leaf", false));
    std::string deep = home("Work/deep").native();
    for (int level = 0; level < 40; ++level) deep += "/" + std::string(120, 'd');
    const auto contents = test::readFile(home("Work/copy.bin"));
    int fd = ::open(home("Work/deep").c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 40 && fd >= 0; ++level) {
        const int next = ::openat(fd, std::string(120, 'd').c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ASSERT_GE(fd, 0);
    const int leaf = ::openat(fd, "copy.bin", O_WRONLY | O_CREAT, 0644);
    ::close(fd);
    ASSERT_EQ(::write(leaf, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    ::close(leaf);
    ::chown(home.scratch().c_str(), nobody.uid, nobody.gid);
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(home.scratch(), ignored); !ignored && it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        ::lchown(it->path().c_str(), nobody.uid, nobody.gid);
    }
    ::chmod(home("Work/locked").c_str(), 0);

    EXPECT_TRUE(test::passed(test::runAsUser(nobody.uid, nobody.gid, [&]() -> std::string {
        scan::ScanOptions options;
        options.minimumSize = 1;  // small copies compared too
        const auto report = home.scan(options);
        std::map<std::string, ScanCoverage::Kind> issues;
        for (const auto& issue : report.coverage.issues) issues[issue.path] = issue.kind;
        const auto expect = [&](const fs::path& path, ScanCoverage::Kind kind) -> std::string {
            const auto found = issues.find(path.native());
            if (found == issues.end()) return path.native() + " is not in the coverage";
            return found->second == kind ? "" : path.native() + " has another kind of issue";
        };
        for (const auto& complaint : {expect(home("Work/locked"), ScanCoverage::Kind::denied),
                                      expect(home("Work/pipe"), ScanCoverage::Kind::unavailable),
                                      expect(home("Work/loop-a"), ScanCoverage::Kind::missing),
                                      expect(deep + "/copy.bin", ScanCoverage::Kind::unavailable)}) {
            if (!complaint.empty()) return complaint;
        }
        if (!findingAt(report, home(strange + "node_modules"))) return "the build output with a non-UTF-8 name was not found";
        if (report.cancelled) return "the scan stopped";
        return "";
    })));
}


// Every place the protection rules name for a home, planted with old files and a copy of each
// outside: whatever the scan looks at, nothing it offers is protected or holds a protected file,
// and the copies outside are offered instead.
TEST(CleanupScan, NoPlaceTheProtectionRulesNameIsEverOffered) {
    ScanHome home;
    const auto folders = platform::UserFolders::standard(home.home().native());
    const auto located = [&](const platform::HomeLocation& row) {
        std::string relative(row.path);
        if (const auto star = relative.find('*'); star != std::string::npos) relative.replace(star, 1, "org.example.App");
        return relative.empty() ? fs::path(folders.folder(row.base)) : fs::path(folders.folder(row.base)) / relative;
    };
    std::vector<fs::path> secrets;
    std::vector<fs::path> roots{home("Documents")};
    int index = 0;
    for (const auto& row : platform::SystemLocations::homeSubtrees()) {
        const auto place = located(row);
        const char fill = static_cast<char>('A' + index % 50);
        secrets.push_back(home.file(place / "secret.bin", 6000 + 8 * index, 200, fill));
        secrets.push_back(home.file(place / "alone.bin", 9000 + 8 * index, 200));
        home.file(home("Documents/copies/" + std::to_string(index) + ".bin"), 6000 + 8 * index, 1, fill);
        ScanHome::ageAll(place, 200);
        roots.push_back(place);
        ++index;
    }
    for (const auto& row : platform::SystemLocations::homeContainers()) {
        if (located(row).native().find("Trash") == std::string::npos) home.file(located(row) / "old.bin", 5000, 200);
    }
    ASSERT_GT(secrets.size(), 10u);
    const PathProtection protection(home.home(), PathProtection::noStrings(), PathProtection::noStrings());

    scan::ScanOptions every;
    every.olderThanDays = 0;
    every.minimumSize = 1;  // every old file is a large file, every copy compared
    scan::ScanOptions named = every;
    named.roots = roots;
    named.keep = scan::KeepRule::newest;  // the rule alone would keep the copies outside
    for (const auto& options : {every, named}) {
        const auto report = home.scan(options);
        ASSERT_FALSE(report.findings.empty());
        for (const auto& finding : report.findings) {
            EXPECT_FALSE(protection.shouldProtect(finding.path)) << finding.path << " is protected";
            for (const auto& secret : secrets) {
                EXPECT_FALSE(secret.native().starts_with(finding.path)) << secret << " would go with " << finding.path;
            }
        }
        if (options.roots.empty()) continue;  // the home's walk stays out of hidden folders
        for (int copy = 0; copy < index; ++copy) {
            const auto* offered = findingAt(report, home("Documents/copies/" + std::to_string(copy) + ".bin"));
            ASSERT_NE(offered, nullptr) << "copy " << copy << " of a protected file";
            EXPECT_EQ(offered->category, Category::duplicate);
        }
    }
}

}  // namespace
}  // namespace vornelo

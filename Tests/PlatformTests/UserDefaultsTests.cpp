#include "Platform/UserDefaults.h"
#include "Support/ChildProcess.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <thread>

namespace vornelo::platform {
namespace {

using test::TempDirectory;

class UserDefaultsTest : public ::testing::Test {
protected:
    UserDefaults::Locations locations() const {
        return {directory / "config" / "domain.plist", directory / "managed" / "domain.plist", ::getuid()};
    }

    void writeManaged(const PlistValue::Dictionary& keys, mode_t mode = 0644, PlistFormat format = PlistFormat::xml) {
        const auto file = locations().managedFile;
        std::filesystem::create_directories(file.parent_path());
        std::filesystem::remove(file);
        const auto bytes = PropertyList::serialize(PlistValue(keys), format);
        test::writeFile(file, std::string(bytes.begin(), bytes.end()));
        ::chmod(file.c_str(), mode);
    }

    TempDirectory directory;
};

TEST_F(UserDefaultsTest, ValuesSurviveAFreshInstanceAndMissingKeysReadAsNothing) {
    {
        UserDefaults defaults(locations());
        EXPECT_FALSE(defaults.object("absent"));
        ASSERT_TRUE(defaults.set("flag", true));
        ASSERT_TRUE(defaults.set("list", PlistValue::strings({"a", "b"})));
        ASSERT_TRUE(defaults.set("count", std::int64_t{-4}));
    }
    UserDefaults reopened(locations());
    EXPECT_EQ(reopened.object("flag"), PlistValue(true));
    EXPECT_EQ(reopened.stringArray("list"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(reopened.object("count")->asInteger(), -4);
    EXPECT_FALSE(reopened.stringArray("flag")) << "a Boolean is not a list of strings";
    ASSERT_TRUE(reopened.removeObject("flag"));
    EXPECT_FALSE(reopened.object("flag"));
    EXPECT_TRUE(reopened.object("list"));
}

TEST_F(UserDefaultsTest, ChangesWrittenElsewhereAreSeenAtTheNextRead) {
    UserDefaults reader(locations());
    EXPECT_FALSE(reader.object("key"));
    const auto outcome = test::runInChild([&]() -> std::string {
        UserDefaults writer(locations());
        return writer.set("key", "from another process") ? "" : "write failed";
    });
    ASSERT_TRUE(outcome.succeeded) << outcome.message;
    EXPECT_EQ(reader.object("key"), PlistValue("from another process"));

    UserDefaults second(locations());
    ASSERT_TRUE(second.set("key", "changed again"));
    EXPECT_EQ(reader.object("key"), PlistValue("changed again"));
}

TEST_F(UserDefaultsTest, WritesFromManyThreadsAndProcessesAreNeverLost) {
    UserDefaults defaults(locations());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) defaults.set("thread" + std::to_string(t) + "." + std::to_string(i), i);
        });
    }
    for (auto& thread : threads) thread.join();
    const auto outcome = test::runInChild([&]() -> std::string {
        UserDefaults other(locations());
        for (int i = 0; i < 10; ++i) {
            if (!other.set("child." + std::to_string(i), i)) return "write failed";
        }
        return "";
    });
    ASSERT_TRUE(outcome.succeeded) << outcome.message;
    UserDefaults reopened(locations());
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 10; ++i) EXPECT_TRUE(reopened.object("thread" + std::to_string(t) + "." + std::to_string(i)));
    }
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(reopened.object("child." + std::to_string(i)));
}

TEST_F(UserDefaultsTest, WritesReplaceTheFileWithoutLeavingTemporaries) {
    UserDefaults defaults(locations());
    ASSERT_TRUE(defaults.set("a", 1));
    ASSERT_TRUE(defaults.set("b", 2));
    struct stat info {};
    ASSERT_EQ(::stat(locations().userFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "settings are private to their user";
    for (const auto& entry : std::filesystem::directory_iterator(locations().userFile.parent_path())) {
        const auto name = entry.path().filename().string();
        EXPECT_TRUE(name == "domain.plist" || name == "domain.plist.lock") << "left behind: " << name;
    }
}

TEST_F(UserDefaultsTest, AFileThatExistsButCannotBeReadReadsAsEmptyAndIsNeverOverwritten) {
    const auto file = locations().userFile;
    std::string nested = "<plist><dict><key>k</key>";
    for (int i = 0; i < 200'000; ++i) nested += "<array>";
    struct Case {
        std::string name;
        std::function<void()> make;
        std::string reason;
    };
    const std::vector<Case> cases{
        {"a bad tag", [&] { test::writeFile(file, "<plist><dict><key>k</key><arr></dict></plist>"); }, "is not a property list"},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }, "is not a regular file"},
        {"a folder", [&] { std::filesystem::create_directories(file); }, "is not a regular file"},
        {"200,000 nested arrays", [&] { test::writeFile(file, nested); }, "nests deeper"},
        {"a list at the top", [&] { test::writeFile(file, "<plist><array/></plist>"); }, "not hold a dictionary"},
        {"17 MiB", [&] { test::writeFile(file, ""), std::filesystem::resize_file(file, 17u << 20); }, "larger than 16 MiB"},
    };
    for (const auto& [name, make, reason] : cases) {
        std::filesystem::remove_all(file.parent_path());
        std::filesystem::create_directories(file.parent_path());
        make();
        const auto before = std::filesystem::status(file);
        const bool regular = before.type() == std::filesystem::file_type::regular;
        const auto contents = regular ? test::readFile(file) : std::string();
        UserDefaults defaults(locations());
        EXPECT_FALSE(defaults.object("k")) << name;
        const auto problem = defaults.readProblem();
        EXPECT_TRUE(problem && problem->find(file.native() + " ") != std::string::npos &&
                    problem->find(reason) != std::string::npos)
            << name << ": " << problem.value_or("no problem reported");
        const auto written = defaults.write("fresh", true);
        ASSERT_FALSE(written) << name;
        EXPECT_NE(written.error().find(file.native()), std::string::npos) << written.error();
        EXPECT_FALSE(defaults.set("fresh", true)) << name;
        EXPECT_EQ(std::filesystem::status(file).type(), before.type()) << name << " was replaced";
        if (regular) {
            EXPECT_TRUE(test::readFile(file) == contents) << name << " was changed";
        }
    }
    // Once repaired, it reads and is written again.
    std::filesystem::remove_all(file);
    UserDefaults defaults(locations());
    EXPECT_FALSE(defaults.readProblem());
    ASSERT_TRUE(defaults.write("fresh", true));
    EXPECT_EQ(defaults.object("fresh"), PlistValue(true));
}

TEST_F(UserDefaultsTest, ForcedKeysWinOverTheUsersAndAreReportedAsForced) {
    UserDefaults defaults(locations());
    ASSERT_TRUE(defaults.set("DisablePrivilegedTools", false));
    EXPECT_FALSE(defaults.objectIsForced("DisablePrivilegedTools"));
    writeManaged({{"DisablePrivilegedTools", PlistValue(true)}});
    EXPECT_TRUE(defaults.objectIsForced("DisablePrivilegedTools"));
    EXPECT_EQ(defaults.object("DisablePrivilegedTools"), PlistValue(true));
    EXPECT_EQ(defaults.userObject("DisablePrivilegedTools"), PlistValue(false));
    EXPECT_FALSE(defaults.objectIsForced("Other"));
}

TEST_F(UserDefaultsTest, BinaryManagedFilesAreRead) {
    writeManaged({{"ProtectedPaths", PlistValue::strings({"/srv/keep"})}}, 0644, PlistFormat::binary);
    UserDefaults defaults(locations());
    EXPECT_EQ(defaults.stringArray("ProtectedPaths"), (std::vector<std::string>{"/srv/keep"}));
}

TEST_F(UserDefaultsTest, AManagedFileWritableByOthersOrALinkIsIgnored) {
    UserDefaults defaults(locations());
    for (const mode_t mode : {0664, 0646, 0666}) {
        writeManaged({{"ForceOperationLog", PlistValue(true)}}, mode);
        EXPECT_FALSE(defaults.objectIsForced("ForceOperationLog")) << "mode " << std::oct << mode;
    }
    writeManaged({{"ForceOperationLog", PlistValue(true)}}, 0644);
    EXPECT_TRUE(defaults.objectIsForced("ForceOperationLog"));

    const auto real = directory / "elsewhere.plist";
    std::filesystem::rename(locations().managedFile, real);
    std::filesystem::create_symlink(real, locations().managedFile);
    EXPECT_FALSE(defaults.objectIsForced("ForceOperationLog")) << "a link could point at a user-owned file";
}

TEST_F(UserDefaultsTest, AManagedFileOwnedBySomeoneElseIsIgnored) {
    VORNELO_REQUIRE_ROOT();
    writeManaged({{"ForceOperationLog", PlistValue(true)}});
    UserDefaults trusting(locations());
    EXPECT_TRUE(trusting.objectIsForced("ForceOperationLog"));
    const auto nobody = test::unprivilegedAccount();
    ASSERT_EQ(::chown(locations().managedFile.c_str(), nobody.uid, nobody.gid), 0);
    EXPECT_FALSE(trusting.objectIsForced("ForceOperationLog")) << "ownership change must be noticed";
}

TEST_F(UserDefaultsTest, DomainLocationsFollowXdgConfigHome) {
    const char* previous = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = previous ? previous : "";
    ::setenv("XDG_CONFIG_HOME", (directory / "xdg").c_str(), 1);
    const auto found = UserDefaults::locationsForDomain("com.example.app");
    if (previous) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
    EXPECT_EQ(found.userFile, directory / "xdg" / "com.example.app.plist");
    EXPECT_EQ(found.managedFile, "/etc/managed-preferences/com.example.app.plist");
    EXPECT_EQ(found.managedOwner, 0u);
}

}  // namespace
}  // namespace vornelo::platform

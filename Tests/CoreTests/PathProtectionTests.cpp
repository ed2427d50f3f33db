#include "Core/AppStorageKeys.h"
#include "Core/ExclusionStore.h"
#include "Core/HelperPolicy.h"
#include "Core/PathProtection.h"
#include "Platform/Encoding/PropertyList.h"
#include "Platform/Encoding/Text.h"
#include "Support/TempDirectory.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using Rule = ProtectionReason::Rule;
using platform::PlistValue;
using namespace std::chrono_literals;
using platform::PlistFormat;
using test::writeFile;

PathProtection::StringListProvider listOf(std::vector<std::string> values) {
    auto shared = std::make_shared<const PathProtection::StringList>(std::move(values));
    return [shared] { return shared; };
}

PathProtection protectionFor(const std::string& home, std::vector<std::string> exclusions = {},
                             std::vector<std::string> prefixes = {}) {
    return PathProtection(home, listOf(std::move(exclusions)), listOf(std::move(prefixes)));
}

TEST(PathNormalisationTest, TrailingSeparatorsGoAndPrivateAliasesFold) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/", "/usr"}, {"/usr//", "/usr"}, {"/", "/"}, {"", ""}, {"a/b/", "a/b"},
        {"/private/var/db/x", "/var/db/x"}, {"/private/var", "/var"}, {"/private/tmp/", "/tmp"},
        {"/private/etc/hosts", "/etc/hosts"}, {"/private/varx", "/private/varx"}, {"/private/Var/x", "/private/Var/x"},
        {"/private", "/private"}, {"/private/Users/x", "/private/Users/x"}};
    for (const auto& [path, normalised] : cases) EXPECT_EQ(PathProtection::normalise(path), normalised) << path;
}

// Fixed paths judged against a home: protected or not, and when given, by which rule.
struct Verdict {
    const char* home;
    const char* path;
    bool isProtected;
    std::optional<Rule> rule = std::nullopt;
};

TEST(PathProtectionTablesTest, FixedPathsGetTheirVerdicts) {
    const Verdict cases[] = {
        // Containers protect themselves, not their contents; a sibling sharing a subtree's prefix is free.
        {"/home/u", "/Applications/Example.app", false}, {"/home/u", "/Users/Shared/notes.txt", false},
        {"/home/u", "/opt/tool", false}, {"/home/u", "/Volumes/External/file", false},
        {"/home/u", "/Library/Application Support/Example", false}, {"/home/u", "/usrlocal", false},
        {"/home/u", "/usr/local/bin/tool", true},
        // Alias roots are judged by their canonical spelling.
        {"/home/u", "/private/var/folders/ab/cd", false}, {"/home/u", "/private/var/folders", true},
        {"/home/u", "/private/tmp", true}, {"/home/u", "/private/varx", false},
        // Dots and relative paths are standardised first.
        {"/home/u", "/opt/../usr/lib", true}, {"/home/u", "/Applications/./", true},
        {"/home/u", "", true, Rule::emptyPath},
        // The home's containers and subtrees; a prefix of a subtree name is not its ancestor; containers
        // are checked before subtrees.
        {"/Users/u/", "/Users/u/Downloads", true, Rule::homeContainer},
        {"/Users/u/", "/Users/u/Library/Caches/com.example", false},
        {"/Users/u/", "/Users/u/Downloads/installer.dmg", false},
        {"/Users/u/", "/Users/u/Library/Logs/Vornelo/app.log", true}, {"/Users/u/", "/Users/u/.ssh/config", true},
        {"/Users/u/", "/Users/u/Library/Mobile", false},
        {"/Users/u", "/Users/u/Library/Application Support", true, Rule::homeContainer},
        {"/Users/u", "/Users/u/Library/Logs", true, Rule::homeContainer},
        {"/srv/home/u", "/srv/home", true, Rule::ancestorOfHomeSubtree},
        // A home of / joins without a double separator.
        {"/", "/.gnupg/key", true},
        // Components naming security software, in any case; a lower-case team ID is not stripped.
        {"/Users/u", "/Library/LaunchDaemons/com.crowdstrike.falcond.plist", true, Rule::securitySoftware},
        {"/Users/u", "/opt/COM.MICROSOFT.COMPANYPORTAL.helper/x", true}, {"/Users/u", "/Applications/Falcon.app", false},
        {"/Users/u", "/opt/ab12cd34ef.com.sophos.agent", false}};
    for (const auto& [home, path, isProtected, rule] : cases) {
        const auto reason = protectionFor(home).protectionReason(std::string(path));
        EXPECT_EQ(reason.has_value(), isProtected) << home << " " << path;
        if (rule && reason) {
            EXPECT_EQ(reason->rule, *rule) << home << " " << path;
        }
    }
    EXPECT_EQ(protectionFor("/Users/u/").home(), "/Users/u");
}

TEST(PathProtectionTablesTest, TablesHaveTheirFullSizeAndNoDuplicates) {
    using P = PathProtection;
    EXPECT_EQ(std::tuple(P::protectedContainers().size(), P::protectedSubtrees().size(), P::protectedHomeContainers().size(),
                         P::protectedHomeSubtrees().size(), P::endpointPrefixesLowercased().size()),
              std::tuple(12u, 13u, 17u, 8u, 40u));
    const auto patterns = PathProtection::systemCriticalBundles();
    EXPECT_EQ(std::set<std::string_view>(patterns.begin(), patterns.end()).size(), 97u);
    for (const auto& prefix : P::endpointPrefixesLowercased()) EXPECT_EQ(prefix, platform::Text::lowercased(prefix));
    EXPECT_EQ(PathProtection::endpointPrefixesLowercased()[8], "com.microsoft.companyportal");
}

TEST(PathProtectionTablesTest, EveryEntryOfTheTablesIsProtectedByItsRule) {
    const auto protection = protectionFor("/home/u");
    for (const auto container : PathProtection::protectedContainers()) {
        const auto reason = protection.protectionReason(std::string(container));
        ASSERT_TRUE(reason) << container;
        if (container == "/var" || container == "/Library") continue;  // also ancestors of subtrees
        EXPECT_EQ(reason->rule, Rule::protectedContainer) << container;
    }
    for (const auto subtree : PathProtection::protectedSubtrees()) {
        const std::string root(subtree);
        EXPECT_EQ(protection.protectionReason(root + "/deep/file")->match, root);
        EXPECT_EQ(protection.protectionReason(root + "/deep/file")->rule, Rule::protectedSubtree);
        EXPECT_TRUE(protection.shouldProtect(root + "/"));
        EXPECT_FALSE(protection.shouldProtect(root + "x")) << "a sibling that shares a prefix";
    }
    const auto ancestor = protection.protectionReason("/Library/Application Support");
    ASSERT_TRUE(ancestor);
    EXPECT_EQ(ancestor->rule, Rule::ancestorOfProtectedSubtree);
    EXPECT_EQ(ancestor->match, "/Library/Application Support/com.apple.TCC");
    EXPECT_EQ(protection.protectionReason("/private/var/db/x")->judgedPath, "/var/db/x");

    const auto inHome = protectionFor("/Users/u/");
    for (const auto container : PathProtection::protectedHomeContainers()) {
        const auto path = container.empty() ? std::string("/Users/u") : "/Users/u/" + std::string(container);
        EXPECT_TRUE(inHome.shouldProtect(path)) << path;
    }
    for (const auto subtree : PathProtection::protectedHomeSubtrees()) {
        const auto path = "/Users/u/" + std::string(subtree) + "/inner";
        EXPECT_EQ(inHome.protectionReason(path)->rule, Rule::homeSubtree) << path;
    }
}

TEST(PathProtectionHomeTest, AHomeReachedThroughALinkIsProtectedUnderBothSpellings) {
    test::TempDirectory directory;
    std::filesystem::create_directories(directory / "real");
    std::filesystem::create_directory_symlink(directory / "real", directory / "link");
    const auto protection = protectionFor((directory / "link").native());
    for (const auto& home : {directory / "link", directory / "real"}) {
        for (const auto container : PathProtection::protectedHomeContainers()) {
            EXPECT_EQ(protection.protectionReason(home / container)->rule, Rule::homeContainer) << home / container;
        }
        for (const auto subtree : PathProtection::protectedHomeSubtrees()) {
            EXPECT_EQ(protection.protectionReason(home / subtree / "key")->rule, Rule::homeSubtree) << home / subtree;
        }
    }
}

// Exclusions match without case and protect their ancestors; the providers are asked afresh on every check.
TEST(PathProtectionExclusionTest, ExclusionsMatchWithoutCaseProtectTheirAncestorsAndAreAskedForAfreshOnEveryCheck) {
    const auto protection = protectionFor("/Users/u", {"/Users/u/Projects", ""});
    const auto inside = protection.protectionReason("/users/u/projects/x");
    ASSERT_TRUE(inside);
    EXPECT_EQ(std::tuple(inside->rule, inside->match), std::tuple(Rule::exclusion, "/Users/u/Projects"));
    EXPECT_TRUE(protection.shouldProtect("/Users/u/Projects") && protection.shouldProtect("/Users/u"));
    EXPECT_FALSE(protection.shouldProtect("/Users/u/ProjectsOld"));
    EXPECT_FALSE(protection.shouldProtect("/Users/u/Other")) << "an empty exclusion never matches";
    const auto elsewhere = protectionFor("/home/v", {"/srv/DATA/keep"});
    EXPECT_EQ(elsewhere.protectionReason("/srv/data")->rule, Rule::ancestorOfExclusion);
    EXPECT_EQ(elsewhere.protectionReason("/SRV/Data/Keep/x")->rule, Rule::exclusion);

    auto current = std::make_shared<std::shared_ptr<const PathProtection::StringList>>(
        std::make_shared<const PathProtection::StringList>());
    const PathProtection asking("/home/u", [current] { return *current; }, PathProtection::noStrings());
    EXPECT_FALSE(asking.shouldProtect("/data/keep/file"));
    *current = std::make_shared<const PathProtection::StringList>(PathProtection::StringList{"/data/keep"});
    EXPECT_TRUE(asking.shouldProtect("/data/keep/file"));
}

TEST(PathProtectionLinkTest, ALinkIntoAProtectedPlaceIsProtected) {
    test::TempDirectory directory;
    const auto home = directory / "home";
    std::filesystem::create_directories(home / ".ssh");
    std::filesystem::create_directories(directory / "plain");
    std::filesystem::create_directory_symlink("/usr/bin", directory / "plain/to-usr");
    std::filesystem::create_directory_symlink(home / ".ssh", directory / "plain/to-keys");
    std::filesystem::create_directory_symlink(directory / "plain", directory / "plain-link");
    const auto protection = protectionFor(home.native());

    const auto throughLink = protection.protectionReason(directory / "plain/to-usr");
    ASSERT_TRUE(throughLink);
    EXPECT_EQ(std::tuple(throughLink->throughSymbolicLink, throughLink->judgedPath), std::tuple(true, "/usr/bin"));
    EXPECT_TRUE(protection.shouldProtect(directory / "plain/to-keys/id_ed25519"));
    EXPECT_FALSE(protection.shouldProtect(directory / "plain-link/ordinary"));
    EXPECT_FALSE(protection.shouldProtect(directory / "plain/missing/../to-usr-not"));
}

// Components naming security software are protected, a team ID stripped; extra prefixes apply in any case.
TEST(PathProtectionSecurityTest, ComponentsNamingSecuritySoftwareAreProtectedAndExtraPrefixesApplyInAnyCase) {
    const auto teamPrefixed = protectionFor("/Users/u").protectionReason("/Users/u/Library/Group Containers/AB12CD34EF.com.sophos.agent");
    ASSERT_TRUE(teamPrefixed);
    EXPECT_EQ(teamPrefixed->match, "AB12CD34EF.com.sophos.agent");
    const auto protection = protectionFor("/Users/u", {}, {"COM.EXAMPLE."});
    EXPECT_TRUE(protection.isEndpointSecurityPath("/x/y/com.jamf.management/z"));
    EXPECT_FALSE(protection.isEndpointSecurityPath("/x/y/jamf/z"));
    EXPECT_TRUE(protection.shouldProtect("/opt/com.Example.Agent/data"));
    EXPECT_TRUE(protection.isEndpointSecurityBundle("com.example.tool") && protection.isEndpointSecurityBundle("COM.CROWDSTRIKE.falcon"));
    EXPECT_FALSE(protection.isEndpointSecurityBundle("com.examples.tool"));
    EXPECT_FALSE(protectionFor("/u").isEndpointSecurityBundle("com.example.tool"));
    EXPECT_TRUE(protectionFor("/u", {}, {""}).isEndpointSecurityBundle("anything.at.all"));
}

TEST(BundleMatchingTest, StarsMatchRunsEverythingElseMatchesExactlyAndSystemCriticalIdentifiersAreRecognised) {
    // Segments never overlap: "abab" is not "aba*bab".
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"com.apple.inputmethod.Kotoeri", "com.apple.inputmethod.*", true}, {"com.apple.mail.extension", "com.apple.mail", false},
        {"GlobalPreferences", ".GlobalPreferences", false}, {"com.apple.Settings", "com.apple.Settings*", true},
        {"com.apple.settings", "com.apple.Settings*", false}, {"abcXdefYghi", "abc*def*ghi", true},
        {"abcghi", "abc*def*ghi", false}, {"abab", "aba*bab", false}, {"ababab", "aba*bab", true},
        {"anything", "*", true}, {"", "*", true}, {"x.y", "*.*", true}};
    for (const auto& [name, pattern, matches] : cases) EXPECT_EQ(PathProtection::matches(name, pattern), matches) << name << " " << pattern;
    const std::pair<const char*, const char*> stripped[] = {
        {"AB12CD34EF.com.example.agent", "com.example.agent"}, {"ab12cd34ef.com.example.agent", "ab12cd34ef.com.example.agent"},
        {"AB12CD34E.com.example", "AB12CD34E.com.example"}, {"AB12CD34EF", "AB12CD34EF"}, {"AB12CD34EF.", ""}};
    for (const auto& [name, result] : stripped) EXPECT_EQ(PathProtection::strippingTeamID(name), result) << name;

    const auto protection = protectionFor("/u");
    for (const auto pattern : PathProtection::systemCriticalBundles()) {
        std::string example(pattern);
        if (example.ends_with('*')) example.back() = 'Z';
        EXPECT_TRUE(protection.isSystemCriticalBundle(example)) << pattern;
    }
    for (const auto& [name, critical] : std::vector<std::pair<const char*, bool>>{
             {"com.apple.Settings.Extension", true}, {"com.apple.settings", false}, {"com.apple.Xcode", false},
             {"keychain-access", true}, {"mykeychain", false}}) {
        EXPECT_EQ(protection.isSystemCriticalBundle(name), critical) << name;
    }
}

// The real listing, in name order.
class SortedFileManager : public platform::FileManager {
public:
    std::expected<std::vector<platform::DirectoryEntry>, platform::FileError> contentsOfDirectory(
        const std::filesystem::path& folder) const override {
        auto entries = platform::FileManager::contentsOfDirectory(folder);
        if (entries) std::ranges::sort(*entries, {}, [](const auto& entry) { return entry.url; });
        return entries;
    }
};

TEST(SecurityFolderSearchTest, FindsSecuritySoftwareOneOrTwoLevelsDownInTheFirst2000EntriesOnly) {
    test::TempDirectory directory;
    const auto protection = protectionFor("/u");
    const auto& files = platform::FileManager::defaultManager();
    std::filesystem::create_directories(directory / "plain/vendor/com.sentinelone.agent");
    EXPECT_TRUE(protection.containsEndpointSecurityItem(directory / "plain", files));
    std::filesystem::create_directories(directory / "deeper/a/b/com.sentinelone.agent");
    EXPECT_FALSE(protection.containsEndpointSecurityItem(directory / "deeper", files));
    test::writeFile(directory / "top/com.tenable.scanner.plist");
    EXPECT_TRUE(protection.containsEndpointSecurityItem(directory / "top", files));
    EXPECT_FALSE(protection.containsEndpointSecurityItem(directory / "missing", files));

    // Only the first 2000 entries of a listing are searched, put in name order to say which is the 2001st.
    const auto folder = directory / "many";
    for (int i = 0; i < 2000; ++i) test::writeFile(folder / ("a" + std::to_string(10000 + i)), "");
    for (int i = 0; i < 499; ++i) test::writeFile(folder / ("d" + std::to_string(i)), "");
    test::writeFile(folder / "com.crowdstrike.late", "");
    const SortedFileManager sorted;
    EXPECT_FALSE(protection.containsEndpointSecurityItem(folder, sorted)) << "the 2001st entry is past the bound";
    std::filesystem::remove(folder / "a10000");
    EXPECT_TRUE(protection.containsEndpointSecurityItem(folder, sorted)) << "now it is the 2000th";
}

class ExclusionStoreTest : public ::testing::Test {
protected:
    ExclusionStore makeStore() {
        return ExclusionStore(home.defaults(), [this] { return now; });
    }
    // Writes behind the store's back, as another process or a profile would.
    void writeUserListDirectly(const std::vector<std::string>& paths) {
        platform::UserDefaults other(home.defaults()->locations());
        other.set(std::string(AppStorageKey::userExclusions), PlistValue::strings(paths));
    }
    std::string homePath() const { return home.home().native(); }

    test::TestHome home;
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
};

TEST_F(ExclusionStoreTest, StoringDropsEmptyAndRepeatedEntriesAndTheCanonicalFormExpandsAndNormalises) {
    auto store = makeStore();
    store.setUserPaths({"~/Projects/", "", "~/Projects/", "/private/tmp/x", "/a/./b/../c//"});
    const std::vector<std::string> stored{"~/Projects/", "/private/tmp/x", "/a/./b/../c//"};
    EXPECT_EQ(store.userPaths(), stored);
    EXPECT_EQ(home.defaults()->stringArray(std::string(AppStorageKey::userExclusions)), stored);
    EXPECT_EQ(*store.normalisedPaths(), (std::vector<std::string>{homePath() + "/Projects", "/tmp/x", "/a/c"}));
    // A store with defaults of its own never touches the shared ones.
    test::TempDirectory elsewhere;
    auto own = std::make_shared<platform::UserDefaults>(
        platform::UserDefaults::Locations{elsewhere / "own.plist", elsewhere / "managed.plist", ::getuid()});
    ExclusionStore(own).setUserPaths({"/only/here"});
    EXPECT_EQ(home.defaults()->stringArray(std::string(AppStorageKey::userExclusions)), stored);
    EXPECT_EQ(own->stringArray(std::string(AppStorageKey::userExclusions)), std::vector<std::string>{"/only/here"});
}

TEST_F(ExclusionStoreTest, OnlyAForcedAdministratorListIsAppendedAfterTheUsers) {
    auto store = makeStore();
    store.setUserPaths({"/mine"});
    home.defaults()->set("ProtectedPaths", PlistValue::strings({"/not/forced"}));
    store.invalidate();
    EXPECT_EQ(*store.normalisedPaths(), std::vector<std::string>{"/mine"});
    EXPECT_TRUE(store.managedPaths().empty());
    home.writeManaged({{"ProtectedPaths", PlistValue::strings({"/srv/keep/", "", "/mine"})}});
    store.invalidate();
    EXPECT_EQ(store.managedPaths(), (std::vector<std::string>{"/srv/keep/", "", "/mine"}));
    EXPECT_EQ(*store.normalisedPaths(), (std::vector<std::string>{"/mine", "/srv/keep", "", "/mine"}))
        << "an empty managed entry stays empty so it can never match";
}

TEST_F(ExclusionStoreTest, TheListIsCachedForThirtySeconds) {
    auto store = makeStore();
    store.setUserPaths({"/first"});
    EXPECT_EQ(*store.normalisedPaths(), std::vector<std::string>{"/first"});
    writeUserListDirectly({"/second"});
    using Step = std::pair<std::chrono::seconds, const char*>;
    for (const auto& [step, seen] : {Step{10s, "/first"}, Step{19s, "/first"}, Step{1s, "/second"}}) {
        now += step;
        EXPECT_EQ(*store.normalisedPaths(), std::vector<std::string>{seen}) << "fresh for 29 seconds, stale at 30";
    }
    writeUserListDirectly({"/third"});
    store.invalidate();
    EXPECT_EQ(*store.normalisedPaths(), std::vector<std::string>{"/third"});
    store.setUserPaths({"/fourth"});
    EXPECT_EQ(*store.normalisedPaths(), std::vector<std::string>{"/fourth"});
}

TEST_F(ExclusionStoreTest, AListThatCannotBeReadIsReportedAndADamagedFileIsNeverReplaced) {
    auto store = makeStore();
    EXPECT_FALSE(store.readProblem());
    home.defaults()->set(std::string(AppStorageKey::userExclusions), PlistValue("/not/a/list"));
    EXPECT_TRUE(store.userPaths().empty());
    EXPECT_TRUE(store.normalisedPaths()->empty());
    EXPECT_NE(store.readProblem().value_or("").find("not a list of paths"), std::string::npos);

    ASSERT_TRUE(store.setUserPaths({"/kept"}));
    EXPECT_FALSE(store.readProblem());
    const auto file = home.defaults()->locations().userFile;
    auto damaged = test::readFile(file);
    damaged.replace(damaged.find("<array>"), 7, "<arr>");
    test::writeFile(file, damaged);
    EXPECT_TRUE(store.userPaths().empty());
    EXPECT_NE(store.readProblem().value_or("").find(file.native()), std::string::npos);
    const auto stored = store.setUserPaths({"/new"});
    ASSERT_FALSE(stored);
    EXPECT_NE(stored.error().find(file.native()), std::string::npos) << stored.error();
    EXPECT_EQ(test::readFile(file), damaged) << "the entry it holds must survive";
}

TEST_F(ExclusionStoreTest, ProtectionSeesEditsWhileOtherThreadsCheck) {
    auto store = makeStore();
    const PathProtection protection(home.home(), [&store] { return store.normalisedPaths(); }, PathProtection::noStrings());
    const auto keep = home.home() / "Keep";
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            while (!stop) (void)protection.shouldProtect(keep / "file");
        });
    }
    for (int i = 0; i < 20; ++i) {
        store.setUserPaths({keep.native()});
        EXPECT_TRUE(protection.shouldProtect(keep / "file"));
        store.setUserPaths({});
        EXPECT_FALSE(protection.shouldProtect(keep / "file")) << "an edit must never be hidden by a stale cache";
    }
    stop = true;
    for (auto& reader : readers) reader.join();
}

void writeApplication(const fs::path& bundle, const PlistValue& identifier, PlistFormat format = PlistFormat::xml) {
    const auto bytes = platform::PropertyList::serialize(PlistValue::Dictionary{{"CFBundleIdentifier", identifier}}, format);
    writeFile(bundle / "Contents/Info.plist", std::string(bytes.begin(), bytes.end()));
}

// Temporary Applications and Library roots holding one item of every shape the policy meets.
class HelperPolicyTest : public ::testing::Test {
protected:
    HelperPolicyTest() {
        writeApplication(apps / "Editor.app", "com.example.editor");
        writeApplication(apps / "Utilities/Binary.app", "com.example.binary", PlistFormat::binary);
        writeApplication(apps / "Sample.app", "com.apple.example");
        writeApplication(apps / "Safari.app", "com.apple.Safari", PlistFormat::binary);
        writeApplication(apps / "Falcon.app", "com.crowdstrike.falcon.App");
        writeApplication(apps / "Vornelo.app", "com.tessaldon.Vornelo");
        writeApplication(apps / "Number.app", PlistValue(7));
        writeApplication(root / "elsewhere/Real.app", "com.example.real");
        fs::create_directories(apps / "Linked.app");
        fs::create_symlink(root / "elsewhere/Real.app/Contents", apps / "Linked.app/Contents");
        writeFile(apps / "Huge.app/Contents/Info.plist", std::string(HelperPolicy::maxInfoPlistBytes + 1, ' '));
        for (const auto* folder : {"Bare.app", "Shout.APP", "../Library/PrivilegedHelperTools/com.example.folder"}) {
            fs::create_directories(apps / folder);
        }
        fs::create_symlink(apps / "Loop.app", apps / "Loop.app");
        fs::create_directory_symlink(apps, root / "apps-link");
        for (const auto* name : {"Applications/Plain.app", "Library/LaunchDaemons/com.example.daemon.plist",
                                 "Library/LaunchAgents/COM.APPLE.foo.plist", "Library/LaunchDaemons/daemon.plist",
                                 "Library/LaunchDaemons/com.tessaldon.Vornelo.helper.plist",
                                 "Library/LaunchDaemons/com..x.plist", "Library/LaunchDaemons/com.example.txt",
                                 "Library/LaunchDaemons/keychain.sync.plist",
                                 "Library/LaunchDaemons/com.crowdstrike.falcond.plist",
                                 "Library/PrivilegedHelperTools/com.example.helper"}) {
            writeFile(root / name);
        }
    }

    // The kind's raw value when accepted, otherwise the reason. "@" stands for the temporary root.
    std::string verdict(std::string path, const std::string& applicationsRoot) const {
        if (path.starts_with('@')) path = root.native() + path.substr(1);
        const auto result = HelperPolicy::validateRemoval(path, applicationsRoot, (root / "Library").native());
        return result ? std::string(HelperPolicy::rawValue(*result)) : result.error().reason;
    }

    test::TempDirectory directory{"vornelo-policy"};
    fs::path root = directory.path();
    fs::path apps = root / "Applications";
};

TEST_F(HelperPolicyTest, EveryReasonInTheOrderOfTheSteps) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"Applications/Editor.app", "Not an absolute path."},
        {std::string("@/Applications/Editor.app\0x", 26), "Not an absolute path."},
        {"@/Applications/./Editor.app", "Path is not in canonical form."},
        {"@/Applications/Utilities/../Editor.app", "Path is not in canonical form."},
        {"@/Applications/Editor.app/", "Path is not in canonical form."},
        {"/", "Path is not in canonical form."},
        {"@/apps-link/Editor.app", "Path goes through a symbolic link."},
        {"@/Library/LaunchDaemons/com.crowdstrike.gone.plist", "No longer exists."},
        {"@/Applications/Loop.app", "Is a symbolic link."},
        {"@/Library/LaunchDaemons/com.crowdstrike.falcond.plist", "Protected path."},
        {"@/Applications/Editor.app/Contents/Info.plist", "Outside the locations the helper may modify."},
        {"@/Library/LaunchDaemons", "Outside the locations the helper may modify."},
        {"@/Applications/Shout.APP", "Only application bundles can be removed from Applications."},
        {"@/Applications/Plain.app", "Only application bundles can be removed from Applications."},
        {"@/Applications/Bare.app", "Not a valid application bundle."},
        {"@/Applications/Number.app", "Not a valid application bundle."},
        {"@/Applications/Huge.app", "Not a valid application bundle."},
        {"@/Applications/Linked.app", "Not a valid application bundle."},
        {"@/Applications/Vornelo.app", "Vornelo can't remove itself."},
        {"@/Applications/Safari.app", "Part of macOS."},
        {"@/Library/LaunchAgents/COM.APPLE.foo.plist", "Part of macOS."},
        {"@/Applications/Falcon.app", "Security or device-management software."},
        {"@/Library/LaunchDaemons/com.example.txt", "Not a launch plist."},
        {"@/Library/PrivilegedHelperTools/com.example.folder", "Not a helper tool."},
        {"@/Library/LaunchDaemons/daemon.plist", "Not named after a bundle identifier."},
        {"@/Library/LaunchDaemons/com..x.plist", "Not named after a bundle identifier."},
        {"@/Library/LaunchDaemons/com.tessaldon.Vornelo.helper.plist", "Vornelo can't remove its own helper."},
        {"@/Library/LaunchDaemons/keychain.sync.plist", "Protected item."},
        {"@/Applications/Editor.app", "application"},
        {"@/Applications/Utilities/Binary.app", "application"},
        {"@/Applications/Sample.app", "application"},
        {"@/Library/LaunchDaemons/com.example.daemon.plist", "launchItem"},
        {"@/Library/PrivilegedHelperTools/com.example.helper", "helperTool"},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(verdict(path, apps.native()), expected) << path;
    EXPECT_EQ(verdict("@/Applications/Editor.app", apps.native() + "/"), "application") << "roots are normalised";
}

TEST_F(HelperPolicyTest, TheHelpersOwnRulesAndAJudgementOfTheItemExamined) {
    EXPECT_EQ(HelperPolicy::defaultProtection().home(), "/var/empty");
    EXPECT_EQ(HelperPolicy::validateRemoval("/usr/bin/env", "/Applications", "/Library").error().reason, "Protected path.");

    const auto path = (apps / "Utilities/Binary.app").native();
    const auto judged = HelperPolicy::judgeRemoval(path, apps.native(), (root / "Library").native());
    ASSERT_TRUE(judged) << judged.error().reason;
    struct stat info {};
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_EQ(std::tuple(judged->location, judged->parent, judged->name, judged->device, judged->fileNumber),
              std::tuple(fs::path(path), apps / "Utilities", "Binary.app", info.st_dev, info.st_ino));
}

}  // namespace
}  // namespace vornelo

#include "Platform/System/UserDefaults.h"

#include "Platform/Concurrency/ConcurrentPerform.h"
#include "Platform/Encoding/PropertyList.h"
#include "Platform/Concurrency/Published.h"
#include "Support/ChildProcess.h"
#include "Support/FileChecks.h"
#include "Support/TempDirectory.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

namespace vornelo::platform {
namespace {

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

    test::TempDirectory directory;
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
    ASSERT_TRUE(reopened.removeObject("flag"));
    EXPECT_TRUE(!reopened.object("flag") && reopened.object("list"));
}

TEST_F(UserDefaultsTest, WritesFromManyThreadsAndProcessesAreNeverLostAndLeaveNoTemporaries) {
    UserDefaults defaults(locations());
    concurrentPerform(40, [&](std::size_t n) {
        (void)defaults.set("thread" + std::to_string(n / 10) + "." + std::to_string(n % 10), static_cast<int>(n % 10));
    });
    const auto outcome = test::runInChild([&]() -> std::string {
        UserDefaults other(locations());
        for (int i = 0; i < 10; ++i) {
            if (!other.set("child." + std::to_string(i), i)) return "write failed";
        }
        return "";
    });
    ASSERT_TRUE(outcome.succeeded) << outcome.message;
    for (const auto* prefix : {"thread0.", "thread1.", "thread2.", "thread3.", "child."}) {
        for (int i = 0; i < 10; ++i) EXPECT_EQ(defaults.object(prefix + std::to_string(i)), PlistValue(i)) << prefix << i;
    }
    // The file was replaced each time, private to its user, and no temporary was left.
    EXPECT_EQ(test::modeOf(locations().userFile), 0600u) << "settings are private to their user";
    for (const auto& entry : std::filesystem::directory_iterator(locations().userFile.parent_path())) {
        const auto name = entry.path().filename().string();
        EXPECT_TRUE(name == "domain.plist" || name == "domain.plist.lock") << "left behind: " << name;
    }
}

TEST_F(UserDefaultsTest, AFileThatExistsButCannotBeReadReadsAsEmptyAndIsNeverOverwritten) {
    const auto file = locations().userFile;
    std::string nested = "<plist><dict><key>k</key>";
    for (int i = 0; i < 200'000; ++i) nested += "<array>";
    const std::vector<std::tuple<std::string, std::function<void()>, std::string>> cases{
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
        EXPECT_EQ(std::filesystem::status(file).type(), before.type()) << name << " was replaced";
        EXPECT_TRUE(!regular || test::readFile(file) == contents) << name << " was changed";
    }
    // Once repaired, it reads and is written again.
    std::filesystem::remove_all(file);
    UserDefaults defaults(locations());
    EXPECT_FALSE(defaults.readProblem());
    ASSERT_TRUE(defaults.write("fresh", true));
    EXPECT_EQ(defaults.object("fresh"), PlistValue(true));
}

TEST_F(UserDefaultsTest, ForcedKeysWinOverTheUsersButAManagedFileWritableByOthersALinkOrSomeoneElsesIsIgnored) {
    UserDefaults defaults(locations());
    ASSERT_TRUE(defaults.set("ForceOperationLog", false));
    EXPECT_FALSE(defaults.objectIsForced("ForceOperationLog"));
    for (const mode_t mode : {0664, 0646, 0666}) {
        writeManaged({{"ForceOperationLog", PlistValue(true)}}, mode);
        EXPECT_FALSE(defaults.objectIsForced("ForceOperationLog")) << "mode " << std::oct << mode;
    }
    writeManaged({{"ForceOperationLog", PlistValue(true)}}, 0644, PlistFormat::binary);
    EXPECT_TRUE(defaults.objectIsForced("ForceOperationLog"));
    EXPECT_EQ(std::tuple(defaults.object("ForceOperationLog"), defaults.userObject("ForceOperationLog"), defaults.objectIsForced("Other")),
              std::tuple(PlistValue(true), PlistValue(false), false));

    const auto real = directory / "elsewhere.plist";
    std::filesystem::rename(locations().managedFile, real);
    std::filesystem::create_symlink(real, locations().managedFile);
    EXPECT_FALSE(defaults.objectIsForced("ForceOperationLog")) << "a link could point at a user-owned file";

    if (!test::rootSkipReason().empty()) return;  // only root can give the file away
    writeManaged({{"ForceOperationLog", PlistValue(true)}});
    EXPECT_TRUE(defaults.objectIsForced("ForceOperationLog"));
    const auto nobody = test::unprivilegedAccount();
    ASSERT_EQ(::chown(locations().managedFile.c_str(), nobody.uid, nobody.gid), 0);
    EXPECT_FALSE(defaults.objectIsForced("ForceOperationLog")) << "ownership change must be noticed";
}

// MARK: property lists

PlistValue sample() {
    using namespace std::chrono;
    PlistValue::Dictionary inner{{"negative", PlistValue(std::int64_t{-4})}, {"big", PlistValue(std::int64_t{1} << 40)}};
    return PlistValue(PlistValue::Dictionary{
        {"bool", PlistValue(true)},
        {"real", PlistValue(2.5)},
        {"text", PlistValue("caf\u00e9 / <tag> & \"quoted\"")},
        {"date", PlistValue(PlistDate{system_clock::time_point{sys_days{year{2024} / 2 / 29}} + hours{13}})},
        {"data", PlistValue(PlistValue::Data{0, 1, 2, 255})},
        {"list", PlistValue::strings({"a", "", "c"})},
        {"inner", PlistValue(inner)},
    });
}

TEST(PropertyListTest, XmlAndBinaryRoundTripEveryKindOfValueAndBytesThatAreNoPropertyListGiveNothing) {
    for (const auto format : {PlistFormat::xml, PlistFormat::binary}) {
        const auto bytes = PropertyList::serialize(sample(), format);
        const auto parsed = PropertyList::parse(bytes);
        ASSERT_TRUE(parsed) << (format == PlistFormat::xml ? "xml" : "binary");
        EXPECT_EQ(*parsed, sample());
    }
    const std::string garbage = "definitely not a plist";
    EXPECT_FALSE(PropertyList::parse(std::span(reinterpret_cast<const std::uint8_t*>(garbage.data()), garbage.size())));
    EXPECT_FALSE(PropertyList::parse({}));
    auto truncated = PropertyList::serialize(sample(), PlistFormat::binary);
    truncated.resize(truncated.size() / 2);
    EXPECT_FALSE(PropertyList::parse(truncated));
}

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string nestedXml(std::size_t depth) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (std::size_t i = 0; i < depth; ++i) xml += "<array>";
    for (std::size_t i = 0; i < depth; ++i) xml += "</array>";
    return xml + "</plist>";
}

// Arrays nested `depth` deep in the binary form, each naming the next by index; `loop` makes the
// innermost name the outermost instead of being empty.
std::string nestedBinary(std::uint32_t depth, bool loop = false) {
    std::string out = "bplist00";
    std::vector<std::uint32_t> offsets;
    const auto bigEndian = [&out](std::uint64_t value, int width) {
        for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
    };
    for (std::uint32_t i = 0; i < depth; ++i) {
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        const bool last = i + 1 == depth;
        out += (last && !loop) ? '\xA0' : '\xA1';
        if (!last || loop) bigEndian(last ? 0 : i + 1, 4);
    }
    const auto table = out.size();
    for (const auto offset : offsets) bigEndian(offset, 4);
    out += std::string(6, '\0') + '\x04' + '\x04';
    bigEndian(depth, 8);
    bigEndian(0, 8);
    bigEndian(table, 8);
    return out;
}

TEST(PropertyListTest, NestingIsBoundedBeforeTheParserSeesIt) {
    auto commented = nestedXml(60);
    commented.insert(commented.find("<plist"), "<!-- " + std::string(300, '<') + "array> -->");
    const std::vector<std::tuple<std::string, std::string, bool>> cases{
        {"xml, 60 deep", nestedXml(60), true},
        {"xml, 200,000 deep", nestedXml(200'000), false},
        {"xml, tags inside a comment do not count", commented, true},
        {"binary, 60 deep", nestedBinary(60), true},
        {"binary, 200,000 deep", nestedBinary(200'000), false},
        {"binary, a cycle", nestedBinary(3, true), false},
    };
    for (const auto& [name, bytes, parses] : cases) {
        EXPECT_EQ(PropertyList::parse(bytesOf(bytes)).has_value(), parses) << name;
    }
    const auto deepest = PropertyList::parse(bytesOf(nestedBinary(60)));
    ASSERT_TRUE(deepest && deepest->get<PlistValue::Array>() && deepest->get<PlistValue::Array>()->size() == 1);
}

TEST(PropertyListTest, ConversionsAcceptOnlyWhatBridgesCleanly) {
    const auto number = [](std::int64_t value) { return PlistValue(value); };
    EXPECT_EQ((std::vector{PlistValue(true).asBool(), number(1).asBool(), number(0).asBool(), number(2).asBool(), PlistValue("YES").asBool()}),
              (std::vector<std::optional<bool>>{true, true, false, std::nullopt, std::nullopt}));
    EXPECT_EQ((std::vector{PlistValue(6.0).asInteger(), PlistValue(6.5).asInteger(), PlistValue(1e30).asInteger(), PlistValue("6").asInteger()}),
              (std::vector<std::optional<std::int64_t>>{6, std::nullopt, std::nullopt, std::nullopt}));

    EXPECT_EQ(PlistValue::strings({"x"}).asStringArray(), std::vector<std::string>{"x"});
    EXPECT_FALSE(PlistValue("x").asStringArray()) << "a single string is not a list";
    EXPECT_FALSE(PlistValue(PlistValue::Array{PlistValue("x"), PlistValue(1)}).asStringArray());
}

// MARK: published values

TEST(Published, AnnouncesEveryAssignmentBeforeItIsStored) {
    Published<int> value(1);
    std::vector<std::string> events;
    auto willChange = value.onWillChange([&] { events.push_back("will change from " + std::to_string(value.value())); });
    auto stream = value.subscribe([&](const int& next) {
        events.push_back("value " + std::to_string(next) + " while stored " + std::to_string(value.value()));
    });

    value.set(2);
    value.set(2);  // an equal value is still announced

    EXPECT_EQ(events, (std::vector<std::string>{"value 1 while stored 1", "will change from 1",
                                                "value 2 while stored 1", "will change from 2",
                                                "value 2 while stored 2"}));
    EXPECT_EQ(value.value(), 2);
}

TEST(Published, ObserversMayCancelOthersAndSubscribeDuringANotificationAndOutliveTheirValue) {
    Published<int> value;
    std::vector<std::string> events;
    Published<int>::Subscription second;
    Published<int>::Subscription late;
    auto first = value.onWillChange([&] {
        events.push_back("first");
        second.cancel();
        if (value.observerCount() == 1) late = value.onWillChange([&] { events.push_back("late"); });
    });
    second = value.onWillChange([&] { events.push_back("second"); });

    value.set(1);
    EXPECT_EQ(events, (std::vector<std::string>{"first"}));  // second was cancelled, late is too new
    events.clear();
    value.set(2);
    EXPECT_EQ(events, (std::vector<std::string>{"first", "late"}));
    EXPECT_EQ(value.observerCount(), 2u);

    // A subscription outliving its value cancels harmlessly.
    Published<std::optional<int>>::Subscription survivor;
    std::optional<int> received = 7;
    {
        Published<std::optional<int>> brief;
        survivor = brief.subscribe([&](const std::optional<int>& next) { received = next; });
        EXPECT_EQ(brief.observerCount(), 1u);
    }
    EXPECT_EQ(received, std::nullopt);  // the current value arrived at once
    survivor.cancel();  // must not touch the destroyed value (ASan checks)
}

}  // namespace
}  // namespace vornelo::platform

#include "Platform/PropertyList.h"

#include <gtest/gtest.h>

#include <string>

namespace vornelo::platform {
namespace {

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

TEST(PropertyListTest, XmlAndBinaryRoundTripEveryKindOfValue) {
    for (const auto format : {PlistFormat::xml, PlistFormat::binary}) {
        const auto bytes = PropertyList::serialize(sample(), format);
        const auto parsed = PropertyList::parse(bytes);
        ASSERT_TRUE(parsed) << (format == PlistFormat::xml ? "xml" : "binary");
        EXPECT_EQ(*parsed, sample());
    }
}

TEST(PropertyListTest, BytesThatAreNoPropertyListGiveNothing) {
    const std::string garbage = "definitely not a plist";
    EXPECT_FALSE(PropertyList::parse(std::span(reinterpret_cast<const std::uint8_t*>(garbage.data()), garbage.size())));
    EXPECT_FALSE(PropertyList::parse({}));
    auto truncated = PropertyList::serialize(sample(), PlistFormat::binary);
    truncated.resize(truncated.size() / 2);
    EXPECT_FALSE(PropertyList::parse(truncated));
}

TEST(PropertyListTest, ConversionsAcceptOnlyWhatBridgesCleanly) {
    EXPECT_EQ(PlistValue(true).asBool(), true);
    EXPECT_EQ(PlistValue(std::int64_t{1}).asBool(), true);
    EXPECT_EQ(PlistValue(std::int64_t{0}).asBool(), false);
    EXPECT_FALSE(PlistValue(std::int64_t{2}).asBool());
    EXPECT_FALSE(PlistValue("YES").asBool());

    EXPECT_EQ(PlistValue(6.0).asInteger(), 6);
    EXPECT_FALSE(PlistValue(6.5).asInteger());
    EXPECT_FALSE(PlistValue(1e30).asInteger());
    EXPECT_FALSE(PlistValue("6").asInteger());

    EXPECT_EQ(PlistValue::strings({"x"}).asStringArray(), std::vector<std::string>{"x"});
    EXPECT_FALSE(PlistValue("x").asStringArray()) << "a single string is not a list";
    EXPECT_FALSE(PlistValue(PlistValue::Array{PlistValue("x"), PlistValue(1)}).asStringArray());
}

}  // namespace
}  // namespace vornelo::platform

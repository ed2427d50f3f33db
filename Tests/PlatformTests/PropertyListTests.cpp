#include "Platform/PropertyList.h"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

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
    struct Case {
        std::string name;
        std::string bytes;
        bool parses;
    };
    const std::vector<Case> cases{
        {"xml, 60 deep", nestedXml(60), true},
        {"xml, 200,000 deep", nestedXml(200'000), false},
        {"xml, tags inside a comment do not count",
         [] {
             auto xml = nestedXml(60);
             return xml.insert(xml.find("<plist"), "<!-- " + std::string(300, '<') + "array> -->");
         }(),
         true},
        {"binary, 60 deep", nestedBinary(60), true},
        {"binary, 200,000 deep", nestedBinary(200'000), false},
        {"binary, a cycle", nestedBinary(3, true), false},
    };
    for (const auto& [name, bytes, parses] : cases) {
        EXPECT_EQ(PropertyList::parse(bytesOf(bytes)).has_value(), parses) << name;
    }
    const auto deepest = PropertyList::parse(bytesOf(nestedBinary(60)));
    ASSERT_TRUE(deepest);
    const auto* outer = deepest->get<PlistValue::Array>();
    ASSERT_TRUE(outer && outer->size() == 1);
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

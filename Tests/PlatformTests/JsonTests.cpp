#include "Platform/Json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vornelo::platform {
namespace {

TEST(JsonTests, CompactTextSortsKeysAndLeavesSlashesAndUtf8Alone) {
    const nlohmann::json object{{"zeta", 1}, {"path", "/Users/x/caf\u00e9 \xF0\x9F\x93\x81"}, {"alpha", true}};
    const auto text = Json::compactText(object);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "{\"alpha\":true,\"path\":\"/Users/x/caf\u00e9 \xF0\x9F\x93\x81\",\"zeta\":1}");
}

TEST(JsonTests, CompactTextEscapesQuotesAndControlCharactersOntoOneLine) {
    const auto text = Json::compactText(nlohmann::json{{"d", std::string("a\"b\\c\nd\re\tf\x01g", 14)}});
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, R"({"d":"a\"b\\c\nd\re\tf\u0001g\u0000"})");
    EXPECT_EQ(text->find('\n'), std::string::npos);
}

TEST(JsonTests, CompactTextRefusesInvalidUtf8) {
    const auto text = Json::compactText(nlohmann::json{{"path", "/tmp/\xff"}});
    ASSERT_FALSE(text);
    EXPECT_FALSE(text.error().description.empty());
}

TEST(JsonTests, TheStreamingWriterProducesExactlyWhatNlohmannWrites) {
    // Every byte value that can stand alone in UTF-8, plus multi-byte characters and escapes.
    std::string everything;
    for (int c = 1; c < 0x80; ++c) everything += static_cast<char>(c);
    everything += std::string("\0caf\u00e9 \xF0\x9F\x93\x81 \u2014", 15);
    const std::vector<std::string> values = {"", "/Users/x/a b", everything, "tab\there \"quoted\" back\\slash"};
    for (const auto& value : values) {
        std::string written = "prefix:";
        JsonObjectWriter writer(written);
        writer.boolean("a", true).integer("b", -9223372036854775807 - 1).string("c", value);
        writer.unsignedInteger("d", 18446744073709551615u).boolean("e", false);
        ASSERT_TRUE(writer.finish());
        const nlohmann::json reference{{"a", true}, {"b", -9223372036854775807 - 1}, {"c", value},
                                       {"d", 18446744073709551615u}, {"e", false}};
        EXPECT_EQ(written, "prefix:" + *Json::compactText(reference));
    }
}

TEST(JsonTests, TheStreamingWriterRefusesUnsortedKeysAndBadTextAndTakesItsOutputBack) {
    const auto attempt = [](auto build) {
        std::string out = "kept";
        JsonObjectWriter writer(out);
        build(writer);
        const auto finished = writer.finish();
        EXPECT_EQ(out, "kept");
        return finished ? std::string() : finished.error().description;
    };
    EXPECT_NE(attempt([](JsonObjectWriter& w) { w.integer("b", 1).integer("a", 2); }), "");
    EXPECT_NE(attempt([](JsonObjectWriter& w) { w.integer("a", 1).integer("a", 2); }), "");
    EXPECT_NE(attempt([](JsonObjectWriter& w) { w.string("a", "\xff"); }).find("\"a\""), std::string::npos);
    std::string out;
    JsonObjectWriter empty(out);
    ASSERT_TRUE(empty.finish());
    EXPECT_EQ(out, "{}");
}

TEST(JsonTests, ReaderReportsEveryKindOfMemberInDocumentOrder) {
    JsonObjectReader reader;
    ASSERT_TRUE(reader.parse(
        R"({"s":"a\/b\u00e9","i":-5,"u":18446744073709551615,"r":1.5,"b":false,"n":null,"a":[1],"o":{}})"));
    const auto members = reader.members();
    ASSERT_EQ(members.size(), 8u);
    EXPECT_EQ(members[0].key, "s");
    EXPECT_EQ(members[0].value.kind, JsonValue::Kind::string);
    EXPECT_EQ(members[0].value.string, "a/b\u00e9");
    EXPECT_EQ(members[1].value.kind, JsonValue::Kind::integer);
    EXPECT_EQ(members[1].value.integer, -5);
    EXPECT_EQ(members[2].value.kind, JsonValue::Kind::unsignedInteger);
    EXPECT_EQ(members[2].value.unsignedInteger, 18446744073709551615u);
    EXPECT_EQ(members[3].value.kind, JsonValue::Kind::real);
    EXPECT_EQ(members[4].value.kind, JsonValue::Kind::boolean);
    EXPECT_FALSE(members[4].value.boolean);
    EXPECT_EQ(members[5].value.kind, JsonValue::Kind::null);
    EXPECT_EQ(members[6].value.kind, JsonValue::Kind::array);
    EXPECT_EQ(members[7].value.kind, JsonValue::Kind::object);
}

TEST(JsonTests, ReaderRefusesAnythingButOneValidObject) {
    JsonObjectReader reader;
    EXPECT_FALSE(reader.parse("[1,2]"));
    EXPECT_FALSE(reader.parse("\"text\""));
    EXPECT_FALSE(reader.parse(R"({"a":1} {"b":2})"));
    EXPECT_FALSE(reader.parse(R"({"a":1,})"));
    EXPECT_FALSE(reader.parse(R"({"a":"\xff"})"));
    EXPECT_FALSE(reader.parse(""));
    EXPECT_TRUE(reader.parse(" {\"a\":1} "));
    ASSERT_EQ(reader.members().size(), 1u);
}

TEST(JsonTests, ReaderParsesInPlaceOnlyWithinTheTextItWasGiven) {
    // Padded bytes after the text belong to the next line and must not be read as part of it.
    std::string buffer = R"({"a":1}{"b":2})";
    buffer.append(JsonObjectReader::padding, ' ');
    JsonObjectReader reader;
    ASSERT_TRUE(reader.parse(std::string_view(buffer.data(), 7), buffer.size()));
    ASSERT_EQ(reader.members().size(), 1u);
    EXPECT_EQ(reader.members()[0].key, "a");
    ASSERT_TRUE(reader.parse(std::string_view(buffer.data() + 7, 7), buffer.size() - 7));
    EXPECT_EQ(reader.members()[0].key, "b");
}

TEST(JsonTests, ReaderRefusesDocumentsOverItsLimit) {
    JsonObjectReader reader(32);
    EXPECT_TRUE(reader.parse(R"({"a":"short"})"));
    EXPECT_FALSE(reader.parse(R"({"a":"a string well over thirty-two bytes long"})"));
}

}  // namespace
}  // namespace vornelo::platform

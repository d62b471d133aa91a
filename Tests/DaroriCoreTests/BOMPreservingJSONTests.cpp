#include "DaroriCore/External/Hub/BOMPreservingJSON.hpp"
#include "DaroriCore/External/Hub/Config.hpp"

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

using namespace darori;

namespace {
const std::string UTF8_BOM = "\xEF\xBB\xBF";
}

TEST(BOMPreservingJSON, KeepsALeadingMarkExactlyOnce) {
    const std::string doc = "{\"" + UTF8_BOM + "key\":\"" + UTF8_BOM + "value\",\"mid\":\"a" + UTF8_BOM + "b\",\"list\":[\"" + UTF8_BOM + "\"]}";
    const auto j = bomPreservingJsonObject(doc);
    EXPECT_EQ(j.begin().key(), UTF8_BOM + "key");
    EXPECT_EQ(j[UTF8_BOM + "key"], UTF8_BOM + "value");
    EXPECT_EQ(j["mid"], "a" + UTF8_BOM + "b");
    EXPECT_EQ(j["list"][0], UTF8_BOM);
    // Through the configuration value: the key and the text each start with one U+FEFF unit.
    const Config c = Config::convertToBinaryDistinctKeys(j);
    const auto& text = c[UTF8_BOM + "key"].value.binaryString()->value;
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text[0], 0xFEFF);
    EXPECT_NE(text[1], 0xFEFF);
}

TEST(BOMPreservingJSON, PlainDocumentsAndErrors) {
    const std::string doc = R"({"b":[1,2.5,"x"],"a":null})";
    EXPECT_EQ(bomPreservingJsonObject(doc), nlohmann::ordered_json::parse(doc));
    EXPECT_EQ(bomPreservingJsonObject(doc).dump(), doc);  // key order kept
    EXPECT_EQ(bomPreservingJsonObject(UTF8_BOM + doc).dump(), doc);  // a mark before the document is skipped
    EXPECT_THROW(bomPreservingJsonObject("{\"a\":"), nlohmann::ordered_json::parse_error);
    // Numbers beyond a double's range are malformed documents too, not a different kind of failure.
    for (const char* overflow : {"[1e400]", "{\"a\":-1e400}", "1E+99999"})
        EXPECT_THROW(bomPreservingJsonObject(overflow), nlohmann::ordered_json::parse_error) << overflow;
}

// A hostile file nested a hundred thousand levels deep is refused instead of exhausting the stack of
// the recursive readers; nesting up to the limit reads, and brackets inside strings do not count.
TEST(BOMPreservingJSON, RefusesExcessiveNesting) {
    const auto nested = [](int depth) { return std::string(depth, '[') + "\"[[{\"" + std::string(depth, ']'); };
    EXPECT_THROW(bomPreservingJsonObject(nested(100000)), nlohmann::ordered_json::parse_error);
    EXPECT_THROW(bomPreservingJsonObject(nested(MAX_JSON_NESTING + 1)), nlohmann::ordered_json::parse_error);
    const Config c = Config::convertToBinaryDistinctKeys(bomPreservingJsonObject(nested(MAX_JSON_NESTING)));
    EXPECT_NE(c.array(), nullptr);
}

namespace {

// Every case, read straight into a Config and through the ordered tree, gives equal values, the
// same dictionary iteration order (description walks it) and the same error type and text.
void expectSameAsTreeRoute(const std::string& doc) {
    SCOPED_TRACE(doc.size() > 200 ? doc.substr(0, 200) + "..." : doc);
    std::optional<Config> viaTree;
    std::string treeError;
    try {
        viaTree = Config::convertToBinaryDistinctKeys(bomPreservingJsonObject(doc));
    } catch (const nlohmann::ordered_json::exception& e) {
        treeError = std::string(typeid(e).name()) + ": " + e.what();
    }
    std::optional<Config> direct;
    std::string directError;
    try {
        direct = bomPreservingConfig(doc);
    } catch (const nlohmann::ordered_json::exception& e) {
        directError = std::string(typeid(e).name()) + ": " + e.what();
    }
    EXPECT_EQ(directError, treeError);
    ASSERT_EQ(direct.has_value(), viaTree.has_value());
    if (!direct) return;
    EXPECT_EQ(direct->value.kind(), viaTree->value.kind());
    EXPECT_TRUE(*direct == *viaTree);
    // Compared without printing both: a whole tokenizer's description runs to megabytes.
    const std::string a = direct->description(), b = viaTree->description();
    const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    EXPECT_TRUE(a == b) << "descriptions differ at byte " << (mismatch.first - a.begin()) << ": "
                        << a.substr(mismatch.first - a.begin(), 80) << " / " << b.substr(mismatch.second - b.begin(), 80);
}

std::string manyKeys(int count, const std::string& repeatedValue) {
    std::string doc = "{";
    for (int i = 0; i < count; ++i) doc += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    // Repeats of an early key (indexed when the object grew large) and of the last one.
    return doc + "\"k3\":" + repeatedValue + ",\"k" + std::to_string(count - 1) + "\":[1,{\"k3\":0,\"k3\":1}]}";
}

}  // namespace

TEST(BOMPreservingJSON, DirectConfigMatchesTheTreeRoute) {
    const auto nested = [](int depth) { return std::string(depth, '[') + "{\"[\":\"]\"}" + std::string(depth, ']'); };
    const std::vector<std::string> cases = {
        // Values and their conversions.
        R"({"s":"x","t":true,"f":false,"n":null,"a":[],"o":{},"e":""})",
        R"([0,-0,1,-1,2.0,-2.5,0.1,1e3,1E-3,3.4e38,1e39,9223372036854775807,-9223372036854775808,9223372036854775808,18446744073709551615,18446744073709551616,1e308])",
        "\"top\"", "12", "-7.5", "null", "true",
        // Duplicate keys: the last value wins, at the place the key first appeared.
        R"({"a":1,"b":2,"a":3})", R"({"a":{"x":1},"a":{"y":2},"b":[{"c":1,"c":[2]}]})",
        manyKeys(20, "\"again\""), manyKeys(200, "{\"deep\":[1]}"), manyKeys(17, "null"),
        // Keys that differ only in normalisation stay two keys; escapes decode.
        "{\"\xC3\xA9\":1,\"e\xCC\x81\":2,\"\\u00e9\":3,\"\\ud83d\\ude00\":\"\\n\\t\\\"\\\\\\/\"}",
        // Byte-order marks: before the document skipped, inside strings and keys kept.
        UTF8_BOM + R"({"a":1})", "{\"" + UTF8_BOM + "k\":\"" + UTF8_BOM + UTF8_BOM + "v\"}", UTF8_BOM + UTF8_BOM + "{}",
        // Nesting: up to the limit reads, beyond it fails at the first bracket too many.
        nested(MAX_JSON_NESTING - 1), nested(MAX_JSON_NESTING), nested(100000),
        // Errors: text, place and type (out-of-range numbers are not parse errors).
        "", " ", "{", R"({"a":)", R"({"a":1,})", "[1,]", "[1 2]", "{} {}", "{'a':1}", "nul", "01", "1.", "-",
        "1e400", "[-1e400]", R"({"a":1e999})", "\"\xFF\"", "\"a\x01\"", "\"\\uD800\"", "[1]x", "/*c*/{}",
    };
    for (const auto& doc : cases) expectSameAsTreeRoute(doc);
}

TEST(BOMPreservingJSON, DirectConfigReadsTheEnglishTokenizerAsTheTreeRouteDoes) {
    std::ifstream in(std::string(TALKWEFT_SOURCE_DIR) + "/../shared/fixtures/tokenizer-en/tokenizer.json", std::ios::binary);
    ASSERT_TRUE(in);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    expectSameAsTreeRoute(bytes.str());
    EXPECT_GT(bomPreservingConfig(bytes.str())["model"]["vocab"].dictionary()->size(), 50000u);
}

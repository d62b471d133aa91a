#include "DaroriCore/External/Hub/BOMPreservingJSON.hpp"
#include "DaroriCore/External/Hub/Config.hpp"

#include <gtest/gtest.h>

using namespace darori;

namespace {
const std::string BOM = "\xEF\xBB\xBF";
}

TEST(BOMPreservingJSON, KeepsALeadingMarkExactlyOnce) {
    const std::string doc = "{\"" + BOM + "key\":\"" + BOM + "value\",\"mid\":\"a" + BOM + "b\",\"list\":[\"" + BOM + "\"]}";
    const auto j = bomPreservingJsonObject(doc);
    EXPECT_EQ(j.begin().key(), BOM + "key");
    EXPECT_EQ(j[BOM + "key"], BOM + "value");
    EXPECT_EQ(j["mid"], "a" + BOM + "b");
    EXPECT_EQ(j["list"][0], BOM);
    // Through the configuration value: the key and the text each start with one U+FEFF unit.
    const Config c = Config::convertToBinaryDistinctKeys(j);
    const auto& text = c[BOM + "key"].value.binaryString()->value;
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text[0], 0xFEFF);
    EXPECT_NE(text[1], 0xFEFF);
}

TEST(BOMPreservingJSON, PlainDocumentsAndErrors) {
    const std::string doc = R"({"b":[1,2.5,"x"],"a":null})";
    EXPECT_EQ(bomPreservingJsonObject(doc), nlohmann::ordered_json::parse(doc));
    EXPECT_EQ(bomPreservingJsonObject(doc).dump(), doc);  // key order kept
    EXPECT_EQ(bomPreservingJsonObject(BOM + doc).dump(), doc);  // a mark before the document is skipped
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

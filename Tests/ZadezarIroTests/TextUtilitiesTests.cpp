#include "ZadezarIro/Utilities/TextUtilities.hpp"

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.hpp"

using namespace zadezariro;

TEST(CompressionRatio, TextsFromEmptyToRepetitive) {
    EXPECT_TRUE(std::isinf(TextUtilities::compressionRatio(std::string_view(""))));
    const float repeated = TextUtilities::compressionRatio(std::string(100, 'a'));
    EXPECT_GT(repeated, 2.4f);
    const float sentence = TextUtilities::compressionRatio("The quick brown fox jumps over the lazy dog.");
    EXPECT_LT(sentence, 2.4f);
    EXPECT_GT(sentence, 0.5f);
    // Raw DEFLATE, no zlib header or checksum: a single byte compresses to 3 bytes at this level.
    EXPECT_FLOAT_EQ(TextUtilities::compressionRatio("a"), 1.0f / 3.0f);

    testsupport::LogCapture log;
    EXPECT_TRUE(std::isinf(TextUtilities::compressionRatio(std::string("\xff\xfe"))));
    EXPECT_EQ(log.lines, (std::vector<std::string>{"String encoding error"}));
}

TEST(CompressionRatio, TokenListsAsLittleEndianInt32) {
    EXPECT_TRUE(std::isinf(TextUtilities::compressionRatio(std::vector<std::int64_t>{})));
    std::vector<std::int64_t> loop;
    for (int i = 0; i < 60; ++i) loop.push_back(50364 + i % 3);
    EXPECT_GT(TextUtilities::compressionRatio(loop), 2.4f);
    std::vector<std::int64_t> varied;
    for (std::int64_t i = 0; i < 60; ++i) varied.push_back((i * 7919 + 13) % 50257);
    EXPECT_LT(TextUtilities::compressionRatio(varied), 2.4f);
    // The same bytes give the same ratio whether they come as text or as ids.
    const std::vector<std::int64_t> abcd = {0x64636261};  // "abcd" little-endian
    EXPECT_EQ(TextUtilities::compressionRatio(abcd), TextUtilities::compressionRatio("abcd"));
}

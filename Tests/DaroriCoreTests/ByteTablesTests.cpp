#include "DaroriCore/External/Tokenizers/ByteTables.hpp"

#include <set>

#include <gtest/gtest.h>

using namespace darori;

TEST(ByteTables, EncoderMapsEveryByteToADistinctCharacter) {
    const auto& encoder = byteEncoder();
    EXPECT_EQ(encoder[0x41], "A");
    EXPECT_EQ(encoder[0x20], "\u0120");
    EXPECT_EQ(encoder[0x0A], "\u010A");
    EXPECT_EQ(encoder[0xFF], "\u00FF");
    EXPECT_EQ(encoder[0xAD], "\u0143");
    EXPECT_EQ(encoder[0x00], "\u0100");
    EXPECT_EQ(std::set<std::string>(encoder.begin(), encoder.end()).size(), 256u);
    for (unsigned b = 0; b < 256; ++b) {
        EXPECT_EQ(byteDecoder().at(encoder[b]), b);
    }
    EXPECT_EQ(byteForCharacter(U'\u0120'), 0x20);
    EXPECT_EQ(byteForCharacter(U'A'), 0x41);
    for (const char32_t outside : {U' ', U'\u00AD', U'\u0144', U'\u20AC'}) EXPECT_FALSE(byteForCharacter(outside));
    EXPECT_EQ(byteLevelEncoded("a b\n"), "a\u0120b\u010A");
}

#include "DaroriCore/External/Tokenizers/UnicodeText.hpp"

#include <gtest/gtest.h>

using namespace darori;

TEST(UnicodeText, InvalidUTF8IsOneReplacementPerMaximalSubpart) {
    const std::string R = "\uFFFD";
    struct Case {
        std::string bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"abc", "abc"},
        {"\xE2\x82\xAC", "€"},
        {"\xE2\x82" "x", R + "x"},                // a truncated sequence is one replacement
        {"\xE2\x82", R},
        {"\xF0\x9F\x98", R},
        {"\x80\x80", R + R},                      // lone continuation bytes: one each
        {"\xC0\xAF", R + R},                      // C0 starts nothing
        {"\xE0\x80\xAF", R + R + R},              // E0 80 is not a valid start of a 3-byte form
        {"\xED\xA0\x80", R + R + R},              // surrogates are not UTF-8
        {"\xF4\x90\x80\x80", R + R + R + R},      // above U+10FFFF
        {"\xF5\xFF", R + R},
        {"\xEF\xBF\xBD", R},                      // a real U+FFFD stays one
        {"a\xF0\x9F\x98\x80" "b", "a\U0001F600b"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decodeUTF8Lossy(c.bytes), c.expected);
        EXPECT_EQ(isValidUTF8(c.bytes), c.bytes == c.expected);
    }
}

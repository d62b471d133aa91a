#include "Unicode/Unicode.hpp"

#include <gtest/gtest.h>
#include <utf8proc.h>

#include <cstdlib>
#include <memory>

using namespace unicode;

namespace {
const std::string FACE = "\xF0\x9F\x98\x80";          // U+1F600, two UTF-16 units
const std::string E_ACUTE_NFD = "e\xCC\x81";           // e + combining acute
const std::string E_ACUTE_NFC = "\xC3\xA9";            // é
const std::string FLAG_FR = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";  // two regional indicators, one character
}  // namespace

TEST(Unicode, UTF16LengthsAndRoundTrip) {
    struct Case { std::string text; std::size_t units; };
    for (const Case& c : std::vector<Case>{{"", 0}, {"abc", 3}, {E_ACUTE_NFC, 1}, {E_ACUTE_NFD, 2}, {FACE, 2},
                                           {"a" + FACE + "b", 4}, {"\xFF", 1}}) {
        EXPECT_EQ(utf16Length(c.text), c.units) << c.text;
        EXPECT_EQ(toUTF16(c.text).size(), c.units);
        EXPECT_EQ(fromUTF16(toUTF16(c.text)), repairUTF8(c.text));
    }
    // A lone surrogate reads as U+FFFD.
    EXPECT_EQ(fromUTF16(std::u16string{u'a', char16_t(0xD83D), u'b'}), "a\xEF\xBF\xBD" "b");
}

TEST(Unicode, InvalidUTF8IsOneReplacementPerMaximalSubpart) {
    const std::string R = "\xEF\xBF\xBD";
    struct Case {
        std::string bytes;
        std::string repaired;
    };
    const Case cases[] = {
        {"\xE2\x9F", R},                            // a sequence cut off at the end: one
        {"a\xE2\x82" "b", "a" + R + "b"},           // cut off before a byte that does not fit
        {"\xF0\x9F\x98", R},
        {"\x80\x80", R + R},                        // lone continuation bytes: one each
        {"\xC0\xAF", R + R},                        // C0 starts nothing
        {"\xE0\x80\xAF", R + R + R},               // overlong: E0 needs A0..BF next
        {"\xED\xA0\x80", R + R + R},               // surrogates are not UTF-8
        {"\xF4\x90\x80\x80", R + R + R + R},      // above U+10FFFF
        {"\xF5\xFF", R + R},
        {R + FACE, R + FACE},                         // valid text, U+FFFD included, stays as it is
    };
    for (const Case& c : cases) {
        const std::string shown = ::testing::PrintToString(c.bytes);
        EXPECT_EQ(repairUTF8(c.bytes), c.repaired) << shown;
        EXPECT_EQ(isValidUTF8(c.bytes), c.bytes == c.repaired) << shown;
        // Every reading of the text sees the same characters as its repair.
        EXPECT_EQ(utf16Length(c.bytes), utf16Length(c.repaired)) << shown;
        EXPECT_EQ(fromUTF16(toUTF16(c.bytes)), c.repaired) << shown;
        EXPECT_EQ(characterCount(c.bytes), characterCount(c.repaired)) << shown;
    }
}

TEST(Unicode, OffsetsNeverSplitASurrogatePair) {
    const std::string s = "a" + FACE + "b";  // units: a=0, face=1..2, b=3
    EXPECT_EQ(byteOffset(s, 1), 1u);
    EXPECT_EQ(byteOffset(s, 2, false), 1u);   // inside the pair: back to its start
    EXPECT_EQ(byteOffset(s, 2, true), 5u);    // or past it
    EXPECT_EQ(byteOffset(s, 4), s.size());
    EXPECT_FALSE(byteOffset(s, 5).has_value());
    EXPECT_EQ(utf16Offset(s, 5), 3u);
    EXPECT_EQ(utf16Substring(s, 2, 1), FACE);      // widened to the whole character
    EXPECT_EQ(utf16Substring(s, 3, 100), "b");
    EXPECT_EQ(utf16Substring(s, 100, 5), "");
}

TEST(Unicode, CharactersAreGraphemeClusters) {
    const std::string s = E_ACUTE_NFD + FLAG_FR + "x\r\ny";
    EXPECT_EQ(characterCount(s), 5u);  // é, flag, x, CRLF, y
    EXPECT_EQ(prefixCharacters(s, 2), E_ACUTE_NFD + FLAG_FR);
    EXPECT_EQ(suffixCharacters(s, 2), "\r\ny");
    EXPECT_EQ(prefixCharacters(s, 50), s);
    EXPECT_EQ(suffixCharacters("", 3), "");
    EXPECT_EQ(prefixCharacters(s, 0), "");
    EXPECT_EQ(suffixCharacters(s, 0), "");
    EXPECT_EQ(suffixCharacters("", 0), "");
}

TEST(Unicode, CanonicalEquivalenceAndTrim) {
    EXPECT_TRUE(canonicallyEqual(E_ACUTE_NFC, E_ACUTE_NFD));
    EXPECT_FALSE(canonicallyEqual("e", E_ACUTE_NFC));
    EXPECT_EQ(nfc(E_ACUTE_NFD), E_ACUTE_NFC);
    EXPECT_EQ(trimWhitespace(" \n\t hi there \xE3\x80\x80"), "hi there");
    EXPECT_EQ(trimWhitespace("  "), "");
}

namespace {

std::string utf8procForm(const std::string& s, int options) {
    utf8proc_uint8_t* out = nullptr;
    const utf8proc_ssize_t n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(s.data()),
                                            static_cast<utf8proc_ssize_t>(s.size()), &out,
                                            static_cast<utf8proc_option_t>(UTF8PROC_STABLE | options));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> guard(out, &std::free);
    return n < 0 ? "error" : std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int k = 0; k < n; ++k) out += s;
    return out;
}

}  // namespace

// Our canonical forms order marks by our own stable sort (insertion for short runs, counting for
// long ones); utf8proc's forms are the reference. Long runs mix classes and hold several marks of one
// class, whose relative order must survive.
TEST(Unicode, CanonicalFormsAgreeWithUTF8proc) {
    const std::string ACUTE = "\xCC\x81", GRAVE = "\xCC\x80", DOT_BELOW = "\xCC\xA3", CEDILLA = "\xCC\xA7";
    const std::string YPOGEGRAMMENI = "\xCD\x85";  // U+0345, class 240
    const std::vector<std::string> cases = {
        "",
        "plain ascii",
        E_ACUTE_NFC + " " + E_ACUTE_NFD,
        "a" + ACUTE + DOT_BELOW + "b" + DOT_BELOW + ACUTE,
        "\xE1\xBA\xA5" + DOT_BELOW,                       // precomposed letter gaining a lower mark
        "\xED\x95\x9C\xEA\xB8\x80",                      // Hangul syllables
        "\xE2\x84\xAB \xCD\x84 \xEF\xAC\xAC",        // singletons: Angstrom sign, U+0344, U+FB2C
        ACUTE + DOT_BELOW + "x",                           // marks before any letter
        "e" + repeat(YPOGEGRAMMENI + ACUTE + GRAVE + DOT_BELOW + CEDILLA, 7),  // a long run, many classes
        "o" + repeat(ACUTE, 20) + repeat(DOT_BELOW, 20) + repeat(GRAVE + CEDILLA, 5) + "\xC3\xB4",
        "x\xFF" + ACUTE + "\xF0\x9F\x98\x80" + DOT_BELOW,
    };
    for (const std::string& c : cases) {
        const std::string clean = repairUTF8(c);
        EXPECT_EQ(nfd(c), utf8procForm(clean, UTF8PROC_DECOMPOSE)) << c;
        EXPECT_EQ(nfc(c), utf8procForm(clean, UTF8PROC_COMPOSE)) << c;
        EXPECT_TRUE(canonicallyEqual(c, nfc(c))) << c;
    }
    // Long runs equal only in another order of marks of one class are different texts.
    EXPECT_FALSE(canonicallyEqual("o" + repeat(ACUTE + GRAVE, 20), "o" + repeat(GRAVE + ACUTE, 20)));
    EXPECT_TRUE(canonicallyEqual("o" + repeat(ACUTE, 20) + repeat(DOT_BELOW, 20), "o" + repeat(DOT_BELOW + ACUTE, 20)));
}

TEST(Unicode, FindCanonicalMatchesEquivalentSequencesAtCharacterEdges) {
    using Spans = std::vector<UTF16Span>;
    const std::string DOT_BELOW = "\xCC\xA3";  // U+0323, combining class 220
    const std::string ACUTE = "\xCC\x81";      // U+0301, combining class 230
    struct Case { std::string text, find; Spans want; };
    const std::vector<Case> cases = {
        {"caf" + E_ACUTE_NFC + " caf" + E_ACUTE_NFD, "caf" + E_ACUTE_NFC, {{0, 4}, {5, 5}}},
        {"caf" + E_ACUTE_NFC, "caf" + E_ACUTE_NFD, {{0, 4}}},
        {E_ACUTE_NFD, "e", {}},                  // never splits a letter from its mark
        {E_ACUTE_NFC + "e", "e", {{1, 1}}},
        {"a" + DOT_BELOW + ACUTE, "a" + ACUTE + DOT_BELOW, {{0, 3}}},  // marks in either order
        {"aaaa", "aa", {{0, 2}, {1, 2}, {2, 2}}},
        {"abababa", "aba", {{0, 3}, {2, 3}, {4, 3}}},
        {"aabaabaaab", "aab", {{0, 3}, {3, 3}, {7, 3}}},   // a partial match restarts inside itself
        {"a" + repeat(ACUTE, 20) + repeat(DOT_BELOW, 20) + "b", "a" + repeat(DOT_BELOW + ACUTE, 19), {}},
        {"a" + repeat(ACUTE, 20) + repeat(DOT_BELOW, 20) + "b", "a" + repeat(DOT_BELOW + ACUTE, 20), {{0, 41}}},
        {"a" + repeat(ACUTE, 20) + repeat(DOT_BELOW, 20) + "b", "a" + repeat(DOT_BELOW + ACUTE, 20) + "b", {{0, 42}}},
        {FACE + "ab" + FACE + "ab", "ab", {{2, 2}, {6, 2}}},
        {"\xF0\x9F\x98\x80", "\xF0", {}},       // a bad byte is U+FFFD, not part of a character
        {"x\xFFy", "\xFF", {{1, 1}}},
        {"\xEA\xB0\x81", "\xEA\xB0\x80", {}},   // no precomposed syllable inside another
        {"ABC", "abc", {}},
        {"", "a", {}},
        {"a", "", {}},
        {"ab", "abc", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(findCanonical(c.text, c.find), c.want) << c.text << " / " << c.find;
}

TEST(Unicode, LowercaseUsesTheFullMapping) {
    EXPECT_EQ(lowercase("HeLLo \xC3\x9C\xC3\x84 \xCE\xA3"), "hello \xC3\xBC\xC3\xA4 \xCF\x83");
    EXPECT_EQ(lowercase("\xC4\xB0" "X"), "i\xCC\x87" "x");  // capital I with dot above
    EXPECT_EQ(lowercase("a\xFF"), "a\xEF\xBF\xBD");
    EXPECT_EQ(lowercase(""), "");
}

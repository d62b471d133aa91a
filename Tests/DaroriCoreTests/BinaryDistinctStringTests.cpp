#include "DaroriCore/BinaryDistinctString.hpp"

#include <cstdint>

#include <gtest/gtest.h>

using namespace darori;

namespace {
const std::string E_NFC = "\xC3\xA9";     // é, one unit
const std::string E_NFD = "e\xCC\x81";    // e + combining acute, two units
const std::string BOM = "\xEF\xBB\xBF";   // U+FEFF
const std::string FACE = "\xF0\x9F\x98\x80";  // U+1F600, a surrogate pair
}  // namespace

TEST(BinaryDistinctString, NormalisationFormsStayDistinct) {
    const BinaryDistinctString nfc(E_NFC), nfd(E_NFD);
    EXPECT_NE(nfc, nfd);
    EXPECT_EQ(nfc.value, (std::vector<std::uint16_t>{0xE9}));
    EXPECT_EQ(nfd.value, (std::vector<std::uint16_t>{0x65, 0x301}));
    BinaryDistinctMap<int> map{{nfc, 1}, {nfd, 2}};
    EXPECT_EQ(map.size(), 2u);
    EXPECT_NE(BinaryDistinctString(BOM + "a"), BinaryDistinctString("a"));
    EXPECT_EQ(BinaryDistinctString(FACE).value.size(), 2u);
    EXPECT_EQ(BinaryDistinctString(FACE).string(), FACE);
}

TEST(BinaryDistinctString, CountsCharactersNotUnits) {
    const BinaryDistinctString nfd(E_NFD);
    EXPECT_EQ(nfd.count(), 1u);
    const auto chars = nfd.characters();
    ASSERT_EQ(chars.size(), 1u);
    EXPECT_EQ(chars[0].bytes.size(), 2u);
    EXPECT_EQ(BinaryDistinctString("a" + FACE + E_NFD).count(), 3u);
    EXPECT_EQ(BinaryDistinctString(chars), nfd);
    EXPECT_EQ(BinaryDistinctString("").count(), 0u);
}

TEST(BinaryDistinctString, OrdersByUnits) {
    const BinaryDistinctString empty, aa("aa"), ab("ab"), abc("abc");
    EXPECT_LT(empty, aa);
    EXPECT_LT(aa, ab);
    EXPECT_LT(ab, abc);
    EXPECT_GT(abc, ab);
    EXPECT_LE(ab, ab);
    // U+FF41 (one unit 0xFF41) orders after U+1F600 (units 0xD83D 0xDE00) by units, though not by code point.
    EXPECT_GT(BinaryDistinctString("\xEF\xBD\x81"), BinaryDistinctString(FACE));
}

TEST(BinaryDistinctString, PrefixSuffixAndConcatenation) {
    const BinaryDistinctString s("hello");
    EXPECT_TRUE(s.hasPrefix(""));
    EXPECT_TRUE(s.hasPrefix("he"));
    EXPECT_FALSE(s.hasPrefix("hex"));
    EXPECT_TRUE(s.hasSuffix("llo"));
    EXPECT_FALSE(s.hasSuffix("xhello"));
    EXPECT_FALSE(BinaryDistinctString(E_NFD).hasPrefix(E_NFC));
    EXPECT_EQ(BinaryDistinctString("ab") + BinaryDistinctString("c"), BinaryDistinctString("abc"));
}

TEST(BinaryDistinctString, LowercasingAndReplacing) {
    EXPECT_EQ(BinaryDistinctString("AbÇ").lowercased(), BinaryDistinctString("abç"));
    EXPECT_EQ(BinaryDistinctString("\xC4\xB0").lowercased(), BinaryDistinctString("i\xCC\x87"));  // İ: full mapping
    EXPECT_EQ(BinaryDistinctString("a-b-c").replacingOccurrences("-", "+"), BinaryDistinctString("a+b+c"));
    // Occurrences are found by canonical equivalence; untouched text keeps its units.
    EXPECT_EQ(BinaryDistinctString("x" + E_NFD + "y" + E_NFC).replacingOccurrences(E_NFC, "E"),
              BinaryDistinctString("xEyE"));
    EXPECT_EQ(BinaryDistinctString("abc").replacingOccurrences("", "z"), BinaryDistinctString("abc"));
    EXPECT_EQ(BinaryDistinctString(E_NFD + "e").replacingOccurrences("e", "o"), BinaryDistinctString(E_NFD + "o"));
}

TEST(BinaryDistinctString, PositionsAndSubstrings) {
    const BinaryDistinctString s("a" + E_NFD + "bc");
    EXPECT_EQ(s.endIndex(), 4u);
    EXPECT_EQ(s.index(1, 2), 3);
    EXPECT_EQ(s.index(1, 2, 2), std::nullopt);
    EXPECT_EQ(s.index(1, 1, 2), 2);
    EXPECT_EQ(s.substring(1, 3), BinaryDistinctString(E_NFD + "b"));
    EXPECT_EQ(s.substring(2), BinaryDistinctString("bc"));
    EXPECT_EQ(s.substring(2, 2), BinaryDistinctString());
    EXPECT_DEATH(s.index(3, 2), "Index out of bounds");
    EXPECT_DEATH(s.index(PTRDIFF_MAX, 1), "Index out of bounds");  // no wrap-around into range
    EXPECT_EQ(s.index(PTRDIFF_MAX, 1, PTRDIFF_MAX), std::nullopt);
    EXPECT_DEATH(s.substring(0, 5), "Index out of bounds");
}

TEST(BinaryDistinctCharacter, DescriptionAndEquality) {
    EXPECT_EQ(BinaryDistinctCharacter("A").description(), "BinaryDistinctCharacter('A', bytes: [\"0x41\"])");
    EXPECT_EQ(BinaryDistinctCharacter(E_NFD).description(),
              "BinaryDistinctCharacter('" + E_NFD + "', bytes: [\"0x65\", \"0x301\"])");
    EXPECT_NE(BinaryDistinctCharacter(E_NFD), BinaryDistinctCharacter(E_NFC));
}

TEST(BinaryDistinctString, MergeKeepsOrTakesValues) {
    const BinaryDistinctMap<int> current{{"a", 2}, {"b", 5}};
    const std::unordered_map<std::string, int> other{{"a", 1}, {"c", 3}};
    auto keep = merging(current, other, [](int cur, int) { return cur; });
    auto take = merging(current, other, [](int, int o) { return o; });
    EXPECT_EQ(keep.at("a"), 2);
    EXPECT_EQ(take.at("a"), 1);
    EXPECT_EQ(take.at("c"), 3);
    EXPECT_EQ(take.size(), 3u);
    EXPECT_EQ(current.at("a"), 2);  // receiver unchanged
    BinaryDistinctMap<int> m{{"a", 2}};
    merge(m, BinaryDistinctMap<int>{{"a", 1}}, [](int cur, int o) { return cur + o; });
    EXPECT_EQ(m.at("a"), 3);
}

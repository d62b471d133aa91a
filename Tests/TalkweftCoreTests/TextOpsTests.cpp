#include "TalkweftCore/TextOps.hpp"
#include "Unicode/Unicode.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace talkweft;

namespace talkweft {
void PrintTo(const UTF16Range& r, std::ostream* os) { *os << "{" << r.location << ", " << r.length << "}"; }
}  // namespace talkweft

namespace {
const std::string FACE_EMOJI = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
const std::string E_ACUTE_NFC = "\xC3\xA9";
const std::string E_ACUTE_NFD = "e\xCC\x81";
}  // namespace

TEST(TextOps, EditRangeNearestToCaret) {
    const std::string text = "abc" + std::string(17, '.') + "abc";  // "abc" at 0 and at 20
    struct Case { std::string text, find; std::int64_t near; std::optional<UTF16Range> want; };
    const std::vector<Case> cases = {
        {text, "abc", 12, UTF16Range{20, 3}},       // distance 8 beats 9
        {text, "abc", 11, UTF16Range{0, 3}},        // 8 beats 9 the other way
        {"ab..ab", "ab", 3, UTF16Range{0, 2}},      // equal distance: the earlier one
        {text, "abc", 21, UTF16Range{20, 3}},       // inside an occurrence
        {text, "abc", 3, UTF16Range{0, 3}},         // exactly at its end
        {text, "abc", -50, UTF16Range{0, 3}},
        {text, "abc", 1000, UTF16Range{20, 3}},
        {text, "abc", INT64_MIN + 10, UTF16Range{0, 3}},  // extreme carets: no overflow in the distances
        {text, "abc", INT64_MAX - 10, UTF16Range{20, 3}},
        {"aaaa", "aa", 4, UTF16Range{2, 2}},        // overlapping occurrences at 0, 1, 2
        {"aaaa", "aa", 0, UTF16Range{0, 2}},
        {FACE_EMOJI + " hi " + FACE_EMOJI + " hi", "hi", 100, UTF16Range{9, 2}},  // emoji count two units
        {FACE_EMOJI + " hi", "hi", 0, UTF16Range{3, 2}},
        // Canonically equivalent forms match each other; the range is in the field's own units.
        {"caf" + E_ACUTE_NFD + " ok", "caf" + E_ACUTE_NFC, 0, UTF16Range{0, 5}},
        {"caf" + E_ACUTE_NFC + " ok", "caf" + E_ACUTE_NFD, 0, UTF16Range{0, 4}},
        {"caf" + E_ACUTE_NFD, "cafe", 0, std::nullopt},  // never stops before a combining mark
        {text, "", 0, std::nullopt},
        {"", "abc", 0, std::nullopt},
        {text, "abd", 0, std::nullopt},
        {text, "ABC", 0, std::nullopt},
    };
    for (const Case& c : cases) {
        const auto got = calcEditRange(c.text, c.find, c.near);
        EXPECT_EQ(got, c.want) << c.text << " / " << c.find << " near " << c.near;
    }
}

// A field read as UTF-16 may hold a lone surrogate; it arrives as U+FFFD, one unit, so offsets still
// agree with the field's own. Bytes that are not UTF-8 count one unit each and survive an edit.
TEST(TextOps, EditRangeOnDamagedText) {
    const std::u16string field = u"a\xD83D hi \xDC00 hi";
    const std::string text = unicode::fromUTF16(field);
    const auto range = calcEditRange(text, "hi", 100);
    ASSERT_TRUE(range);
    EXPECT_EQ(field.substr(static_cast<std::size_t>(range->location), 2), u"hi");
    EXPECT_EQ(range->location, 8);

    const std::string raw = "\xFF\xED\xA0\x80 hi";  // a stray byte and an encoded surrogate
    const auto r = calcEditRange(raw, "hi", 0);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, (UTF16Range{5, 2}));
    EXPECT_EQ(calcAppliedEdit(raw, *r, "yo"), "\xFF\xED\xA0\x80 yo");
}

TEST(TextOps, AppliedEditReplacesUTF16RangeOrFailsCleanly) {
    const std::string text = "a" + FACE_EMOJI + "bc";  // units: a 0, face 1-2, b 3, c 4
    EXPECT_EQ(calcAppliedEdit(text, {3, 1}, "XY"), "a" + FACE_EMOJI + "XYc");
    EXPECT_EQ(calcAppliedEdit(text, {1, 2}, ":)"), "a:)bc");
    EXPECT_EQ(calcAppliedEdit(text, {5, 0}, "!"), text + "!");
    EXPECT_EQ(calcAppliedEdit(text, {0, 5}, ""), "");
    EXPECT_EQ(calcAppliedEdit("", {0, 0}, "x"), "x");

    const UTF16Range bad[] = {
        {-1, 1}, {0, -1}, {6, 0}, {4, 2}, {2, 1}, {1, 1},  // outside, or half of the emoji
        {INT64_MAX, 1}, {1, INT64_MAX}, {INT64_MIN, 0},
    };
    for (const UTF16Range& r : bad) EXPECT_EQ(calcAppliedEdit(text, r, "Z"), std::nullopt) << r.location << "+" << r.length;

    // Round trip with calcEditRange on decomposed text.
    const std::string field = "r" + E_ACUTE_NFD + "sum" + E_ACUTE_NFD + " draft";
    const auto range = calcEditRange(field, "r" + E_ACUTE_NFC + "sum" + E_ACUTE_NFC, 0);
    ASSERT_TRUE(range);
    EXPECT_EQ(calcAppliedEdit(field, *range, "CV"), "CV draft");
}

TEST(TextOps, DictationSpacing) {
    struct Case { std::string transcript; std::optional<std::string> before; std::string want; };
    const std::vector<Case> cases = {
        {"  hello  ", "word", " hello"},
        {"  hello  ", "word ", "hello"},
        {"hello", "word\n", "hello"},
        {"hello", "word\t", "hello"},
        {"hello", "(", "hello"},
        {"hello", "say \xE2\x80\x9C", "hello"},   // U+201C
        {"hello", "it\xE2\x80\x98", "hello"},     // U+2018
        {"hello", "and/", "hello"},
        {"hello", "x\xC2\xA0", "hello"},          // no-break space is white space
        {"hello", std::nullopt, "hello"},
        {"hello", "", "hello"},
        {", then", "word", ", then"},
        {"?", "word", "?"},
        {"   ", "word", ""},
        {"\n\t", std::nullopt, ""},
        {"hello", "ok " + FACE_EMOJI, " hello"},
        {"hello", "caf" + E_ACUTE_NFD, " hello"},
        {"hello", "(" + std::string("\xCC\x81"), " hello"},   // "(" with a mark is another character
        {".\xCC\x81x", "word", " .\xCC\x81x"},               // so is "." with a mark
    };
    for (const Case& c : cases)
        EXPECT_EQ(calcDictationText(c.transcript, c.before), c.want) << "[" << c.transcript << "] after [" << c.before.value_or("<none>") << "]";
}

TEST(TextOps, TextBeforeCaret) {
    AppContext ctx;
    EXPECT_EQ(calcTextBeforeCaret(ctx), std::nullopt);  // no field
    ctx.fieldText = "hello world";
    EXPECT_EQ(calcTextBeforeCaret(ctx), std::nullopt);  // no selection
    struct Case { std::int64_t base, location; std::string want; };
    const Case cases[] = {
        {0, 6, "hello "}, {0, 0, ""}, {0, 11, "hello world"}, {0, 99, "hello world"},
        {100, 50, ""},    {100, 103, "hel"}, {INT64_MIN, INT64_MAX, "hello world"}, {INT64_MAX, INT64_MIN, ""},
    };
    for (const Case& c : cases) {
        ctx.fieldTextBase = c.base;
        ctx.selection = UTF16Range{c.location, 5};
        EXPECT_EQ(calcTextBeforeCaret(ctx), c.want) << c.base << " " << c.location;
    }
    ctx.fieldText = "a" + FACE_EMOJI + "b";
    ctx.fieldTextBase = 0;
    ctx.selection = UTF16Range{2, 0};  // between the halves of the emoji
    EXPECT_EQ(calcTextBeforeCaret(ctx), "a");
    ctx.selection = UTF16Range{3, 0};
    EXPECT_EQ(calcTextBeforeCaret(ctx), "a" + FACE_EMOJI);
}

TEST(TextOps, RMS) {
    EXPECT_EQ(calcRMS({}), 0.0f);
    const std::vector<float> pair = {3.0f, -4.0f};
    EXPECT_FLOAT_EQ(calcRMS(pair), std::sqrt(12.5f));
    const std::vector<float> constant(16000, 0.25f);
    EXPECT_FLOAT_EQ(calcRMS(constant), 0.25f);
}

TEST(TextOps, HallucinationFilter) {
    struct Case { std::string transcript; bool want; };
    const Case cases[] = {
        {"  Thank you.  ", true},
        {"YOU", true},
        {".", true},
        {"\nThanks for watching!\n", true},
        {"Thank You For Watching.", true},
        {"bye.", true},
        {"Thank you", false},
        {"you.", false},
        {"thank  you.", false},
        {"", false},
        {"   ", false},
        {"THANKS FOR WATCH\xC4\xB0NG!", false},  // capital dotted I lowers to "i" + a mark
        {"\xFF", false},
    };
    for (const Case& c : cases) EXPECT_EQ(isLikelyHallucination(c.transcript), c.want) << c.transcript;
}

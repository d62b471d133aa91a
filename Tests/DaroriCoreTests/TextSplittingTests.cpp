#include "DaroriCore/External/Tokenizers/TextSplitting.hpp"

#include <gtest/gtest.h>

#include "TokenizerTestSupport.hpp"

using namespace darori;
using Pieces = std::vector<std::string>;

namespace {
using tokenizer_test::M;
}

TEST(TextSplitting, RangesDoNotOverlap) {
    EXPECT_EQ(ranges("aaaa", "aa", SearchOptions::none), (std::vector<TextRange>{{0, 2}, {2, 4}}));
    EXPECT_EQ(ranges("aaaa", "a{2}", SearchOptions::regularExpression), (std::vector<TextRange>{{0, 2}, {2, 4}}));
    EXPECT_TRUE(ranges("abc", "", SearchOptions::none).empty());
    // A literal is not a pattern; a pattern that does not compile finds nothing.
    EXPECT_EQ(ranges("a.b", ".", SearchOptions::none), (std::vector<TextRange>{{1, 2}}));
    EXPECT_TRUE(ranges("a(b", "(", SearchOptions::regularExpression).empty());
}

TEST(TextSplitting, EmptyOccurrencesStepOneCharacterAndEnd) {
    // e + combining acute is one character: the step after an empty match does not split it.
    const std::string e = "e\xCC\x81";
    EXPECT_EQ(ranges("a" + e, "x*", SearchOptions::regularExpression),
              (std::vector<TextRange>{{0, 0}, {1, 1}, {4, 4}}));
    EXPECT_EQ(ranges("", "x*", SearchOptions::regularExpression), (std::vector<TextRange>{{0, 0}}));
    // The split helpers built on the same search end too, and keep every character.
    EXPECT_EQ(split("ab" + e, "x*", SearchOptions::regularExpression, true), (Pieces{"a", "b", e}));
    EXPECT_EQ(split("axb", "x*", SearchOptions::regularExpression, true), (Pieces{"a", "x", "b"}));
    EXPECT_EQ(split("ab", "x*", SearchOptions::regularExpression, SplitDelimiterBehavior::mergedWithNext),
              (Pieces{"a", "b"}));
    EXPECT_EQ(split("ab", "x*", SearchOptions::regularExpression, SplitDelimiterBehavior::mergedWithPrevious),
              (Pieces{"a", "b"}));
}

TEST(TextSplitting, SplitWithSeparatorFlag) {
    EXPECT_EQ(split("-a--b-", "-", SearchOptions::none, true), (Pieces{"-", "a", "-", "-", "b", "-"}));
    EXPECT_EQ(split("-a--b-", "-", SearchOptions::none, false), (Pieces{"a", "b"}));
    EXPECT_EQ(split("-a--b-", "-+", SearchOptions::regularExpression, true), (Pieces{"-", "a", "--", "b", "-"}));
    EXPECT_EQ(split("-a--b-", "-", SearchOptions::none, false, false), (Pieces{"", "a", "", "b", ""}));
    EXPECT_TRUE(split("", "-", SearchOptions::none, true).empty());
}

TEST(TextSplitting, SplitByBehavior) {
    struct Case {
        std::string text;
        SplitDelimiterBehavior behavior;
        Pieces expected;
    };
    using B = SplitDelimiterBehavior;
    const Case cases[] = {
        {M + "a" + M + "b", B::mergedWithNext, {M + "a", M + "b"}},
        {"a" + M + M + "b", B::mergedWithNext, {"a", M, M + "b"}},
        {"", B::mergedWithNext, {}},
        {M + "a" + M + "b", B::mergedWithPrevious, {M, "a" + M, "b"}},
        {M + "a" + M + "b", B::removed, {"a", "b"}},
        {M + "a" + M + "b", B::isolated, {M, "a", M, "b"}},
        {"ab", B::isolated, {"ab"}},
        {"a" + M, B::mergedWithNext, {"a", M}},
        {"a" + M, B::mergedWithPrevious, {"a" + M}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(split(c.text, M, SearchOptions::none, c.behavior), c.expected)
            << c.text << " behavior " << static_cast<int>(c.behavior);
        EXPECT_EQ(split(c.text, Regex(M), c.behavior), c.expected) << c.text;
    }
}

TEST(TextSplitting, SplitByCompiledRegexKeepsTheHighestGroup) {
    struct Case {
        const char* pattern;
        std::string text;
        Pieces expected;
    };
    const Case cases[] = {
        {"x", "", {""}},
        {"x", "abc", {"abc"}},
        {"(<s>)|(</s>)", "x<s>y", {"x", "<s>", "y"}},
        {"(<s>)|(</s>)", "</s>y<s>", {"</s>", "y", "<s>"}},
        {"\\s*(<s>)", "x  <s>y", {"x", "<s>", "y"}},
        {"\\d", "a1b2", {"a", "1", "b", "2"}},
        {"y*", "ab", {"", "a", "", "b", ""}},
    };
    for (const Case& c : cases) EXPECT_EQ(split(c.text, Regex(c.pattern)), c.expected) << c.pattern << " on " << c.text;
}

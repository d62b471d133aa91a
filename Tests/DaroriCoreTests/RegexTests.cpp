#include "DaroriCore/External/Tokenizers/Regex.hpp"

#include <gtest/gtest.h>

using namespace darori;

namespace {
std::vector<std::string> wholeMatches(const Regex& regex, std::string_view text) {
    std::vector<std::string> out;
    for (const auto& groups : regex.matches(text)) out.emplace_back(groups[0]->of(text));
    return out;
}
}  // namespace

TEST(Regex, ReadsICUEscapesAndUnicodeClasses) {
    EXPECT_EQ(Regex::pcreSyntax("[\\u0021-\\u002F]"), "[\\x{0021}-\\x{002F}]");
    EXPECT_EQ(Regex::pcreSyntax("\\U0001F600"), "\\x{0001F600}");
    // An escaped backslash followed by "u0041" is a backslash and the text "u0041".
    EXPECT_EQ(Regex::pcreSyntax("\\\\u0041"), "\\\\u0041");
    EXPECT_EQ(Regex::pcreSyntax("\\u12"), "\\u12");

    const Regex punctuation("[\\u0021-\\u002F]+");
    EXPECT_EQ(wholeMatches(punctuation, "a!!b#"), (std::vector<std::string>{"!!", "#"}));
    // Letters, digits and white space are Unicode-aware.
    const Regex letters("\\p{L}+|\\d+|\\s+");
    EXPECT_EQ(wholeMatches(letters, "Ça٣\u3000x"), (std::vector<std::string>{"Ça", "٣", "\u3000", "x"}));
}

TEST(Regex, InvalidPatternThrowsWithThePattern) {
    try {
        Regex bad("(");
        FAIL() << "no error";
    } catch (const RegexError& e) {
        EXPECT_NE(std::string(e.what()).find("'('"), std::string::npos) << e.what();
    }
}

TEST(Regex, InvalidUTF8SubjectIsSearchedSafely) {
    const Regex letters("\\p{L}+");
    EXPECT_EQ(wholeMatches(letters, "ab\xFF\xC3" "cd\xE2\x82"), (std::vector<std::string>{"ab", "cd"}));
}

TEST(Regex, EmptyMatchesAdvanceOneCodePoint) {
    const Regex maybe("x*");
    EXPECT_EQ(wholeMatches(maybe, "aé"), (std::vector<std::string>{"", "", ""}));
    EXPECT_EQ(wholeMatches(maybe, ""), (std::vector<std::string>{""}));
    EXPECT_EQ(wholeMatches(maybe, "xxa"), (std::vector<std::string>{"xx", "", ""}));
}

TEST(Regex, AnEmptyMatchAfterTheSearchStartIsReportedOnce) {
    struct Case {
        const char* pattern;
        const char* text;
        std::vector<TextRange> ranges;
        const char* replaced;  // every match replaced by "!"
    };
    const Case cases[] = {
        {"$", "ab", {{2, 2}}, "ab!"},
        {"$", "ab cd", {{5, 5}}, "ab cd!"},
        {"(?=b)", "ab cd", {{1, 1}}, "a!b cd"},
        {"\\b", "ab cd", {{0, 0}, {2, 2}, {3, 3}, {5, 5}}, "!ab! !cd!"},
        {"(?=\u00E9)", "a\u00E9\u00E9", {{1, 1}, {3, 3}}, "a!\u00E9!\u00E9"},  // steps a whole code point
        {"$", "", {{0, 0}}, "!"},
    };
    for (const Case& c : cases) {
        const Regex regex(c.pattern);
        std::vector<TextRange> found;
        for (const auto& groups : regex.matches(c.text)) found.push_back(*groups[0]);
        EXPECT_EQ(found, c.ranges) << c.pattern << " on '" << c.text << "'";
        EXPECT_EQ(regex.replacingMatches(c.text, "!"), c.replaced) << c.pattern << " on '" << c.text << "'";
    }
}

TEST(Regex, ASearchThatHitsAMatchLimitFailsInsteadOfFindingNothing) {
    // Nested repeats backtrack exponentially before "!" shows there is no "b" here; PCRE2 stops at
    // its match limit long before it knows.
    const Regex nested("(a+)+b");
    const std::string text = "x " + std::string(40, 'a') + "! ab";
    MatchData match(nested);
    EXPECT_THROW(nested.searchBounded(text, 0, match), RegexMatchError);
    try {
        nested.matches(text);
        FAIL() << "the search ended as if nothing matched";
    } catch (const RegexMatchError& e) {
        EXPECT_NE(std::string(e.what()).find("'(a+)+b'"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("limit"), std::string::npos) << e.what();
    }
}

TEST(Regex, BoundedSearchHidesTheTextBefore) {
    const Regex start("^b");
    MatchData match(start);
    EXPECT_FALSE(start.searchBounded("ab", 0, match));
    ASSERT_TRUE(start.searchBounded("ab", 1, match));
    EXPECT_EQ(match.range(), (TextRange{1, 2}));
    const Regex behind("(?<=a)b");
    EXPECT_FALSE(behind.searchBounded("ab", 1, match));
    EXPECT_FALSE(behind.searchBounded("ab", 3, match));
}

TEST(Regex, ReplacesWithTemplates) {
    struct Case {
        const char* pattern;
        const char* text;
        const char* templ;
        const char* expected;
    };
    const Case cases[] = {
        {"\\s(\\.|n't)", "i do n't know .", "$1", "i don't know."},
        {"(a)(b)?", "a ab", "[$2$1]", "[a] [ba]"},          // a group that took no part inserts nothing
        {"(a)", "a", "$12", "a2"},                           // digits beyond the groups stay text
        {"(a)", "a", "$9", ""},                               // a digit naming no group inserts nothing
        {"a", "a", "\\$1 \\\\ $ $x", "$1 \\ $ $x"},          // escapes, a lone $ is literal
        {"\\s+", "a \t b", " ", "a b"},
        {"x*", "ab", "-", "-a-b-"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Regex(c.pattern).replacingMatches(c.text, c.templ), c.expected) << c.pattern << " on " << c.text;
    }
}

TEST(Regex, EscapedPatternMatchesTheLiteral) {
    for (const std::string literal : {"a.b", "(x)", "▁", "$1|*+?[]{}^\\", "a b"}) {
        const Regex exact(Regex::escapedPattern(literal));
        const std::string text = "zz" + literal + "zz" + literal;
        EXPECT_EQ(wholeMatches(exact, text), (std::vector<std::string>{literal, literal})) << literal;
        EXPECT_EQ(exact.replacingMatches(literal, Regex::escapedTemplate("$1\\")), "$1\\");
    }
}

TEST(Regex, DeepBacktrackingOutgrowsNoStack) {
    // Each repetition of a capturing group takes JIT stack; 200,000 of them need the interpreter.
    const std::string text(200000, 'a');
    for (const char* pattern : {"(.)*$", "(a|bc)*$"}) {
        const Regex regex(pattern);
        MatchData match(regex);
        ASSERT_TRUE(regex.searchBounded(text, 0, match)) << pattern;
        EXPECT_EQ(match.range(), (TextRange{0, text.size()}));
        EXPECT_EQ(regex.matches(text).front()[0], (TextRange{0, text.size()}));
    }
}

TEST(Regex, CompilesPatternsThatTokenizerFilesShip) {
    // A case-insensitive group, bounded repeats and line-break classes, as later byte-level files use.
    const Regex split("(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\\r\\n\\p{L}\\p{N}]?\\p{L}+|\\p{N}{1,3}|"
                      " ?[^\\s\\p{L}\\p{N}]+[\\r\\n]*|\\s*[\\r\\n]+|\\s+(?!\\S)|\\s+");
    EXPECT_EQ(wholeMatches(split, "I'M 12345 ok!\n"), (std::vector<std::string>{"I", "'M", " ", "123", "45", " ok", "!\n"}));
}

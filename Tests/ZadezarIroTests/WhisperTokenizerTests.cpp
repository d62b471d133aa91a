#include "ZadezarIro/Core/WhisperTokenizer.hpp"

#include <fstream>

#include <gtest/gtest.h>

#include "TestSupport.hpp"
#include "ZadezarIro/Core/JSONCoding.hpp"
#include "ZadezarIro/Utilities/LanguageRecognizer.hpp"

using namespace zadezariro;

namespace {
const std::filesystem::path ENGLISH_TOKENIZER_FOLDER = TALKWEFT_SOURCE_DIR "/../shared/fixtures/tokenizer-en";

struct Loaded {
    testsupport::TempDir hubBase;
    darori::HubApiWrapper hub{hubBase.path};
};

WhisperTokenizerWrapper english() {
    static Loaded loaded;
    static const auto tokenizer = darori::AutoTokenizerWrapper::fromModelFolder(ENGLISH_TOKENIZER_FOLDER, loaded.hub, true);
    return WhisperTokenizerWrapper(tokenizer, ENGLISH_TOKENIZER_FOLDER);
}

// A small byte-level vocabulary: the letters "a" to "c" and the blank "Ġ", plus `added` tokens at
// the given ids.
WhisperTokenizerWrapper small(const std::vector<std::pair<std::string, int>>& added) {
    static Loaded loaded;
    testsupport::TempDir folder;
    Json vocab = {{"a", 0}, {"b", 1}, {"c", 2}, {"\u0120", 220}};
    Json addedTokens = Json::array();
    for (const auto& [content, id] : added) {
        vocab[content] = id;
        addedTokens.push_back({{"id", id}, {"content", content}, {"special", true}, {"single_word", false}, {"lstrip", false},
                               {"rstrip", false}, {"normalized", false}});
    }
    const Json tokenizer = {
        {"added_tokens", addedTokens},
        {"pre_tokenizer", {{"type", "ByteLevel"}, {"add_prefix_space", false}, {"trim_offsets", true}, {"use_regex", true}}},
        {"decoder", {{"type", "ByteLevel"}, {"add_prefix_space", true}, {"trim_offsets", true}, {"use_regex", true}}},
        {"model", {{"type", "BPE"}, {"vocab", vocab}, {"merges", Json::array()}}},
    };
    std::ofstream(folder.path / "tokenizer.json") << tokenizer.dump();
    std::ofstream(folder.path / "tokenizer_config.json") << R"({"tokenizer_class": "WhisperTokenizer"})";
    return WhisperTokenizerWrapper(darori::AutoTokenizerWrapper::fromModelFolder(folder.path, loaded.hub, true), folder.path);
}

std::vector<int> ids(const WhisperTokenizerWrapper& t, std::initializer_list<const char*> tokens) {
    std::vector<int> out;
    for (const char* token : tokens) out.push_back(*t.convertTokenToId(token));
    return out;
}
}  // namespace

TEST(SpecialTokens, ResolvedOnTheEnglishOnlyVocabulary) {
    const auto t = english();
    const SpecialTokens expected{50256, 50258, 50361, 50362, 50256, 50360, 50257, 50363, 50358, 50357, 220};
    EXPECT_EQ(t.specialTokens(), expected);
    EXPECT_EQ(t.allLanguageTokens().size(), 99u);  // no "<|yue|>" in this vocabulary
    EXPECT_TRUE(t.allLanguageTokens().count(50258));
    EXPECT_EQ(WhisperTokenizerWrapper::detectLayout(t.tokenizer()), VocabularyLayout::englishOnly);
    EXPECT_EQ(t.tokenizerFolder(), ENGLISH_TOKENIZER_FOLDER);
    EXPECT_EQ(t.decode({50363, 18435, 50256}), "<|0.00|> Hello<|endoftext|>");
}

TEST(SpecialTokens, MissingTextsFallBackToTheVocabularysOwnLayout) {
    // Only the language tokens and the last timestamp are known: every other id comes from the layout.
    const auto multilingual = small({{"<|en|>", 50259}, {"<|de|>", 50261}, {"<|30.00|>", 51864}});
    EXPECT_EQ(multilingual.specialTokens(), SpecialTokens{});
    EXPECT_EQ(multilingual.specialTokens().endToken, 50257);
    EXPECT_EQ(multilingual.specialTokens().whitespaceToken, 220);

    const auto v3 = small({{"<|yue|>", 50358}, {"<|30.00|>", 51865}});
    EXPECT_EQ(v3.specialTokens().noSpeechToken, 50363);
    EXPECT_EQ(v3.specialTokens().timeTokenBegin, 50365);
    EXPECT_EQ(v3.specialTokens().translateToken, 50359);
    EXPECT_EQ(v3.specialTokens().startOfTranscriptToken, 50258);
    EXPECT_EQ(v3.allLanguageTokens(), (std::unordered_set<int>{50358}));

    const auto englishOnly = small({{"<|endoftext|>", 50256}});
    EXPECT_EQ(englishOnly.specialTokens(), fallbackSpecialTokens(VocabularyLayout::englishOnly));
    EXPECT_EQ(englishOnly.specialTokens().noSpeechToken, 50361);

    const auto nothingKnown = small({});
    EXPECT_EQ(nothingKnown.specialTokens(), SpecialTokens{});
}

TEST(SpecialTokens, LanguageTokensAtOrBelowTheSpecialRangeAreLeftOut) {
    const auto t = small({{"<|endoftext|>", 50257}, {"<|en|>", 50259}, {"<|zh|>", 50257 - 1}, {"<|xx|>", 50300}});
    EXPECT_EQ(t.allLanguageTokens(), (std::unordered_set<int>{50259}));
}

TEST(WordSplit, EnglishPunctuationAndGluedPieces) {
    const auto t = english();
    EXPECT_EQ(t.splitToWordTokens({}), WordSplit{});
    const auto hello = ids(t, {"\u0120Hello", ",", "\u0120world", "."});
    const auto [words, tokens] = t.splitToWordTokens(hello);
    EXPECT_EQ(words, (std::vector<std::string>{" Hello", ",", " world", "."}));
    EXPECT_EQ(tokens, (std::vector<std::vector<int>>{{hello[0]}, {hello[1]}, {hello[2]}, {hello[3]}}));

    const auto glued = ids(t, {"\u0120Hel", "lo", "\u0120there"});
    EXPECT_EQ(t.splitToWordTokens(glued), (WordSplit{{" Hello", " there"}, {{glued[0], glued[1]}, {glued[2]}}}));
}

TEST(WordSplit, TimestampsStandAloneAndTheNextPieceDecides) {
    const auto t = english();
    const int ts = 50363;
    const auto a = ids(t, {"\u0120Hello", "lo"});
    EXPECT_EQ(t.splitToWordTokens({ts, a[0], a[1], ts + 50}),
              (WordSplit{{"<|0.00|>", " Hellolo", "<|1.00|>"}, {{ts}, {a[0], a[1]}, {ts + 50}}}));
    // A piece without a leading space after a timestamp is glued to the timestamp's word.
    EXPECT_EQ(t.splitToWordTokens({ts, a[1]}).first, (std::vector<std::string>{"<|0.00|>lo"}));
}

TEST(WordSplit, CharactersSplitAcrossTokensAndLanguagesWithoutSpaces) {
    const auto t = english();
    // "你好世界": every character is two byte-level tokens, each alone an incomplete sequence.
    const auto chinese = t.encode("\u4f60\u597d\u4e16\u754c");
    ASSERT_EQ(chinese.size(), 8u);
    const auto [words, tokens] = t.splitToWordTokens(chinese);
    EXPECT_EQ(words, (std::vector<std::string>{"\u4f60", "\u597d", "\u4e16", "\u754c"}));
    EXPECT_EQ(tokens[0], (std::vector<int>{chinese[0], chinese[1]}));

    // Japanese keeps one word per character even after a space.
    const auto japanese = t.encode("\u3053\u3093 \u306b\u3061");
    EXPECT_EQ(t.splitToWordTokens(japanese).first, (std::vector<std::string>{"\u3053", "\u3093", " \u306b", "\u3061"}));
    // The same characters in English text are merged on spaces.
    const auto mixed = t.encode(" the \u4f60\u597d story is long");
    EXPECT_EQ(t.splitToWordTokens(mixed).first, (std::vector<std::string>{" the", " \u4f60\u597d", " story", " is", " long"}));
}

TEST(WordSplit, AnUnfinishedCharacterAtTheEndIsKept) {
    const auto t = english();
    const auto chinese = t.encode("\u4f60\u597d");
    const std::vector<int> cut(chinese.begin(), chinese.end() - 1);
    const auto [words, tokens] = t.splitToWordTokens(cut);
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(words[0], "\u4f60");
    EXPECT_EQ(tokens[1], (std::vector<int>{chinese[2]}));
    EXPECT_EQ(words[1], "\ufffd");
}

TEST(LanguageRecognizer, ScriptsThatNameALanguage) {
    struct Case {
        const char* text;
        std::optional<std::string> code;
    } cases[] = {
        {"\u4f60\u597d", "zh"},  {"\u4eca\u65e5\u306f", "ja"}, {"\ud55c\uad6d\uc5b4", "ko"}, {"\u0e2a\u0e27\u0e31\u0e2a", "th"},
        {"\u0eaa\u0eb0", "lo"},  {"\u1019\u103c", "my"},       {"Hello world", std::nullopt}, {"123 !?", std::nullopt},
        {"the \u4f60 story", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(LanguageRecognizer::dominantLanguage(c.text), c.code) << c.text;
}

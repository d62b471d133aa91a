#include "DaroriCore/External/Tokenizers/PreTrainedTokenizer.hpp"

#include <gtest/gtest.h>

#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"
#include "TokenizerTestSupport.hpp"

using namespace darori;
using tokenizer_test::json;
using tokenizer_test::jsonFile;
using Pieces = std::vector<std::string>;
using Ids = std::vector<int>;

namespace {

// The English speech-model tokenizer, loaded once for the whole suite.
class EnglishTokenizer : public testing::Test {
protected:
    static void SetUpTestSuite() {
        data_ = new Config(jsonFile(tokenizer_test::englishFixture + "/tokenizer.json"));
        tokenizer_ = new PreTrainedTokenizer(jsonFile(tokenizer_test::englishFixture + "/tokenizer_config.json"), *data_, true);
    }
    static void TearDownTestSuite() {
        delete tokenizer_;
        delete data_;
    }
    // The id the vocabulary file itself gives a piece (or an added token).
    static int vocabId(const std::string& piece) {
        if (auto id = (*data_)["model"]["vocab"][piece].integer()) return static_cast<int>(*id);
        for (const auto& entry : *(*data_)["added_tokens"].array())
            if (entry["content"].string() == piece) return static_cast<int>(*entry["id"].integer());
        ADD_FAILURE() << "no id for " << piece;
        return -1;
    }
    static inline Config* data_ = nullptr;
    static inline PreTrainedTokenizer* tokenizer_ = nullptr;
};

}  // namespace

TEST_F(EnglishTokenizer, RoundTrips) {
    const std::string texts[] = {
        "Hello world",
        " The quick brown fox jumps over the lazy dog.",
        "Wait... what?! (Really) -- yes; \"quoted\" [x] {y} <z> @#$%^&*_+=|\\/~`",
        "It cost $1,234.56 on 2024-03-05 at 10:45, about 3.5% of 1000000 units.",
        "I'm sure they've said it's what we'd do, and you'll see she won't.",
        "Two  spaces,   three,\tand a tab\nnew line\n\n\nthree lines   \n  trailing   ",
        "Emoji: \xF0\x9F\x98\x80\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD \xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7",
        "Caf\xC3\xA9 na\xC3\xAFve r\xC3\xA9sum\xC3\xA9 \xC3\x85ngstr\xC3\xB6m Stra\xC3\x9F" "e e\xCC\x81",
        "\xE4\xB8\xAD\xE6\x96\x87\xE6\xB5\x8B\xE8\xAF\x95 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xA7\xE3\x81\x99 \xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4",
        "",
        " ",
        "\n",
    };
    for (const auto& text : texts) {
        const Ids ids = tokenizer_->encode(text, false);
        EXPECT_EQ(tokenizer_->decode(ids), text) << text;
        EXPECT_EQ(tokenizer_->encode(text), ids) << "the byte-level post-processor adds nothing: " << text;
    }
}

TEST_F(EnglishTokenizer, KnownIdsFromTheVocabulary) {
    EXPECT_EQ(tokenizer_->encode("hello world", false), (Ids{vocabId("hello"), vocabId("\xC4\xA0world")}));
    EXPECT_EQ(tokenizer_->encode("The the", false), (Ids{vocabId("The"), vocabId("\xC4\xA0the")}));
    // é is the two bytes C3 A9, spelled "Ã©" in byte-level characters.
    EXPECT_EQ(tokenizer_->encode("\xC3\xA9", false), (Ids{vocabId("\xC3\x83\xC2\xA9")}));
    EXPECT_EQ(tokenizer_->tokenize(" don't"), (Pieces{"\xC4\xA0" "don", "'t"}));
    EXPECT_EQ(tokenizer_->convertTokenToId("<|endoftext|>"), 50256);
    EXPECT_EQ(tokenizer_->eosTokenId(), 50256);
    EXPECT_EQ(tokenizer_->bosToken(), "<|endoftext|>");
    EXPECT_EQ(tokenizer_->unknownTokenId(), 50256);
    EXPECT_EQ(tokenizer_->convertIdToToken(51863), "<|30.00|>");
    EXPECT_EQ(tokenizer_->convertIdToToken(51864), std::nullopt);
}

TEST_F(EnglishTokenizer, AddedTokensInsideText) {
    const int sot = vocabId("<|startoftranscript|>"), en = vocabId("<|en|>"), t0 = vocabId("<|0.00|>");
    const Ids ids = tokenizer_->encode("<|startoftranscript|><|en|> Hello<|0.00|>world", false);
    EXPECT_EQ(ids, (Ids{sot, en, vocabId("\xC4\xA0Hello"), t0, vocabId("world")}));
    EXPECT_EQ(tokenizer_->decode(ids), "<|startoftranscript|><|en|> Hello<|0.00|>world");
    EXPECT_EQ(tokenizer_->decode(ids, true), " Helloworld");
    // "<|en|>" is a prefix of no other token but "<|endoftext|>" starts the same way: the longer wins.
    EXPECT_EQ(tokenizer_->encode("<|endoftext|>", false), (Ids{50256}));
    // Not quite an added token: ordinary text.
    EXPECT_GT(tokenizer_->encode("<|0.00|", false).size(), 1u);
}

TEST_F(EnglishTokenizer, InvalidUTF8AndStrayIds) {
    // Ids that spell half a character decode to U+FFFD, one per maximal invalid part.
    const int c3 = vocabId("\xC3\x83");  // the byte C3 alone
    EXPECT_EQ(tokenizer_->decode({vocabId("a"), c3, vocabId("b")}), "a\xEF\xBF\xBD" "b");
    // Ids without a token are dropped.
    EXPECT_EQ(tokenizer_->decode({-5, vocabId("a"), 999999}), "a");
    // Invalid input bytes never crash and never leak undecodable bytes.
    const std::string invalid = "ok\xFF\xFE mid\xC3 end\xE2\x82";
    const std::string decoded = tokenizer_->decode(tokenizer_->encode(invalid, false));
    EXPECT_EQ(decoded.substr(0, 2), "ok");
    EXPECT_NE(decoded.find("end"), std::string::npos);
    EXPECT_EQ(decoded.find('\xFF'), std::string::npos);
}

namespace {
const Config gpt2Class = json(R"({"tokenizer_class": "GPT2Tokenizer"})");

Config bpeData(const std::string& addedTokens, const std::string& extra = "") {
    return json(R"({"added_tokens": )" + addedTokens + extra + R"(,
        "model": {"vocab": {"a": 0, "b": 1, "c": 2, "d": 3, "x": 4, "<": 5, "ab": 6}, "merges": ["a b"]}})");
}
}  // namespace

TEST(PreTrainedTokenizer, SplitsAtAddedTokens) {
    const PreTrainedTokenizer tokenizer(gpt2Class, bpeData(R"([
        {"id": 10, "content": "ab"}, {"id": 11, "content": "abc"}, {"id": 12, "content": "<mask>", "lstrip": true},
        {"id": 13, "content": "<r>", "rstrip": "true"}, {"content": "<noid>"}, {"id": 14, "content": ""},
        {"id": "15", "content": "<strid>"}, 7])"), true);
    const std::pair<std::string, Pieces> cases[] = {
        {"abcd", {"abc", "d"}},        // longest first
        {"dab", {"d", "ab"}},
        {"x\n <mask>", {"x", "<mask>"}},  // white space before an lstrip token is dropped
        {"x\nab", {"x", "<0x0A>", "ab"}},  // but kept before other tokens
        {"<r> \nx", {"<r>", "x"}},        // and after an rstrip token
        {"ab\nx", {"ab", "<0x0A>", "x"}},
        {"", {}},
    };
    for (const auto& [text, tokens] : cases) EXPECT_EQ(tokenizer.tokenize(text), tokens) << text;
    EXPECT_EQ(tokenizer.encode("abcd"), (Ids{11, 3}));
    // A token without an integer id still splits the text, but its piece goes through the model.
    const Pieces noid = tokenizer.tokenize("d<noid>");
    ASSERT_GT(noid.size(), 2u);
    EXPECT_EQ(noid[0], "d");
    EXPECT_EQ(noid[1], "<");
    EXPECT_EQ(tokenizer.addedTokens().count("<noid>"), 0u);
    EXPECT_EQ(tokenizer.addedTokens().count("<strid>"), 0u);
    // The empty content is no pattern: it would cut the text between every two characters.
    EXPECT_EQ(tokenizer.tokenize("ab"), (Pieces{"ab"}));
}

TEST(PreTrainedTokenizer, WithoutAddedTokensTheTextStaysWhole) {
    for (const char* added : {"[]", "5", "null", R"({"content": "ab"})"}) {
        const PreTrainedTokenizer tokenizer(gpt2Class, bpeData(added), true);
        EXPECT_EQ(tokenizer.tokenize("abab"), (Pieces{"ab", "ab"})) << added;
        EXPECT_TRUE(tokenizer.specialTokens().empty());
    }
}

TEST(PreTrainedTokenizer, DecodeSkipsOnlySpecialTokens) {
    const PreTrainedTokenizer tokenizer(gpt2Class, bpeData(R"([{"id": 20, "content": "<s>", "special": true},
        {"id": 21, "content": "<x>", "special": false}, {"id": 22, "content": "<y>"}])"), true);
    EXPECT_EQ(tokenizer.decode({20, 0, 21, 22, 1}), "<s>a<x><y>b");
    EXPECT_EQ(tokenizer.decode({20, 0, 21, 22, 1}, true), "a<x><y>b");
    EXPECT_EQ(tokenizer.encode("<s>ab<x>"), (Ids{20, 6, 21}));
    EXPECT_EQ(tokenizer.specialTokens().at("<s>"), 20);
}

TEST(PreTrainedTokenizer, TokensWithoutIdsAreLeftOut) {
    // No unknown token: bytes that fall back to "<0xNN>" pieces have no id and are not encoded.
    const PreTrainedTokenizer tokenizer(gpt2Class, bpeData("[]"), true);
    EXPECT_EQ(tokenizer.tokenize("a\xC3\xA9"), (Pieces{"a", "<0xC3>", "<0xA9>"}));
    EXPECT_EQ(tokenizer.encode("a\xC3\xA9"), (Ids{0}));
    EXPECT_EQ(tokenizer.unknownTokenId(), std::nullopt);
}

TEST(PreTrainedTokenizer, FusesRunsOfUnknownTokensPerPiece) {
    const Config data = json(R"({"added_tokens": [{"id": 9, "content": "<m>"}],
        "model": {"vocab": {"[UNK]": 0, "a": 1, "b": 2}}})");
    const PreTrainedTokenizer fusing(json(R"({"tokenizer_class": "BertTokenizer", "fuse_unk": 1})"), data, true);
    EXPECT_EQ(fusing.tokenize("a zz yy b qq"), (Pieces{"a", "[UNK]", "b", "[UNK]"}));
    EXPECT_EQ(fusing.tokenize("zz<m>yy qq"), (Pieces{"[UNK]", "<m>", "[UNK]"}));
    const PreTrainedTokenizer plain(json(R"({"tokenizer_class": "BertTokenizer"})"), data, true);
    EXPECT_EQ(plain.tokenize("a zz yy b qq"), (Pieces{"a", "[UNK]", "[UNK]", "b", "[UNK]"}));
}

TEST(PreTrainedTokenizer, CleanUpOfTokenizationSpaces) {
    const PreTrainedTokenizer on(gpt2Class, bpeData("[]"), true);
    const std::pair<std::string, std::string> cases[] = {
        {"Hello , world !", "Hello, world!"}, {"do n't", "don't"}, {"I 'm sure you 've", "I'm sure you've"},
        {"it 's they 're", "it's they're"},   {"a ' b", "a'b"},     {"why ?  .", "why? ."},
        {"\xC2\xA0.", "\xC2\xA0."},  // only U+0020 counts as the space
    };
    for (const auto& [text, cleaned] : cases) EXPECT_EQ(on.cleanUp(text), cleaned) << text;
    const PreTrainedTokenizer maybe(json(R"({"tokenizer_class": "GPT2Tokenizer", "clean_up_tokenization_spaces": "maybe"})"),
                                    bpeData("[]"), true);
    EXPECT_EQ(maybe.cleanUp("a ."), "a.");
    const PreTrainedTokenizer off(json(R"({"tokenizer_class": "GPT2Tokenizer", "clean_up_tokenization_spaces": false})"),
                                  bpeData("[]"), true);
    EXPECT_EQ(off.cleanUp("a ."), "a .");
}

TEST(PreTrainedTokenizer, ConstructionErrors) {
    try {
        PreTrainedTokenizer tokenizer(json("{}"), bpeData("[]"), true);
        ADD_FAILURE();
    } catch (const TokenizerError& e) {
        EXPECT_EQ(e.kind(), TokenizerError::Kind::missingTokenizerClassInConfig);
    }
    EXPECT_THROW(PreTrainedTokenizer(gpt2Class, json(R"({"model": {"vocab": {}}})"), true), TokenizerError);
    for (const char* stage : {"normalizer", "pre_tokenizer", "post_processor", "decoder"}) {
        const Config data = json(std::string(R"({"model": {"vocab": {}, "merges": []}, ")") + stage + R"(": {"type": "Nope"}})");
        EXPECT_THROW(PreTrainedTokenizer(gpt2Class, data, true), std::exception) << stage;
    }
}

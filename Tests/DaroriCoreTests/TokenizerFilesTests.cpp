// Whole tokenizers built from the small hand-made tokenizer files in TokenizerData/: WordPiece with
// the BERT normalizer and pre-tokenizer, Unigram with Metaspace and Precompiled, and a Llama-class
// byte-pair model with byte fallback.
#include <gtest/gtest.h>

#include "DaroriCore/External/Tokenizers/AutoTokenizer.hpp"
#include "DaroriCore/External/Tokenizers/LlamaPreTrainedTokenizer.hpp"
#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"
#include "TokenizerTestSupport.hpp"

using namespace darori;
using tokenizer_test::json;
using tokenizer_test::jsonFile;
using Pieces = std::vector<std::string>;
using Ids = std::vector<int>;

namespace {

using tokenizer_test::M;

std::unique_ptr<PreTrainedTokenizer> load(const std::string& name, const Config* configOverride = nullptr) {
    const std::string folder = tokenizer_test::testData + "/" + name;
    const Config config = configOverride ? *configOverride : jsonFile(folder + "/tokenizer_config.json");
    return AutoTokenizer::tokenizerClass(config).make(config, jsonFile(folder + "/tokenizer.json"), true);
}

struct Case {
    std::string text;
    Ids ids;                // encode(text) with special tokens
    std::string decoded;    // decode(ids, skipSpecialTokens: true)
};

void expectCases(const PreTrainedTokenizer& tokenizer, const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        const Ids ids = tokenizer.encode(c.text);
        EXPECT_EQ(ids, c.ids) << c.text;
        EXPECT_EQ(tokenizer.decode(ids, true), c.decoded) << c.text;
    }
}

}  // namespace

TEST(TokenizerFiles, WordPieceWithBertStages) {
    // Ids: [PAD] 0 [UNK] 1 [CLS] 2 [SEP] 3 [MASK] 4 hello 5 world 6 ##s 7 un 8 ##aff 9 ##able 10
    // , 11 ! 12 ' 13 t 14 don 15 cafe 16 世 17 界 18 the 19 a 20.
    const auto tokenizer = load("wordpiece");
    expectCases(*tokenizer, {
        {"Hello, WORLD!", {2, 5, 11, 6, 12, 3}, "hello, world!"},          // lower-cased, punctuation split
        {"Unaffable worlds", {2, 8, 9, 10, 6, 7, 3}, "unaffable worlds"},  // word pieces joined back
        {"Caf\xC3\xA9", {2, 16, 3}, "cafe"},                                // accents stripped
        {"\xE4\xB8\x96\xE7\x95\x8C", {2, 17, 18, 3}, "\xE4\xB8\x96 \xE7\x95\x8C"},  // each ideograph a word
        {"don't", {2, 15, 13, 14, 3}, "don't"},
        {"hello\x01\tworld", {2, 5, 6, 3}, "hello world"},                  // control removed, tab a space
        {"the [MASK] xyz", {2, 19, 4, 1, 3}, "the"},                         // added token whole, unknown word
        {"", {2, 3}, ""},
    });
    EXPECT_EQ(tokenizer->encode("Hello", false), (Ids{5}));
    EXPECT_EQ(tokenizer->decode({2, 5, 4, 3}), "[CLS] hello [MASK] [SEP]");
}

TEST(TokenizerFiles, UnigramWithMetaspaceAndPrecompiled) {
    // Ids: <s> 0 <pad> 1 </s> 2 <unk> 3 ▁ 4 ▁hello 5 ▁world 6 ▁h 7 ello 8 a 9 b 10 ab 11 ▁a 12 ~ 13
    // ～ 14 , 15 c 16 ▁c 17 <mask> 18.
    const auto tokenizer = load("unigram");
    expectCases(*tokenizer, {
        {"hello world", {0, 5, 6, 2}, "hello world"},
        {"ab", {0, 4, 11, 2}, "ab"},                      // ▁ + ab (-7) beats ▁a + b (-7.5)
        {"a\x07" "b\tc", {0, 4, 11, 17, 2}, "ab c"},      // bell removed, tab to space
        {"x\xEF\xBD\x9Ey", {0, 4, 3, 14, 3, 2}, "\xEF\xBD\x9E"},  // full-width tilde kept; unknowns dropped
        {"zzz", {0, 4, 3, 2}, ""},                        // a run of unknown characters fused into one
        {"hello  <mask>", {0, 5, 18, 2}, "hello"},  // lstrip: the spaces go with the token
        {"", {0, 4, 2}, ""},  // the empty section still gets its ▁
    });
    EXPECT_EQ(tokenizer->tokenize("hello world"), (Pieces{M + "hello", M + "world"}));
    EXPECT_EQ(tokenizer->decode({0, 5, 6, 2}), "<s> hello world</s>");
}

TEST(TokenizerFiles, LlamaBytePairWithByteFallback) {
    const auto tokenizer = load("llama");
    ASSERT_TRUE(dynamic_cast<LlamaPreTrainedTokenizer*>(tokenizer.get()));
    auto id = [&](const std::string& piece) { return *tokenizer->convertTokenToId(piece); };
    expectCases(*tokenizer, {
        {"hello world", {1, id(M + "hello"), id(M + "world")}, "hello world"},
        // é is not a piece: its two bytes stand in for it and decode back to it.
        {"h\xC3\xA9llo", {1, id(M + "h"), id("<0xC3>"), id("<0xA9>"), id("ll"), id("o")}, "h\xC3\xA9llo"},
        {"a\xE2\x96\x81" "a", {1, id(M + "a"), id(M + "a")}, "a a"},  // a ▁ in the text is a space
        {"!", {1, id(M), id("!")}, "!"},
        {"", {1, id(M)}, ""},
    });
    // Non-legacy: a lone ▁ before a special token is dropped; the text after it gets no ▁.
    EXPECT_EQ(tokenizer->tokenize("<s>hello"), (Pieces{"<s>", "h", "ell", "o"}));
    EXPECT_EQ(tokenizer->tokenize(" "), (Pieces{M, M}));
    EXPECT_EQ(tokenizer->decode({1, id(M + "hello"), 2}), "<s> hello</s>");
}

TEST(TokenizerFiles, LlamaLegacyKeepsTheNormalizer) {
    Config config = json(R"({"tokenizer_class": "LlamaTokenizerFast", "legacy": true, "add_bos_token": true,
                             "add_eos_token": true, "bos_token": "<s>", "eos_token": {"content": "</s>"}})");
    const auto tokenizer = load("llama", &config);
    auto* llama = dynamic_cast<LlamaPreTrainedTokenizer*>(tokenizer.get());
    ASSERT_TRUE(llama);
    EXPECT_TRUE(llama->isLegacy());
    // The file's Prepend and Replace normalizer makes "▁hello▁world" one piece for the model; the
    // template post-processor of the file stays (only a bos), although the configuration asks for eos.
    EXPECT_EQ(tokenizer->tokenize("hello world"), (Pieces{M + "hello", M + "world"}));
    EXPECT_EQ(tokenizer->encode("hello world").front(), 1);
    EXPECT_NE(tokenizer->encode("hello world").back(), 2);
    EXPECT_EQ(tokenizer->tokenize("<s>hello"), (Pieces{"<s>", M + "hello"}));
}

TEST(TokenizerFiles, LlamaPostProcessorUpdate) {
    const Config byteLevel = json(R"({"type": "ByteLevel"})");
    const Config templateConfig = json(R"({"type": "TemplateProcessing", "single": [], "pair": []})");
    struct Case {
        const char* config;
        const Config* processor;
        std::optional<std::string> single;  // the new template's "single" as JSON, absent for none
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {R"({"add_bos_token": true, "bos_token": {"content": "<s>"}})", &byteLevel,
         R"([{"SpecialToken":{"id":"<s>","type_id":0}},{"Sequence":{"id":"A","type_id":0}}])", std::nullopt},
        {R"({"add_bos_token": 1, "add_eos_token": "t", "bos_token": "<s>", "eos_token": "</s>"})", nullptr,
         R"([{"SpecialToken":{"id":"<s>","type_id":0}},{"Sequence":{"id":"A","type_id":0}},{"SpecialToken":{"id":"</s>","type_id":0}}])",
         std::nullopt},
        {R"({})", &byteLevel, R"([{"Sequence":{"id":"A","type_id":0}}])", std::nullopt},
        {R"({"add_bos_token": true})", &templateConfig, std::nullopt, std::nullopt},
        {R"({"add_bos_token": true, "add_eos_token": true})", &byteLevel, std::nullopt,
         "Tokenizer configuration mismatch: add_bos_token is True but bos_token is nil"},
        {R"({"add_eos_token": true, "eos_token": null})", &byteLevel, std::nullopt,
         "Tokenizer configuration mismatch: add_eos_token is True but eos_token is nil"},
    };
    for (const auto& c : cases) {
        try {
            auto updated = maybeUpdatePostProcessor(json(c.config), c.processor);
            EXPECT_FALSE(c.error) << c.config;
            ASSERT_EQ(updated.has_value(), c.single.has_value()) << c.config;
            if (!updated) continue;
            EXPECT_EQ((*updated)["type"].string(), "TemplateProcessing");
            EXPECT_EQ((*updated)["single"], json(*c.single)) << c.config;
            EXPECT_EQ((*updated)["pair"].array()->size(), 2 * json(*c.single).array()->size()) << c.config;
        } catch (const TokenizerError& e) {
            EXPECT_EQ(std::optional<std::string>(e.what()), c.error) << c.config;
        }
    }
    // A construction with a mismatched configuration fails; with a good one the byte-level
    // post-processor of the data gives way to the template.
    Config::Dictionary data = *jsonFile(tokenizer_test::testData + "/llama/tokenizer.json").dictionary();
    data.insert_or_assign(BinaryDistinctString("post_processor"), byteLevel);
    const Config bad = json(R"({"tokenizer_class": "LlamaTokenizer", "add_eos_token": true})");
    EXPECT_THROW(LlamaPreTrainedTokenizer(bad, Config(data), true), TokenizerError);
    const Config good = json(R"({"tokenizer_class": "LlamaTokenizer", "add_eos_token": true, "eos_token": "</s>"})");
    EXPECT_EQ(LlamaPreTrainedTokenizer(good, Config(data), true).encode("a").back(), 2);
}

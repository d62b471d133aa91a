#include "DaroriCore/External/Tokenizers/TokenizerModel.hpp"

#include <gtest/gtest.h>

#include "DaroriCore/External/Tokenizers/BPETokenizer.hpp"
#include "DaroriCore/External/Tokenizers/BertTokenizer.hpp"
#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"
#include "DaroriCore/External/Tokenizers/UnigramTokenizer.hpp"
#include "TokenizerTestSupport.hpp"

using namespace darori;
using tokenizer_test::json;

namespace {
// One data tree every model kind accepts: a vocabulary object for BPE and WordPiece, a list for
// Unigram, chosen by the class under test.
Config dataFor(const std::string& kind) {
    if (kind == "unigram") return json(R"({"model": {"unk_id": 0, "vocab": [["<unk>", 0]]}})");
    return json(R"({"model": {"vocab": {"[UNK]": 0}, "merges": []}})");
}
Config classConfig(const std::string& name) { return json(R"({"tokenizer_class": ")" + name + R"("})"); }
}  // namespace

TEST(TokenizerModel, RegistryPicksTheModel) {
    const std::pair<const char*, const char*> cases[] = {
        {"WhisperTokenizerFast", "bpe"}, {"LlamaTokenizerFast", "bpe"}, {"GPT2Tokenizer", "bpe"},
        {"PreTrainedTokenizer", "bpe"},  {"Qwen2Tokenizer", "bpe"},     {"TokenizersBackend", "bpe"},
        {"BertTokenizer", "bert"},       {"DistilbertTokenizer", "bert"}, {"DistilBertTokenizerFast", "bert"},
        {"XLMRobertaTokenizer", "unigram"}, {"T5TokenizerFast", "t5"},
    };
    for (const auto& [name, kind] : cases) {
        const std::string k = kind;
        auto model = TokenizerModel::from(classConfig(name), dataFor(k == "t5" ? "unigram" : k), {}, true);
        ASSERT_TRUE(model) << name;
        const TokenizingModel* m = model.get();
        const bool right = k == "bpe"    ? dynamic_cast<const BPETokenizer*>(m) != nullptr
                           : k == "bert" ? dynamic_cast<const BertTokenizer*>(m) != nullptr
                           : k == "t5"   ? dynamic_cast<const T5Tokenizer*>(m) != nullptr
                                         : dynamic_cast<const UnigramTokenizer*>(m) && !dynamic_cast<const T5Tokenizer*>(m);
        EXPECT_TRUE(right) << name;
    }
}

TEST(TokenizerModel, UnknownOrMissingClass) {
    try {
        TokenizerModel::from(classConfig("FastTokenizer"), dataFor("bpe"), {}, true);
        ADD_FAILURE();
    } catch (const TokenizerError& e) {
        EXPECT_STREQ(e.what(), "The tokenizer type 'Tokenizer' is not supported.");
    }
    testing::internal::CaptureStdout();
    auto model = TokenizerModel::from(classConfig("FastTokenizer"), dataFor("bpe"), {}, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: Tokenizer model class Tokenizer is not registered, falling back to a standard BPE "
              "implementation.\n");
    EXPECT_TRUE(dynamic_cast<BPETokenizer*>(model.get()));

    for (const char* config : {R"({"tokenizer_class": 5})", "{}"}) {
        try {
            TokenizerModel::from(json(config), dataFor("bpe"), {}, false);
            ADD_FAILURE() << config;
        } catch (const TokenizerError& e) {
            EXPECT_EQ(e.kind(), TokenizerError::Kind::missingTokenizerClassInConfig);
        }
    }
    // A model's own failure passes through.
    EXPECT_THROW(TokenizerModel::from(classConfig("XLMRobertaTokenizer"), dataFor("bpe"), {}, true), TokenizerError);
}

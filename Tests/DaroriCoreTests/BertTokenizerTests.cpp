#include "DaroriCore/External/Tokenizers/BertTokenizer.hpp"

#include <gtest/gtest.h>

#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"
#include "TokenizerTestSupport.hpp"

using namespace darori;
using tokenizer_test::json;
using Pieces = std::vector<std::string>;

TEST(BertTokenizer, BasicSplit) {
    const BasicTokenizer lower(true), cased(false);
    const std::pair<std::string, Pieces> lowerCases[] = {
        {"H\xC3\xA9llo World", {"hello", "world"}},
        {"[CLS] x [SEP]", {"[CLS]", "x", "[SEP]"}},
        {"[cls]", {"[", "cls", "]"}},
        {"don't", {"don", "'", "t"}},
        {"$5+x", {"$", "5", "+", "x"}},
        {"a\nb", {"a\nb"}},                      // a line feed is no split point
        {"a\tb\xC2\xA0" "c  d", {"a", "b", "c", "d"}},  // tab and no-break space are
        {"\xC2\xBFQu\xC3\xA9?", {"\xC2\xBF", "que", "?"}},
        {"ΟΔΟΣ Σ ΑΣ.", {"οδος", "σ", "ας", "."}},  // full lower-casing: a word-final sigma is "ς"
        {"", {}},
    };
    for (const auto& [text, words] : lowerCases) EXPECT_EQ(lower.tokenize(text), words) << text;
    EXPECT_EQ(cased.tokenize("H\xC3\xA9llo, [cls]"), (Pieces{"H\xC3\xA9llo", ",", "[", "cls", "]"}));
}

TEST(BertTokenizer, WordPieces) {
    auto vocab = std::make_shared<WordPieceVocab>();
    int id = 0;
    for (const char* piece : {"[UNK]", "un", "##aff", "##able", "a", "##a", "\xC3\xA9t\xC3\xA9"}) vocab->set(piece, id++);
    const WordpieceTokenizer pieces(vocab);
    const std::pair<std::string, Pieces> cases[] = {
        {"unaffable", {"un", "##aff", "##able"}},
        {"unaffxable", {"[UNK]"}},  // a middle that matches nothing: no partial pieces
        {"", {}},
        {std::string(100, 'a'), [] { Pieces p{"a"}; p.resize(100, "##a"); return p; }()},
        {std::string(101, 'a'), {"[UNK]"}},
        {"e\xCC\x81te\xCC\x81", {"e\xCC\x81te\xCC\x81"}},  // canonically equal to a piece
    };
    for (const auto& [word, expected] : cases) EXPECT_EQ(pieces.tokenize(word), expected) << word;
    EXPECT_EQ(vocab->find("e\xCC\x81t\xC3\xA9"), 6);
}

TEST(BertTokenizer, ModelFromConfiguration) {
    const Config data = json(R"({
        "added_tokens": [{"id": 10, "content": "[MASK]"}, {"id": 11, "content": "x"}, {"content": "y"}],
        "model": {"type": "WordPiece", "vocab": {"[UNK]": 0, "[CLS]": 1, "hello": 2, "##s": 3, "\u4e16": 4,
                                                 "\u754c": 5, "x": 6, "bad": "7"}}})");
    BertTokenizer model(json(R"({"bos_token": "[CLS]", "eos_token": {"content": "[SEP]"}})"), data, {{"x", 20}});
    EXPECT_EQ(model.tokenize("Hellos \xE4\xB8\x96\xE7\x95\x8C!"),
              (Pieces{"hello", "##s", "\xE4\xB8\x96", "\xE7\x95\x8C", "[UNK]"}));
    EXPECT_EQ(model.convertTokenToId("[MASK]"), 10);
    EXPECT_EQ(model.convertTokenToId("x"), 20);  // the argument wins over "added_tokens" and the vocabulary
    EXPECT_EQ(model.convertTokenToId("bad"), 0);  // a non-integer entry is no piece: unknown id
    EXPECT_EQ(model.convertIdToToken(20), "x");
    EXPECT_EQ(model.convertIdToToken(99), std::nullopt);
    EXPECT_EQ(model.bosTokenId(), 1);
    EXPECT_EQ(model.eosToken(), std::nullopt);  // objects are not read here
    EXPECT_EQ(model.unknownTokenId(), 0);
    EXPECT_FALSE(model.fuseUnknownTokens());

    // Without Chinese-character handling the ideographs stay one word; without lower-casing the
    // capital is kept and the word is unknown.
    BertTokenizer plain(json(R"({"handle_chinese_chars": false, "do_lower_case": "false"})"), data, {});
    EXPECT_EQ(plain.tokenize("\xE4\xB8\x96\xE7\x95\x8C Hello"), (Pieces{"[UNK]", "[UNK]"}));

    EXPECT_THROW(BertTokenizer(json("{}"), json(R"({"model": {"vocab": [["a", 0]]}})"), {}), TokenizerError);
}

#include "DaroriCore/External/Tokenizers/UnigramTokenizer.hpp"

#include <gtest/gtest.h>

#include "DaroriCore/External/Tokenizers/TokenLattice.hpp"
#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"
#include "TokenizerTestSupport.hpp"

using namespace darori;
using tokenizer_test::json;
using Pieces = std::vector<std::string>;

namespace {
Config unigramData(const std::string& vocab, const std::string& unkId = "0") {
    return json(R"({"model": {"type": "Unigram", "unk_id": )" + unkId + R"(, "vocab": )" + vocab + "}}");
}
const Config emptyConfig = json("{}");
}  // namespace

TEST(UnigramTokenizer, BestPathAndUnknownCharacters) {
    const std::string vocab = R"([["<unk>", 0], [" ", -1], ["a", -2], ["b", -2], ["ab", -3], ["abc", -10],
                                  ["c", -4], ["bc", -3.5], ["</s>", -1], ["xy", -1]])";
    UnigramTokenizer model(json(R"({"eos_token": "</s>"})"), unigramData(vocab), {});
    EXPECT_EQ(model.minScore(), -10.0f);
    EXPECT_EQ(model.unknownTokenScore(), -20.0f);
    const std::pair<std::string, Pieces> cases[] = {
        {"ab", {"ab"}},           // -3 beats a + b = -4
        {"abc", {"a", "bc"}},     // -5.5 beats ab + c = -7 and abc = -10
        {"", {}},
        {"zab", {"z", "ab"}},     // z starts no piece: the unknown node covers it
        {"xy", {"xy"}},           // xy is a piece though x alone is not
        {"xya", {"xy", "a"}},
        {"x", {"x"}},             // a character with only longer pieces gets the unknown node
    };
    for (const auto& [text, pieces] : cases) EXPECT_EQ(model.tokenize(text), pieces) << text;
    EXPECT_EQ(model.convertTokenToId("bc"), 7);
    EXPECT_EQ(model.convertTokenToId("zz"), 0);
    EXPECT_EQ(model.unknownToken(), "<unk>");
    EXPECT_EQ(model.bosToken(), " ");
    EXPECT_EQ(model.bosTokenId(), 1);
    EXPECT_EQ(model.eosTokenId(), 8);
    EXPECT_TRUE(model.fuseUnknownTokens());
    // Ids outside the vocabulary have no token.
    EXPECT_EQ(model.convertIdToToken(9), "xy");
    EXPECT_EQ(model.convertIdToToken(10), std::nullopt);
    EXPECT_EQ(model.convertIdToToken(-1), std::nullopt);

    T5Tokenizer t5(json(R"({"eos_token": "</s>"})"), unigramData(vocab), {});
    for (const auto& [text, pieces] : cases) EXPECT_EQ(t5.tokenize(text), model.tokenize(text));
}

TEST(UnigramTokenizer, ScoresAndTies) {
    // All scores above 999: minScore stays 999, the unknown scores 989; integer scores are floats.
    UnigramTokenizer high(emptyConfig, unigramData(R"([["<unk>", 1000], ["a", 2000]])"), {});
    EXPECT_EQ(high.minScore(), 999.0f);
    EXPECT_EQ(high.unknownTokenScore(), 989.0f);
    EXPECT_EQ(high.vocab()[1].score, 2000.0f);
    EXPECT_EQ(high.bosTokenId(), std::nullopt);
    // Equal totals: "ab"+"c" and "a"+"bc" both score -2; of the two nodes ending at the end, "bc"
    // was added first (it starts earlier), so it wins.
    UnigramTokenizer ties(emptyConfig, unigramData(R"([["<unk>", 0], ["a", -1], ["b", -5], ["c", -1], ["ab", -1], ["bc", -1]])"), {});
    EXPECT_EQ(ties.tokenize("abc"), (Pieces{"a", "bc"}));
}

TEST(UnigramTokenizer, LatticeOnItsOwn) {
    TokenLattice lattice("ab", 0, 0);
    EXPECT_TRUE(lattice.viterbi().empty());  // offsets without nodes: no path
    lattice.addNode(0, 1, -1, 1);
    lattice.addNode(1, 1, -1, 2);
    lattice.addNode(0, 2, -2, 3);  // ties with a + b: the node ending at 2 added first (b) wins
    auto path = lattice.viterbi();
    ASSERT_EQ(path.size(), 2u);
    EXPECT_EQ(path[0].tokenId, 1);
    EXPECT_EQ(path[1].backtraceScore, -2.0f);
    EXPECT_EQ(lattice.tokens(), (Pieces{"a", "b"}));
    EXPECT_EQ(path[0].description(),
              "TokenLatticeNode(tokenId: 1, startOffset: 0, length: 1, score: -1, prev: true, backtraceScore: -1)");
    // Offsets count grapheme clusters.
    TokenLattice accents("e\xCC\x81x", 0, 0);
    EXPECT_EQ(accents.characterCount(), 2u);
    EXPECT_EQ(accents.piece(0, 1), "e\xCC\x81");
}

TEST(UnigramTokenizer, ConstructionErrors) {
    using Kind = TokenizerError::Kind;
    const std::pair<Config, Kind> cases[] = {
        {json(R"({"model": {"unk_id": 0, "vocab": {"a": 1}}})"), Kind::missingVocab},
        {json(R"({})"), Kind::missingVocab},
        {unigramData(R"([["a", 0], "b"])"), Kind::malformedVocab},
        {unigramData(R"([["a", 0], []])"), Kind::malformedVocab},
        {unigramData(R"([["a", 0], [1, 0]])"), Kind::malformedVocab},
        {unigramData(R"([["a", 0], ["b", "x"]])"), Kind::malformedVocab},
        {unigramData(R"([["a", 0]])", "null"), Kind::malformedVocab},
        {unigramData(R"([["a", 0]])", "0.5"), Kind::malformedVocab},
        {unigramData(R"([["a", 0]])", "1"), Kind::malformedVocab},   // unk_id past the vocabulary
        {unigramData(R"([["a", 0]])", "-1"), Kind::malformedVocab},
        {unigramData(R"([])"), Kind::malformedVocab},
        {unigramData(R"([["a", 0], ["a", -1]])"), Kind::malformedVocab},  // a repeated piece
    };
    for (const auto& [config, kind] : cases) {
        try {
            UnigramTokenizer model(emptyConfig, config, {});
            ADD_FAILURE() << config.description();
        } catch (const TokenizerError& e) {
            EXPECT_EQ(e.kind(), kind) << config.description();
        }
    }
    // A three-element entry takes its last element as the score.
    UnigramTokenizer model(emptyConfig, unigramData(R"([["a", "x", -3]])"), {});
    EXPECT_EQ(model.vocab()[0].score, -3.0f);
}

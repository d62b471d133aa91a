#include "DaroriCore/External/Tokenizers/BPETokenizer.hpp"

#include <map>
#include <random>

#include <gtest/gtest.h>

#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"
#include "TokenizerTestSupport.hpp"

using namespace darori;
using tokenizer_test::json;
using Pieces = std::vector<std::string>;

namespace {

Config data(const std::string& vocab, const std::string& merges) {
    return json(R"({"model": {"type": "BPE", "vocab": )" + vocab + R"(, "merges": )" + merges + "}}");
}

const Config noConfig = json("{}");

// The merge loop as plainly as it can be written: every round recomputes the pair set, takes the
// lowest-ranked pair and rebuilds the word left to right.
std::string referenceBPE(const std::string& token, const std::map<std::pair<std::string, std::string>, int>& ranks) {
    if (token.size() <= 1) return token;
    std::vector<std::string> word;
    for (char c : token) word.emplace_back(1, c);
    while (word.size() > 1) {
        std::optional<std::pair<std::string, std::string>> best;
        int bestRank = 0;
        for (std::size_t i = 0; i + 1 < word.size(); ++i) {
            auto it = ranks.find({word[i], word[i + 1]});
            if (it != ranks.end() && (!best || it->second < bestRank)) {
                best = it->first;
                bestRank = it->second;
            }
        }
        if (!best) break;
        std::vector<std::string> rebuilt;
        for (std::size_t i = 0; i < word.size();) {
            if (i + 1 < word.size() && word[i] == best->first && word[i + 1] == best->second) {
                rebuilt.push_back(word[i] + word[i + 1]);
                i += 2;
            } else {
                rebuilt.push_back(word[i++]);
            }
        }
        word = rebuilt;
    }
    std::string joined;
    for (const auto& s : word) joined += (joined.empty() ? "" : " ") + s;
    return joined;
}

}  // namespace

TEST(BPETokenizer, MergeEntriesAndRanks) {
    // Text and list entries rank alike; a third symbol is ignored; a non-text non-list entry takes
    // no position; two spaces keep an empty middle symbol.
    const Config merges = json(R"(["a b", ["c", "d"], 5, "e f g", "h  i"])");
    auto list = BPETokenizer::mergesFromConfig(&merges);
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, (std::vector<Pieces>{{"a", "b"}, {"c", "d"}, {"e", "f", "g"}, {"h", "", "i"}}));
    EXPECT_EQ(BPETokenizer::mergesFromConfig(nullptr), std::nullopt);
    const Config notList = json(R"("a b")");
    EXPECT_EQ(BPETokenizer::mergesFromConfig(&notList), std::nullopt);

    BPETokenizer model(noConfig, data("{}", R"(["a b", ["c", "d"], 5, "e f g", "a b"])"), {});
    EXPECT_EQ(model.rank("c", "d"), 1);
    EXPECT_EQ(model.rank("e", "f"), 2);
    EXPECT_EQ(model.rank("a", "b"), 3);  // the later position of a repeated pair wins
    EXPECT_EQ(model.rank("f", "g"), std::nullopt);
}

TEST(BPETokenizer, MergesMatchThePlainAlgorithm) {
    // Random merge lists over a small alphabet, random words: the incremental merge loop must agree
    // with the plain one on every word, including repeated letters ("aaa" merges to "aa a").
    std::mt19937 rng(7);
    for (int trial = 0; trial < 40; ++trial) {
        std::map<std::pair<std::string, std::string>, int> ranks;
        std::vector<std::string> symbols{"a", "b", "c"};
        std::string mergesJSON = "[";
        for (int rank = 0; rank < 12; ++rank) {
            const auto& l = symbols[rng() % symbols.size()];
            const auto& r = symbols[rng() % symbols.size()];
            if (ranks.count({l, r})) continue;
            const int position = static_cast<int>(ranks.size());
            ranks[{l, r}] = position;
            mergesJSON += std::string(position ? "," : "") + "\"" + l + " " + r + "\"";
            symbols.push_back(l + r);
        }
        mergesJSON += "]";
        BPETokenizer model(noConfig, data("{}", mergesJSON), {});
        for (int w = 0; w < 50; ++w) {
            std::string word;
            for (std::size_t n = rng() % 12; n > 0; --n) word += "abc"[rng() % 3];
            ASSERT_EQ(model.bpe(word), referenceBPE(word, ranks)) << word << " with " << mergesJSON;
        }
    }
}

TEST(BPETokenizer, PiecesIdsAndByteFallback) {
    const std::string vocab = R"({"h": 0, "e": 1, "he": 2, "hel": 3, "<unk>": 4, "x": 5, "a": 6, "f": 1.5, "lst": [1]})";
    const Config config = json(R"({"unk_token": {"content": "x"}, "eos_token": "he", "bos_token": "nope"})");
    BPETokenizer model(config, data(vocab, R"(["h e", "he l"])"), {{"a", 40}, {"new", 41}});

    const std::pair<std::string, Pieces> cases[] = {
        {"hel", {"hel"}},
        {"he", {"he"}},
        {"e", {"e"}},
        {"\xC3\xA9", {"<0xC3>", "<0xA9>"}},  // é is not in the vocabulary
        {"x", {"<0x78>"}},  // a piece with the unknown id
        {"h e", {"h", "e"}},  // a plain space never survives as a piece
        {" ", {}},
        {"", {}},
    };
    for (const auto& [word, pieces] : cases) EXPECT_EQ(model.tokenize(word), pieces) << word;
    EXPECT_EQ(model.bpe("z"), "z");  // one character comes back whether or not it is in the vocabulary
    EXPECT_EQ(model.bpe("hel"), "hel");
    EXPECT_EQ(model.bpe("hee"), "he e");
    EXPECT_EQ(model.hexaEncode("\n"), Pieces{"<0x0A>"});

    // Added tokens override vocabulary ids; non-integer values are no pieces.
    EXPECT_EQ(model.convertTokenToId("a"), 40);
    EXPECT_EQ(model.convertIdToToken(40), "a");
    EXPECT_EQ(model.convertIdToToken(6), std::nullopt);
    EXPECT_EQ(model.convertTokenToId("new"), 41);
    EXPECT_EQ(model.convertTokenToId("f"), 5);  // unknown -> the unknown id
    EXPECT_EQ(model.convertIdToToken(-1), std::nullopt);
    EXPECT_EQ(model.vocabCount(), 8u);
    EXPECT_EQ(model.unknownToken(), "x");
    EXPECT_EQ(model.unknownTokenId(), 5);
    EXPECT_EQ(model.eosTokenId(), 2);
    EXPECT_EQ(model.bosToken(), "nope");
    EXPECT_EQ(model.bosTokenId(), std::nullopt);
    EXPECT_FALSE(model.fuseUnknownTokens());
}

TEST(BPETokenizer, FuseFlagIsReadLeniently) {
    const std::pair<const char*, bool> cases[] = {
        {R"({"fuse_unk": true})", true}, {R"({"fuse_unk": 1})", true},   {R"({"fuse_unk": "t"})", true},
        {R"({"fuse_unk": 2})", false},   {R"({"fuse_unk": "yes"})", false}, {R"({})", false},
    };
    for (const auto& [config, expected] : cases)
        EXPECT_EQ(BPETokenizer(json(config), data("{}", "[]"), {}).fuseUnknownTokens(), expected) << config;
}

TEST(BPETokenizer, ConstructionErrors) {
    auto kindOf = [](const Config& tokenizerData) {
        try {
            BPETokenizer model(noConfig, tokenizerData, {});
        } catch (const TokenizerError& e) {
            return std::optional(e.kind());
        }
        return std::optional<TokenizerError::Kind>();
    };
    EXPECT_EQ(kindOf(json(R"({"model": {"vocab": {"a": 0}}})")), TokenizerError::Kind::mismatchedConfig);
    EXPECT_EQ(kindOf(json(R"({"model": {"vocab": {"a": 0}, "merges": {"a": "b"}}})")),
              TokenizerError::Kind::mismatchedConfig);
    EXPECT_EQ(kindOf(json(R"({"model": {"vocab": ["a"], "merges": []}})")), TokenizerError::Kind::missingVocab);
    EXPECT_EQ(kindOf(json(R"({})")), TokenizerError::Kind::mismatchedConfig);
    try {
        BPETokenizer model(noConfig, json(R"({"model": {"vocab": {}}})"), {});
    } catch (const TokenizerError& e) {
        EXPECT_STREQ(e.what(), "Tokenizer configuration mismatch: BPETokenizer requires merges");
    }
}

TEST(BPETokenizer, CharactersAreGraphemeClusters) {
    // A decomposed é is one character: it is never cut between the letter and its accent.
    const std::string e = "e\xCC\x81";
    BPETokenizer model(noConfig, data(R"({"x": 0})", "[]"), {});
    EXPECT_EQ(model.bpe("x" + e), "x " + e);
    EXPECT_EQ(tokenizerCharacterBoundaries("a" + e + "b"), (std::vector<std::size_t>{0, 1, 4, 5}));
    EXPECT_EQ(tokenizerCharacterBoundaries("\r\n"), (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(tokenizerCharacterBoundaries("\xC4\xA0h"), (std::vector<std::size_t>{0, 2, 3}));
}

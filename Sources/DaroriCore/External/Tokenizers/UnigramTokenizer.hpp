// The sentence-piece Unigram tokenizing model: a word is cut into the vocabulary pieces whose
// scores add up to the highest total, found as the best path of a token lattice. T5Tokenizer is
// the same model under its own class name.
//
// Immutable after construction; const use from many threads is safe.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Tokenizers/BPETokenizer.hpp"
#include "DaroriCore/External/Tokenizers/Tokenizer.hpp"
#include "DaroriCore/External/Tokenizers/Trie.hpp"

namespace darori {

class UnigramTokenizer : public TokenizingModel {
public:
    struct SentencePieceToken {
        std::string token;
        float score = 0;
    };

    // Reads "model"."vocab" (a list of [piece, score]) and "model"."unk_id" of the tokenizer data
    // and "eos_token" (a plain text) of the configuration; the added tokens are not used.
    // Throws TokenizerError::missingVocab when the vocabulary is not a list, and
    // TokenizerError::malformedVocab for an element that is not [text, ..., number], a repeated
    // piece, or an "unk_id" that is missing, not an integer or not the index of a piece.
    UnigramTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenIds& addedTokens);

    float unknownTokenScore() const { return unknownPiece_.score; }
    std::optional<std::string> unknownToken() const override { return unknownPiece_.token; }
    std::optional<int> unknownTokenId() const override { return unknownTokenId_; }

    // The piece's id, else the unknown id.
    std::optional<int> convertTokenToId(const std::string& token) const override;
    // The piece at the id; absent for an id outside the vocabulary.
    std::optional<std::string> convertIdToToken(int id) const override;
    // The best cut of one word into piece texts; empty for an empty text. Never fails.
    std::vector<std::string> tokenize(const std::string& text) const override;

    std::optional<std::string> bosToken() const override { return bosToken_; }
    std::optional<int> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int> eosTokenId() const override { return eosTokenId_; }
    bool fuseUnknownTokens() const override { return true; }

    const std::vector<SentencePieceToken>& vocab() const { return vocab_; }
    float minScore() const { return minScore_; }

private:
    std::vector<SentencePieceToken> vocab_;
    SentencePieceToken unknownPiece_;
    std::optional<int> unknownTokenId_;
    float minScore_ = 999.0f;
    TokenIdMap tokensToIds_;
    std::optional<std::string> bosToken_ = " ";
    std::optional<int> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int> eosTokenId_;
    Trie<std::string> trie_;
};

class T5Tokenizer : public UnigramTokenizer {
public:
    using UnigramTokenizer::UnigramTokenizer;
};

}  // namespace darori

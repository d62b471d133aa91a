// The WordPiece tokenizing model of BERT-style vocabularies: BasicTokenizer splits at white space
// and punctuation (optionally folding accents and lower-casing, and isolating CJK ideographs),
// then WordpieceTokenizer cuts each word greedily into the longest vocabulary pieces, marking
// pieces inside a word with "##".
//
// Immutable after construction; const use from many threads is safe.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Tokenizers/BPETokenizer.hpp"
#include "DaroriCore/External/Tokenizers/Tokenizer.hpp"

namespace darori {

// Piece -> id where keys compare as text: canonically equivalent spellings are one key.
class WordPieceVocab {
public:
    // Adds or replaces the entry of the text (and of every spelling equivalent to it).
    void set(const std::string& token, int id);
    std::optional<int> find(std::string_view token) const;
    // id -> the spelling last stored for it.
    std::unordered_map<int, std::string> inverted() const;
    bool contains(std::string_view token) const { return find(token).has_value(); }

private:
    TokenIdMap ids_;                          // canonical (NFC) spelling -> id
    std::unordered_map<std::string, std::string> spelling_;  // canonical -> spelling as given
};

class BasicTokenizer {
public:
    explicit BasicTokenizer(bool doLowerCase) : doLowerCase(doLowerCase) {}
    // Words of the text: split at space separators and tabs (not line breaks), then at every
    // punctuation character; the never-split texts stay whole.
    std::vector<std::string> tokenize(const std::string& text) const;

    const bool doLowerCase;
    const std::vector<std::string> neverSplit{"[UNK]", "[SEP]", "[PAD]", "[CLS]", "[MASK]"};
};

class WordpieceTokenizer {
public:
    explicit WordpieceTokenizer(std::shared_ptr<const WordPieceVocab> vocab) : vocab_(std::move(vocab)) {}
    // The pieces of one word, greedy longest first; [unkToken] for a word over 100 characters or
    // one that cannot be cut completely; nothing for an empty word.
    std::vector<std::string> tokenize(const std::string& word) const;

    const std::string unkToken = "[UNK]";
    const std::size_t maxInputCharsPerWord = 100;

private:
    std::shared_ptr<const WordPieceVocab> vocab_;
};

class BertTokenizer : public TokenizingModel {
public:
    // Reads "model"."vocab" (an object) and "added_tokens" of the tokenizer data, and
    // "handle_chinese_chars", "bos_token", "eos_token" (plain texts), "fuse_unk", "do_lower_case"
    // of the configuration; the added-token table wins over both. Throws
    // TokenizerError::missingVocab when the vocabulary is not an object.
    BertTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenIds& addedTokens);
    // Member-wise construction; `merges` is not used.
    BertTokenizer(std::shared_ptr<WordPieceVocab> vocab, const Config* merges, bool tokenizeChineseChars,
                  std::optional<std::string> bosToken, std::optional<std::string> eosToken, bool fuseUnknownTokens,
                  bool doLowerCase);

    std::vector<std::string> tokenize(const std::string& text) const override;
    std::optional<int> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;

    std::optional<std::string> bosToken() const override { return bosToken_; }
    std::optional<int> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int> eosTokenId() const override { return eosTokenId_; }
    std::optional<std::string> unknownToken() const override { return wordpieceTokenizer_.unkToken; }
    std::optional<int> unknownTokenId() const override { return vocab_->find(wordpieceTokenizer_.unkToken); }
    bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

    const std::size_t maxLen = 512;

private:
    std::shared_ptr<const WordPieceVocab> vocab_;
    std::unordered_map<int, std::string> idsToTokens_;
    BasicTokenizer basicTokenizer_;
    WordpieceTokenizer wordpieceTokenizer_;
    bool tokenizeChineseChars_;
    std::optional<std::string> bosToken_;
    std::optional<int> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int> eosTokenId_;
    bool fuseUnknownTokens_;
};

}  // namespace darori

// The byte-pair-encoding tokenizing model: a word is cut into characters, adjacent symbols are
// merged by the ranked merge list (lowest rank first, all occurrences of a pair left to right per
// round), and the resulting pieces become ids. Pieces without an id fall back to byte tokens
// "<0xNN>", one per UTF-8 byte.
//
// Immutable after construction; const use from many threads is safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Tokenizers/Tokenizer.hpp"

namespace darori {

// The key of the merge ranking: left and right symbol.
struct BytePair {
    std::string a;
    std::string b;
    friend bool operator==(const BytePair&, const BytePair&) = default;
};

namespace detail {
struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
struct BytePairHash {
    using is_transparent = void;
    std::size_t operator()(std::pair<std::string_view, std::string_view> p) const noexcept {
        std::size_t h = std::hash<std::string_view>{}(p.first);
        return h ^ (std::hash<std::string_view>{}(p.second) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    }
    std::size_t operator()(const BytePair& p) const noexcept {
        return (*this)(std::pair<std::string_view, std::string_view>(p.a, p.b));
    }
};
struct BytePairEqual {
    using is_transparent = void;
    static std::pair<std::string_view, std::string_view> view(const BytePair& p) { return {p.a, p.b}; }
    static std::pair<std::string_view, std::string_view> view(std::pair<std::string_view, std::string_view> p) { return p; }
    template <class A, class B>
    bool operator()(const A& x, const B& y) const noexcept { return view(x) == view(y); }
};
}  // namespace detail

// Piece -> id with lookups by string_view.
using TokenIdMap = std::unordered_map<std::string, int, detail::StringHash, std::equal_to<>>;

class BPETokenizer : public TokenizingModel {
public:
    // Reads "model"."merges" and "model"."vocab" of the tokenizer data and the bos, eos, unknown
    // tokens and "fuse_unk" of the tokenizer configuration; added tokens override vocabulary ids.
    // Throws TokenizerError::mismatchedConfig("BPETokenizer requires merges") when the merge list is
    // missing or not a list, TokenizerError::missingVocab when the vocabulary is not an object.
    BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenIds& addedTokens);

    std::size_t vocabCount() const { return tokensToIds_.size(); }

    // The piece's id; the unknown id (maybe absent) when the piece has none.
    std::optional<int> convertTokenToId(const std::string& token) const override;
    // The id's piece, absent when the id has none.
    std::optional<std::string> convertIdToToken(int id) const override;

    // One "<0xNN>" token per UTF-8 byte of the text.
    std::vector<std::string> hexaEncode(const std::string& text) const;
    // The merged symbols of one word joined by single spaces; a word of at most one character
    // comes back unchanged.
    std::string bpe(const std::string& token) const;
    // The pieces of one pre-tokenized word; never fails.
    std::vector<std::string> tokenize(const std::string& text) const override;

    std::optional<std::string> bosToken() const override { return bosToken_; }
    std::optional<int> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int> eosTokenId() const override { return eosTokenId_; }
    std::optional<std::string> unknownToken() const override { return unknownToken_; }
    std::optional<int> unknownTokenId() const override { return unknownTokenId_; }
    bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

    // The merge list: absent for an absent or non-list value; a text entry split at every U+0020
    // (empty pieces kept), a list entry's text elements, other entries skipped.
    static std::optional<std::vector<std::vector<std::string>>> mergesFromConfig(const Config* config);

    // Rank of the pair, absent when it is not a merge.
    std::optional<int> rank(std::string_view a, std::string_view b) const;

private:
    // The merged symbols of one word, as they stand before being joined.
    std::vector<std::string_view> mergeSymbols(std::string_view word) const;

    std::unordered_map<BytePair, int, detail::BytePairHash, detail::BytePairEqual> bpeRanks_;
    TokenIdMap tokensToIds_;
    std::unordered_map<int, std::string> idsToTokens_;
    std::optional<std::string> bosToken_;
    std::optional<int> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int> eosTokenId_;
    std::optional<std::string> unknownToken_;
    std::optional<int> unknownTokenId_;
    bool fuseUnknownTokens_ = false;
};

// Byte offsets at which the characters (extended grapheme clusters) of `text` start, followed by
// text.size(). Fast for text whose code points never join into one character.
std::vector<std::size_t> tokenizerCharacterBoundaries(std::string_view text);

}  // namespace darori

// The contracts of the tokenizer family: the Tokenizer the engine sees, the TokenizingModel that
// the byte-pair, Unigram and WordPiece models implement, and two readers of token entries in a
// tokenizer configuration.
//
// Text is UTF-8 throughout; token strings compare byte for byte (the same as comparing their UTF-16
// units). Every implementation is immutable after construction, so const use from many threads is
// safe.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "DaroriCore/External/Hub/Config.hpp"

namespace darori {

// Added-token contents -> ids, as the pre-trained tokenizer collects them from "added_tokens".
using AddedTokenIds = std::unordered_map<std::string, int>;

// Text to token ids and back. decode(tokens) and the list conversions are supplied here.
class Tokenizer {
public:
    virtual ~Tokenizer() = default;

    virtual std::vector<std::string> tokenize(const std::string& text) const = 0;
    // Ids of the text; with addSpecialTokens the post-processor's special tokens are added.
    virtual std::vector<int> encode(const std::string& text, bool addSpecialTokens) const = 0;
    std::vector<int> encode(const std::string& text) const { return encode(text, true); }
    // Same as encode(text, addSpecialTokens).
    virtual std::vector<int> operator()(const std::string& text, bool addSpecialTokens) const {
        return encode(text, addSpecialTokens);
    }
    // Text of the ids; ids without a token are dropped. Never fails.
    virtual std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const = 0;
    std::string decode(const std::vector<int>& tokens) const { return decode(tokens, false); }

    virtual std::optional<int> convertTokenToId(const std::string& token) const = 0;
    virtual std::optional<std::string> convertIdToToken(int id) const = 0;
    // One entry per input element, absent where the single conversion gives nothing.
    std::vector<std::optional<int>> convertTokensToIds(const std::vector<std::string>& tokens) const;
    std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int>& ids) const;

    virtual std::optional<std::string> bosToken() const = 0;
    virtual std::optional<int> bosTokenId() const = 0;
    virtual std::optional<std::string> eosToken() const = 0;
    virtual std::optional<int> eosTokenId() const = 0;
    virtual std::optional<std::string> unknownToken() const = 0;
    virtual std::optional<int> unknownTokenId() const = 0;
};

// A tokenizing model: one pre-token in, vocabulary pieces out; pieces to ids and back.
// Models are built from (tokenizerConfig, tokenizerData, addedTokens) by a constructor of that
// shape, which throws TokenizerError when the data cannot make a model.
class TokenizingModel {
public:
    virtual ~TokenizingModel() = default;

    virtual std::vector<std::string> tokenize(const std::string& text) const = 0;
    std::vector<std::string> operator()(const std::string& text) const { return tokenize(text); }

    virtual std::optional<int> convertTokenToId(const std::string& token) const = 0;
    virtual std::optional<std::string> convertIdToToken(int id) const = 0;
    std::vector<std::optional<int>> convertTokensToIds(const std::vector<std::string>& tokens) const;
    std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int>& ids) const;

    virtual std::optional<std::string> bosToken() const = 0;
    virtual std::optional<int> bosTokenId() const = 0;
    virtual std::optional<std::string> eosToken() const = 0;
    virtual std::optional<int> eosTokenId() const = 0;
    virtual std::optional<std::string> unknownToken() const = 0;
    virtual std::optional<int> unknownTokenId() const = 0;
    virtual bool fuseUnknownTokens() const = 0;
};

// A model built from the two configuration trees and the added-token table.
using PreTrainedTokenizerModel = TokenizingModel;

// The text of a token entry: the value itself when it is a string, else its string "content"
// member, else nothing ("bos_token": "<s>" and "bos_token": {"content": "<s>"} both give "<s>").
std::optional<std::string> addedTokenAsString(const Config* config);
inline std::optional<std::string> addedTokenAsString(const Config& config) { return addedTokenAsString(&config); }

// An id from a configuration integer, absent when it does not fit an int.
std::optional<int> configId(const Config& config);

}  // namespace darori

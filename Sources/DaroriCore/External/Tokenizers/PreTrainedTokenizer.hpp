// The general tokenizer: assembled from a repository's tokenizer_config.json (tokenizerConfig) and
// tokenizer.json (tokenizerData). Encoding splits the text at added tokens, runs normalizer,
// pre-tokenizer and model on every other piece, then the post-processor, then maps tokens to ids.
// Decoding drops special ids when asked, maps ids to tokens, runs the decoder chain, joins, and
// cleans up spaces before punctuation.
//
// Immutable after construction; const use from many threads is safe.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Tokenizers/Regex.hpp"
#include "DaroriCore/External/Tokenizers/Tokenizer.hpp"
#include "DaroriCore/External/Tokenizers/Decoders.hpp"
#include "DaroriCore/External/Tokenizers/Normalizers.hpp"
#include "DaroriCore/External/Tokenizers/PostProcessors.hpp"
#include "DaroriCore/External/Tokenizers/PreTokenizers.hpp"

namespace darori {

class PreTrainedTokenizer : public Tokenizer {
public:
    // Builds the added-token table and pattern, the four optional stages and the model (chosen by
    // "tokenizer_class", TokenizerModel::from with `strict`). Throws TokenizerError from the
    // registry or the model, and StageConfigurationError for a stage configuration the stage
    // factories cannot build.
    PreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict);

    using Tokenizer::decode;
    using Tokenizer::encode;

    std::vector<std::string> tokenize(const std::string& text) const override;
    std::vector<int> encode(const std::string& text, bool addSpecialTokens) const override;
    std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const override;

    std::optional<int> convertTokenToId(const std::string& token) const override { return model_->convertTokenToId(token); }
    std::optional<std::string> convertIdToToken(int id) const override { return model_->convertIdToToken(id); }

    std::optional<std::string> bosToken() const override { return model_->bosToken(); }
    std::optional<int> bosTokenId() const override { return model_->bosTokenId(); }
    std::optional<std::string> eosToken() const override { return model_->eosToken(); }
    std::optional<int> eosTokenId() const override { return model_->eosTokenId(); }
    std::optional<std::string> unknownToken() const override { return model_->unknownToken(); }
    std::optional<int> unknownTokenId() const override { return model_->unknownTokenId(); }
    bool fuseUnknownTokens() const { return model_->fuseUnknownTokens(); }

    // The stages one by one; each returns its input unchanged when the stage is absent.
    std::vector<std::string> preTokenize(const std::string& text, const PreTokenizerOptions& options) const;
    std::string normalize(const std::string& text) const;
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens, bool addSpecialTokens) const;
    std::vector<std::string> decodeTokens(const std::vector<std::string>& tokens) const;
    // " ." -> ".", " n't" -> "n't" and the other spaces before punctuation and contractions, when
    // "clean_up_tokenization_spaces" is on (the default).
    std::string cleanUp(const std::string& text) const;
    // The list with every run of unknown tokens cut to its first token, when the model fuses them.
    std::vector<std::string> fuseUnknown(const std::vector<std::string>& tokens) const;

    const TokenizingModel& model() const { return *model_; }
    const std::unordered_set<std::string>& addedTokens() const { return addedTokens_; }
    const std::unordered_map<std::string, int>& specialTokens() const { return specialTokens_; }
    const Config& tokenizerConfig() const { return tokenizerConfig_; }

private:
    std::unique_ptr<TokenizingModel> model_;
    std::unordered_set<std::string> addedTokens_;
    std::unordered_map<std::string, int> specialTokens_;
    std::unordered_set<int> specialTokenIds_;
    std::optional<Regex> addedTokensRegex_;
    std::shared_ptr<const PreTokenizer> preTokenizer_;
    std::shared_ptr<const Normalizer> normalizer_;
    std::shared_ptr<const PostProcessor> postProcessor_;
    std::shared_ptr<const Decoder> decoder_;
    Config tokenizerConfig_;
    bool cleanUpTokenizationSpaces_ = true;
};

}  // namespace darori

// The Llama-class tokenizer. A configuration with "legacy": false gets the data rewritten before
// the base construction (no normalizer, a Metaspace pre-tokenizer) and its text marked at the
// start with "▁"; every Llama-class configuration gets a template post-processor that adds the
// bos and eos tokens "add_bos_token" and "add_eos_token" ask for, unless the data already has a
// template post-processor.
//
// Immutable after construction; const use from many threads is safe.
#pragma once

#include <optional>

#include "DaroriCore/External/Tokenizers/PreTrainedTokenizer.hpp"

namespace darori {

// The template post-processor configuration that adds the configured bos and eos tokens; nothing
// when `processorConfig` already describes a template post-processor. Throws
// TokenizerError::mismatchedConfig when a token is asked for but not named (bos checked first),
// and the post-processor factory's errors for a configuration it does not know.
std::optional<Config> maybeUpdatePostProcessor(const Config& tokenizerConfig, const Config* processorConfig);

class LlamaPreTrainedTokenizer : public PreTrainedTokenizer {
public:
    // Throws what maybeUpdatePostProcessor and the base construction throw.
    LlamaPreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict);

    // Non-legacy: every "▁" becomes a space, one "▁" goes in front, and a lone leading "▁" before
    // a special token is dropped. Legacy, or an empty text: the base tokenization.
    std::vector<std::string> tokenize(const std::string& text) const override;

    bool isLegacy() const { return isLegacy_; }

private:
    struct Rewritten;
    static Rewritten rewrite(const Config& tokenizerConfig, const Config& tokenizerData);
    LlamaPreTrainedTokenizer(const Config& tokenizerConfig, Rewritten rewritten, bool strict);
    bool isLegacy_;
};

}  // namespace darori

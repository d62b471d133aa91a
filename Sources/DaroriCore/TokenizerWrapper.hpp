// The engine's handle on a tokenizer, and the two factories that load one from a local folder or
// a hub repository.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DaroriCore/External/Tokenizers/Tokenizer.hpp"
#include "DaroriCore/HubApiWrapper.hpp"

namespace darori {

// Forwards every call unchanged to the tokenizer it holds. A value: copies share the same
// immutable tokenizer, and any copy may be used from any thread.
class TokenizerWrapper {
public:
    explicit TokenizerWrapper(std::shared_ptr<const Tokenizer> impl) : impl_(std::move(impl)) {}

    std::vector<std::string> tokenize(const std::string& text) const { return impl_->tokenize(text); }
    std::vector<int> encode(const std::string& text) const { return impl_->encode(text); }
    std::vector<int> encode(const std::string& text, bool addSpecialTokens) const { return impl_->encode(text, addSpecialTokens); }
    std::string decode(const std::vector<int>& tokens) const { return impl_->decode(tokens); }
    std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const { return impl_->decode(tokens, skipSpecialTokens); }
    std::optional<int> convertTokenToId(const std::string& token) const { return impl_->convertTokenToId(token); }
    std::vector<std::optional<int>> convertTokensToIds(const std::vector<std::string>& tokens) const { return impl_->convertTokensToIds(tokens); }
    std::optional<std::string> convertIdToToken(int id) const { return impl_->convertIdToToken(id); }
    std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int>& ids) const { return impl_->convertIdsToTokens(ids); }
    std::optional<std::string> bosToken() const { return impl_->bosToken(); }
    std::optional<int> bosTokenId() const { return impl_->bosTokenId(); }
    std::optional<std::string> eosToken() const { return impl_->eosToken(); }
    std::optional<int> eosTokenId() const { return impl_->eosTokenId(); }
    std::optional<std::string> unknownToken() const { return impl_->unknownToken(); }
    std::optional<int> unknownTokenId() const { return impl_->unknownTokenId(); }

    const Tokenizer& impl() const { return *impl_; }

private:
    std::shared_ptr<const Tokenizer> impl_;
};

namespace AutoTokenizerWrapper {

// Loads tokenizer_config.json and tokenizer.json of hub repository `pretrained` at revision
// "main" through `hubApi` and builds the class "tokenizer_class" names (the Llama variant for
// Llama-class names). Blocks until loaded. Throws the loader's errors unchanged,
// TokenizerError::missingConfig when there is no tokenizer configuration, and the construction's
// TokenizerError.
TokenizerWrapper fromPretrained(const std::string& pretrained, const HubApiWrapper& hubApi, bool strict = true);

// The same from a local folder holding the files; always builds the general PreTrainedTokenizer.
TokenizerWrapper fromModelFolder(const std::filesystem::path& modelFolder, const HubApiWrapper& hubApi, bool strict = true);

}  // namespace AutoTokenizerWrapper

}  // namespace darori

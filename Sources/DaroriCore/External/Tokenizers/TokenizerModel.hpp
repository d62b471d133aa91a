// The tokenizing-model registry: picks byte-pair, Unigram or WordPiece from the configuration's
// tokenizer class name and builds it. Stateless; safe from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Tokenizers/Tokenizer.hpp"

namespace darori::TokenizerModel {

// The unknown token's text: "unk_token"'s string "content", else "unk_token" itself when it is a
// string, else nothing.
std::optional<std::string> unknownToken(const Config& tokenizerConfig);

// The model for "tokenizer_class" (every "Fast" removed) from the fixed table of class names.
// Throws TokenizerError::missingTokenizerClassInConfig when the class is not a string; for a name
// not in the table, TokenizerError::unsupportedTokenizer(name) when strict, else prints a warning
// line on standard output and builds the byte-pair model. Model construction errors pass through.
std::unique_ptr<TokenizingModel> from(const Config& tokenizerConfig, const Config& tokenizerData,
                                      const AddedTokenIds& addedTokens, bool strict);

}  // namespace darori::TokenizerModel

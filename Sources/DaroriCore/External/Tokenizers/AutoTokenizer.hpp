// Which tokenizer class a configuration asks for: the Llama variant for "LlamaTokenizer" (also
// with "Fast" in the name), the general PreTrainedTokenizer for everything else.
// Stateless; safe from any thread.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Tokenizers/PreTrainedTokenizer.hpp"

namespace darori {

// A tokenizer class: its name and its construction (tokenizerConfig, tokenizerData, strict), which
// throws what the class's constructor throws.
struct TokenizerClass {
    std::string name;
    std::unique_ptr<PreTrainedTokenizer> (*make)(const Config& tokenizerConfig, const Config& tokenizerData, bool strict);
};

namespace PreTrainedTokenizerClasses {
// "LlamaTokenizer" -> LlamaPreTrainedTokenizer; made once on first use.
const std::unordered_map<std::string, TokenizerClass>& tokenizerClasses();
// The general class, PreTrainedTokenizer.
const TokenizerClass& base();
}  // namespace PreTrainedTokenizerClasses

namespace AutoTokenizer {
// The registered class of "tokenizer_class" with every "Fast" removed; the general class when
// the key is missing, not a string or not registered. Never fails.
const TokenizerClass& tokenizerClass(const Config& tokenizerConfig);
}  // namespace AutoTokenizer

}  // namespace darori

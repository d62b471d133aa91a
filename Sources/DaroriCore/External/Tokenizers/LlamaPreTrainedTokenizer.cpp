#include "DaroriCore/External/Tokenizers/LlamaPreTrainedTokenizer.hpp"

#include "DaroriCore/External/Tokenizers/PostProcessors.hpp"
#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"

namespace darori {

namespace {

const std::string underline = "\xE2\x96\x81";  // U+2581, the sentencepiece word mark

Config tokenItem(const std::string& kind, const std::string& id, int typeId) {
    return Config::makeDictionary({{BinaryDistinctString(kind), Config::makeDictionary({{"id", id}, {"type_id", typeId}})}});
}

}  // namespace

std::optional<Config> maybeUpdatePostProcessor(const Config& tokenizerConfig, const Config* processorConfig) {
    auto current = processorConfig ? PostProcessorFactory::fromConfig(*processorConfig) : nullptr;
    if (current && dynamic_cast<const TemplateProcessing*>(current.get())) return std::nullopt;

    const bool addBos = tokenizerConfig["addBosToken"].boolean().value_or(false);
    const auto bos = addedTokenAsString(tokenizerConfig["bosToken"]);
    if (addBos && !bos) throw TokenizerError::mismatchedConfig("add_bos_token is True but bos_token is nil");
    const bool addEos = tokenizerConfig["addEosToken"].boolean().value_or(false);
    const auto eos = addedTokenAsString(tokenizerConfig["eosToken"]);
    if (addEos && !eos) throw TokenizerError::mismatchedConfig("add_eos_token is True but eos_token is nil");

    Config::Array single;
    if (addBos) single.push_back(tokenItem("SpecialToken", *bos, 0));
    single.push_back(tokenItem("Sequence", "A", 0));
    if (addEos) single.push_back(tokenItem("SpecialToken", *eos, 0));
    Config::Array pair = single;
    if (addBos) pair.push_back(tokenItem("SpecialToken", *bos, 1));
    pair.push_back(tokenItem("Sequence", "B", 1));
    if (addEos) pair.push_back(tokenItem("SpecialToken", *eos, 1));
    return Config::makeDictionary({{"type", "TemplateProcessing"}, {"single", Config(single)}, {"pair", Config(pair)}});
}

struct LlamaPreTrainedTokenizer::Rewritten {
    Config data;
    bool isLegacy;
};

LlamaPreTrainedTokenizer::LlamaPreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict)
    : LlamaPreTrainedTokenizer(tokenizerConfig, rewrite(tokenizerConfig, tokenizerData), strict) {}

LlamaPreTrainedTokenizer::LlamaPreTrainedTokenizer(const Config& tokenizerConfig, Rewritten rewritten, bool strict)
    : PreTrainedTokenizer(tokenizerConfig, rewritten.data, strict), isLegacy_(rewritten.isLegacy) {}

LlamaPreTrainedTokenizer::Rewritten LlamaPreTrainedTokenizer::rewrite(const Config& tokenizerConfig,
                                                                     const Config& tokenizerData) {
    const bool isLegacy = tokenizerConfig["legacy"].boolean().value_or(true);
    Config::Dictionary working;
    if (const auto* dictionary = tokenizerData.dictionary()) working = *dictionary;
    if (!isLegacy) {
        working.erase(BinaryDistinctString("normalizer"));
        working.insert_or_assign(BinaryDistinctString("pre_tokenizer"),
                                 Config::makeDictionary({{"type", "Metaspace"},
                                                         {"replacement", underline},
                                                         {"add_prefix_space", true},
                                                         {"prepend_scheme", "first"}}));
    }
    if (auto updated = maybeUpdatePostProcessor(tokenizerConfig, &tokenizerData["postProcessor"])) {
        working.insert_or_assign(BinaryDistinctString("post_processor"),
                                 updated->dictionary() ? *updated : Config(Config::Dictionary{}));
    }
    return {Config(std::move(working)), isLegacy};
}

std::vector<std::string> LlamaPreTrainedTokenizer::tokenize(const std::string& text) const {
    if (isLegacy_ || text.empty()) return PreTrainedTokenizer::tokenize(text);
    std::string marked = underline;
    marked.reserve(text.size() + underline.size());
    for (std::size_t at = 0; at < text.size();) {
        if (text.compare(at, underline.size(), underline) == 0) {
            marked += ' ';
            at += underline.size();
        } else {
            marked += text[at++];
        }
    }
    auto tokens = PreTrainedTokenizer::tokenize(marked);
    if (tokens.size() >= 2 && tokens[0] == underline && specialTokens().count(tokens[1])) tokens.erase(tokens.begin());
    return tokens;
}

}  // namespace darori

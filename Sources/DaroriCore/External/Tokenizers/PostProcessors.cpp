#include "DaroriCore/External/Tokenizers/PostProcessors.hpp"

#include "DaroriCore/External/Tokenizers/UnicodeText.hpp"
#include "Unicode/Unicode.hpp"

namespace darori {
namespace {

SpecialTokenPair specialToken(const Config& config, const char* key) {
    const std::optional<Config::Token> token = config[key].token();
    if (!token) throw StageConfigurationError(std::string("Missing `") + key + "` processor configuration");
    return {token->id, token->text.string()};
}

void append(std::vector<std::string>& out, const std::vector<std::string>& tokens) {
    out.insert(out.end(), tokens.begin(), tokens.end());
}

bool firstCodePointIs(std::string_view character, bool (*test)(char32_t)) {
    std::size_t at = 0;
    return !character.empty() && test(nextCodePoint(character, at));
}

}  // namespace

std::shared_ptr<const PostProcessor> PostProcessorFactory::fromConfig(const Config& config) {
    const std::optional<std::string> type = stage::typeName(config);
    if (!type) return nullptr;
    if (*type == "TemplateProcessing") return std::make_shared<TemplateProcessing>(config);
    if (*type == "ByteLevel") return std::make_shared<ByteLevelPostProcessor>(config);
    if (*type == "RobertaProcessing") return std::make_shared<RobertaProcessing>(config);
    if (*type == "BertProcessing") return std::make_shared<BertProcessing>(config);
    if (*type == "Sequence") return std::make_shared<SequenceProcessing>(config);
    throw StageConfigurationError("Unsupported PostProcessor type: " + *type);
}

TemplateProcessing::TemplateProcessing(const Config& config) {
    const Config::Array* singleItems = config["single"].array();
    if (singleItems == nullptr) throw StageConfigurationError("Missing `single` processor configuration");
    const Config::Array* pairItems = config["pair"].array();
    if (pairItems == nullptr) throw StageConfigurationError("Missing `pair` processor configuration");
    single = *singleItems;
    pair = *pairItems;
}

std::vector<std::string> TemplateProcessing::postProcess(const std::vector<std::string>& tokens,
                                                         const std::optional<std::vector<std::string>>& tokensPair,
                                                         bool addSpecialTokens) const {
    std::vector<std::string> out;
    for (const Config& item : tokensPair ? pair : single) {
        if (auto special = item["SpecialToken"]["id"].string()) {
            if (addSpecialTokens) out.push_back(*special);
            continue;
        }
        const std::optional<std::string> sequence = item["Sequence"]["id"].string();
        if (sequence == "A") append(out, tokens);
        else if (sequence == "B" && tokensPair) append(out, *tokensPair);
    }
    return out;
}

std::vector<std::string> ByteLevelPostProcessor::postProcess(const std::vector<std::string>& tokens,
                                                             const std::optional<std::vector<std::string>>&, bool) const {
    return tokens;
}

BertProcessing::BertProcessing(const Config& config)
    : sep(specialToken(config, "sep")), cls(specialToken(config, "cls")) {}

std::vector<std::string> BertProcessing::postProcess(const std::vector<std::string>& tokens,
                                                     const std::optional<std::vector<std::string>>& tokensPair,
                                                     bool addSpecialTokens) const {
    std::vector<std::string> out;
    if (!addSpecialTokens) {
        append(out, tokens);
        if (tokensPair) append(out, *tokensPair);
        return out;
    }
    out.push_back(cls.second);
    append(out, tokens);
    out.push_back(sep.second);
    if (tokensPair && !tokensPair->empty()) {
        append(out, *tokensPair);
        out.push_back(sep.second);
    }
    return out;
}

RobertaProcessing::RobertaProcessing(const Config& config)
    : sep(specialToken(config, "sep")),
      cls(specialToken(config, "cls")),
      trimOffset(stage::flag(config, "trimOffset", true)),
      addPrefixSpace(stage::flag(config, "addPrefixSpace", true)) {}

std::string RobertaProcessing::trimmed(const std::string& token) const {
    if (!trimOffset) return token;
    if (!addPrefixSpace) {
        // Blanks go code point by code point from both ends.
        std::size_t begin = 0;
        std::size_t end = token.size();
        while (begin < end) {
            std::size_t next = begin;
            if (!isBlank(nextCodePoint(token, next))) break;
            begin = next;
        }
        std::size_t k = begin;
        std::size_t lastKept = begin;
        while (k < end) {
            if (!isBlank(nextCodePoint(token, k))) lastKept = k;
        }
        return token.substr(begin, lastKept - begin);
    }
    const std::vector<std::size_t> bounds = unicode::characterBoundaries(token);
    const std::size_t count = bounds.size() - 1;
    const auto blank = [&](std::size_t k) {
        return firstCodePointIs(std::string_view(token).substr(bounds[k], bounds[k + 1] - bounds[k]), isWhitespace);
    };
    std::size_t leading = 0;
    while (leading < count && blank(leading)) ++leading;
    if (leading == count) return count == 0 ? token : token.substr(0, bounds[1]);
    std::size_t trailing = 0;
    while (trailing < count && blank(count - 1 - trailing)) ++trailing;
    const std::size_t first = leading > 0 ? leading - 1 : 0;
    const std::size_t last = trailing > 0 ? count - trailing + 1 : count;  // characters [first, last)
    return token.substr(bounds[first], bounds[last] - bounds[first]);
}

std::vector<std::string> RobertaProcessing::postProcess(const std::vector<std::string>& tokens,
                                                        const std::optional<std::vector<std::string>>& tokensPair,
                                                        bool) const {
    std::vector<std::string> out{cls.second};
    for (const std::string& token : tokens) out.push_back(trimmed(token));
    out.push_back(sep.second);
    if (tokensPair && !tokensPair->empty()) {
        out.push_back(sep.second);
        for (const std::string& token : *tokensPair) out.push_back(trimmed(token));
        out.push_back(sep.second);
    }
    return out;
}

SequenceProcessing::SequenceProcessing(const Config& config) {
    const Config::Array* members = config["processors"].array();
    if (members == nullptr) throw StageConfigurationError("Missing `processors` configuration");
    for (const Config& member : *members) {
        if (auto built = PostProcessorFactory::fromConfig(member)) processors.push_back(std::move(built));
    }
}

std::vector<std::string> SequenceProcessing::postProcess(const std::vector<std::string>& tokens,
                                                         const std::optional<std::vector<std::string>>& tokensPair,
                                                         bool addSpecialTokens) const {
    if (processors.empty()) return tokens;
    std::vector<std::string> out = processors.front()->postProcess(tokens, tokensPair, addSpecialTokens);
    for (std::size_t k = 1; k < processors.size(); ++k) out = processors[k]->postProcess(out, std::nullopt, addSpecialTokens);
    return out;
}

}  // namespace darori

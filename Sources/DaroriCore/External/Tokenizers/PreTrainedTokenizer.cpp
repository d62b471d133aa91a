#include "DaroriCore/External/Tokenizers/PreTrainedTokenizer.hpp"

#include <algorithm>

#include "DaroriCore/External/Tokenizers/TextSplitting.hpp"
#include "DaroriCore/External/Tokenizers/TokenizerModel.hpp"
#include "Unicode/Unicode.hpp"

namespace darori {

namespace {

struct AddedTokenPattern {
    std::string content;
    bool prefix = false;  // "lstrip": white space before the token belongs to it
    bool suffix = false;  // "rstrip": white space after it
    std::size_t characters = 0;
};

// One alternation over every added token, longest first so that a token wins over a shorter one
// that is its prefix. Empty contents are left out: they would match between every two characters.
std::optional<Regex> addedTokensPattern(const Config::Array* entries) {
    std::vector<AddedTokenPattern> patterns;
    if (entries) {
        for (const auto& element : *entries) {
            if (!element.dictionary()) continue;
            auto content = element["content"].string();
            if (!content || content->empty()) continue;
            const std::size_t characters = unicode::characterCount(*content);
            patterns.push_back({std::move(*content), element["lstrip"].boolean().value_or(false),
                                element["rstrip"].boolean().value_or(false), characters});
        }
    }
    if (patterns.empty()) return std::nullopt;
    std::stable_sort(patterns.begin(), patterns.end(),
                     [](const auto& a, const auto& b) { return a.characters > b.characters; });
    std::string pattern;
    for (const auto& p : patterns) {
        if (!pattern.empty()) pattern += '|';
        if (p.prefix) pattern += "\\s*";
        pattern += '(' + Regex::escapedPattern(p.content) + ')';
        if (p.suffix) pattern += "\\s*";
    }
    try {
        return Regex(pattern);
    } catch (const RegexError&) {
        return std::nullopt;
    }
}

void replaceAll(std::string& text, std::string_view of, std::string_view with) {
    std::size_t at = text.find(of);
    if (at == std::string::npos) return;
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (; at != std::string::npos; at = text.find(of, from)) {
        out.append(text, from, at - from);
        out += with;
        from = at + of.size();
    }
    out.append(text, from, std::string::npos);
    text.swap(out);
}

}  // namespace

PreTrainedTokenizer::PreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict)
    : tokenizerConfig_(tokenizerConfig) {
    const Config::Array* entries = tokenizerData["addedTokens"].array();
    AddedTokenIds addedTokenIds;
    if (entries) {
        for (const auto& element : *entries) {
            auto id = configId(element["id"]);
            auto content = element["content"].string();
            if (!id || !content) continue;
            addedTokenIds.insert_or_assign(*content, *id);
            if (element["special"].boolean().value_or(false)) specialTokens_.insert_or_assign(*content, *id);
        }
    }
    addedTokensRegex_ = addedTokensPattern(entries);
    for (const auto& [content, id] : addedTokenIds) addedTokens_.insert(content);
    for (const auto& [content, id] : specialTokens_) specialTokenIds_.insert(id);

    preTokenizer_ = PreTokenizerFactory::fromConfig(tokenizerData["preTokenizer"]);
    normalizer_ = NormalizerFactory::fromConfig(tokenizerData["normalizer"]);
    postProcessor_ = PostProcessorFactory::fromConfig(tokenizerData["postProcessor"]);
    decoder_ = DecoderFactory::fromConfig(tokenizerData["decoder"],
                                          std::set<std::string>(addedTokens_.begin(), addedTokens_.end()));
    cleanUpTokenizationSpaces_ = tokenizerConfig["cleanUpTokenizationSpaces"].boolean().value_or(true);
    model_ = TokenizerModel::from(tokenizerConfig, tokenizerData, addedTokenIds, strict);
}

std::vector<std::string> PreTrainedTokenizer::preTokenize(const std::string& text, const PreTokenizerOptions& options) const {
    if (!preTokenizer_) return {text};
    return preTokenizer_->preTokenize(text, options);
}

std::string PreTrainedTokenizer::normalize(const std::string& text) const {
    return normalizer_ ? normalizer_->normalize(text) : text;
}

std::vector<std::string> PreTrainedTokenizer::postProcess(const std::vector<std::string>& tokens, bool addSpecialTokens) const {
    return postProcessor_ ? postProcessor_->postProcess(tokens, std::nullopt, addSpecialTokens) : tokens;
}

std::vector<std::string> PreTrainedTokenizer::decodeTokens(const std::vector<std::string>& tokens) const {
    return decoder_ ? decoder_->decode(tokens) : tokens;
}

std::string PreTrainedTokenizer::cleanUp(const std::string& text) const {
    if (!cleanUpTokenizationSpaces_) return text;
    static const std::pair<std::string_view, std::string_view> replacements[] = {
        {" .", "."},     {" ?", "?"},     {" !", "!"},     {" ,", ","},     {" ' ", "'"},
        {" n't", "n't"}, {" 'm", "'m"},   {" 's", "'s"},   {" 've", "'ve"}, {" 're", "'re"},
    };
    std::string out = text;
    for (const auto& [of, with] : replacements) replaceAll(out, of, with);
    return out;
}

std::vector<std::string> PreTrainedTokenizer::fuseUnknown(const std::vector<std::string>& tokens) const {
    if (!model_->fuseUnknownTokens()) return tokens;
    const auto unknownId = model_->unknownTokenId();
    std::vector<std::string> fused;
    fused.reserve(tokens.size());
    bool previousUnknown = false;
    for (const auto& token : tokens) {
        const bool unknown = model_->convertTokenToId(token) == unknownId;
        if (!unknown || !previousUnknown) fused.push_back(token);
        previousUnknown = unknown;
    }
    return fused;
}

std::vector<std::string> PreTrainedTokenizer::tokenize(const std::string& text) const {
    const std::vector<std::string> pieces =
        addedTokensRegex_ ? split(text, *addedTokensRegex_) : std::vector<std::string>{text};
    std::vector<std::string> tokens;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const std::string& piece = pieces[i];
        // An added token with empty content is never found in text, so the empty piece of an
        // empty text is not one.
        if (!piece.empty() && addedTokens_.count(piece)) {
            tokens.push_back(piece);
            continue;
        }
        std::vector<std::string> pieceTokens;
        const PreTokenizerOptions options = i == 0 ? PreTokenizerOptions{PreTokenizerOption::firstSection}
                                                   : PreTokenizerOptions{};
        for (const auto& preToken : preTokenize(normalize(piece), options))
            for (auto& token : model_->tokenize(preToken)) pieceTokens.push_back(std::move(token));
        for (auto& token : fuseUnknown(pieceTokens)) tokens.push_back(std::move(token));
    }
    return tokens;
}

std::vector<int> PreTrainedTokenizer::encode(const std::string& text, bool addSpecialTokens) const {
    std::vector<int> ids;
    for (const auto& token : postProcess(tokenize(text), addSpecialTokens)) {
        // A token the model has no id for (and no unknown id to stand in) is left out.
        if (auto id = model_->convertTokenToId(token)) ids.push_back(*id);
    }
    return ids;
}

std::string PreTrainedTokenizer::decode(const std::vector<int>& tokens, bool skipSpecialTokens) const {
    std::vector<std::string> strings;
    strings.reserve(tokens.size());
    for (int id : tokens) {
        if (skipSpecialTokens && specialTokenIds_.count(id)) continue;
        if (auto token = model_->convertIdToToken(id)) strings.push_back(std::move(*token));
    }
    std::string text;
    for (const auto& piece : decodeTokens(strings)) text += piece;
    return cleanUp(text);
}

}  // namespace darori

#include "DaroriCore/External/Tokenizers/PreTokenizers.hpp"

#include "DaroriCore/External/Tokenizers/ByteTables.hpp"
#include "DaroriCore/External/Tokenizers/TextSplitting.hpp"
#include "DaroriCore/External/Tokenizers/UnicodeText.hpp"

namespace darori {
namespace {

// The fixed patterns compile once per process; copies share the compiled code.
const Regex& compiled(std::string_view pattern) {
    static const Regex byteLevel(ByteLevelPreTokenizer::PATTERN);
    static const Regex punctuation(PunctuationPreTokenizer::PATTERN);
    static const Regex whitespace(WhitespacePreTokenizer::PATTERN);
    static const Regex bert(BertPreTokenizer::PATTERN);
    static const Regex digits("[^\\d]+|\\d+");
    static const Regex individualDigits("[^\\d]+|\\d");
    for (const Regex* r : {&byteLevel, &punctuation, &whitespace, &bert, &digits, &individualDigits}) {
        if (r->pattern() == pattern) return *r;
    }
    throw std::logic_error("not a fixed pre-tokenizer pattern");
}

// The text itself when it is valid UTF-8, else its repair kept in `storage`. Kinds that keep only
// what their pattern matches would otherwise drop invalid bytes, which no pattern matches; the
// others repair alike so that every piece is valid UTF-8.
std::string_view validated(std::string_view text, std::string& storage) {
    if (isValidUTF8(text)) return text;
    storage = decodeUTF8Lossy(text);
    return storage;
}

std::vector<std::string> occurrences(std::string_view text, const Regex& regex) {
    std::vector<std::string> out;
    forEachRange(text, regex, [&](const TextRange& r) { out.emplace_back(r.of(text)); });
    return out;
}

std::string withAllReplaced(std::string_view text, std::string_view of, std::string_view with) {
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    while (true) {
        const std::size_t at = text.find(of, from);
        if (at == std::string_view::npos) break;
        out.append(text.substr(from, at - from));
        out.append(with);
        from = at + of.size();
    }
    out.append(text.substr(from));
    return out;
}

}  // namespace

std::vector<std::string> PreTokenizer::preTokenize(const std::vector<std::string>& texts,
                                                   const PreTokenizerOptions& options) const {
    std::vector<std::string> out;
    for (const std::string& text : texts) {
        std::vector<std::string> pieces = preTokenize(std::string_view(text), options);
        out.insert(out.end(), std::make_move_iterator(pieces.begin()), std::make_move_iterator(pieces.end()));
    }
    return out;
}

std::shared_ptr<const PreTokenizer> PreTokenizerFactory::fromConfig(const Config& config) {
    const std::optional<std::string> type = stage::typeName(config);
    if (!type) return nullptr;
    if (*type == "Sequence") return std::make_shared<PreTokenizerSequence>(config);
    if (*type == "ByteLevel") return std::make_shared<ByteLevelPreTokenizer>(config);
    if (*type == "Punctuation") return std::make_shared<PunctuationPreTokenizer>(config);
    if (*type == "Digits") return std::make_shared<DigitsPreTokenizer>(config);
    if (*type == "Split") return std::make_shared<SplitPreTokenizer>(config);
    if (*type == "Whitespace" || *type == "WhitespaceSplit") return std::make_shared<WhitespacePreTokenizer>(config);
    if (*type == "Metaspace") return std::make_shared<MetaspacePreTokenizer>(config);
    if (*type == "BertPreTokenizer") return std::make_shared<BertPreTokenizer>(config);
    throw StageConfigurationError("Unsupported PreTokenizer type: " + *type);
}

PreTokenizerSequence::PreTokenizerSequence(const Config& config) {
    const Config::Array* members = config["pretokenizers"].array();
    if (members == nullptr) throw StageConfigurationError("No pretokenizers in Sequence");
    for (const Config& member : *members) {
        if (auto built = PreTokenizerFactory::fromConfig(member)) preTokenizers.push_back(std::move(built));
    }
}

std::vector<std::string> PreTokenizerSequence::preTokenize(std::string_view text,
                                                           const PreTokenizerOptions& options) const {
    std::vector<std::string> pieces{std::string(text)};
    for (const auto& member : preTokenizers) pieces = member->preTokenize(pieces, options);
    return pieces;
}

ByteLevelPreTokenizer::ByteLevelPreTokenizer(const Config& config)
    : addPrefixSpace(stage::flag(config, "addPrefixSpace", false)),
      trimOffsets(stage::flag(config, "trimOffsets", true)),
      useRegex(stage::flag(config, "useRegex", true)),
      regex_(compiled(PATTERN)) {}

std::vector<std::string> ByteLevelPreTokenizer::preTokenize(std::string_view text, const PreTokenizerOptions&) const {
    std::string storage;
    text = validated(text, storage);
    const auto encode = [&](std::string_view piece) {
        return addPrefixSpace && !piece.starts_with(' ') ? byteLevelEncoded(" ") + byteLevelEncoded(piece)
                                                         : byteLevelEncoded(piece);
    };
    if (!useRegex) return {encode(text)};
    std::vector<std::string> pieces;
    forEachRange(text, regex_, [&](const TextRange& r) { pieces.push_back(encode(r.of(text))); });
    return pieces;
}

std::vector<std::string> PatternPreTokenizer::preTokenize(std::string_view text, const PreTokenizerOptions&) const {
    std::string storage;
    text = validated(text, storage);
    return occurrences(text, regex_);
}

PunctuationPreTokenizer::PunctuationPreTokenizer(const Config&) : PatternPreTokenizer(compiled(PATTERN)) {}

DigitsPreTokenizer::DigitsPreTokenizer(const Config& config)
    : PatternPreTokenizer(compiled(stage::flag(config, "individualDigits", false) ? "[^\\d]+|\\d" : "[^\\d]+|\\d+")) {}

WhitespacePreTokenizer::WhitespacePreTokenizer(const Config&) : PatternPreTokenizer(compiled(PATTERN)) {}

BertPreTokenizer::BertPreTokenizer(const Config&) : PatternPreTokenizer(compiled(PATTERN)) {}

std::optional<StringSplitPattern> StringSplitPattern::from(const Config& config) {
    const Config& pattern = config["pattern"];
    if (auto literal = pattern["String"].string()) return StringSplitPattern{Literal{*literal}};
    if (auto regexp = pattern["Regex"].string()) return StringSplitPattern{Regexp{*regexp}};
    return std::nullopt;
}

SplitPreTokenizer::SplitPreTokenizer(const Config& config)
    : pattern(StringSplitPattern::from(config)), invert(stage::flag(config, "invert", false)) {
    if (pattern) {
        if (const auto* regexp = std::get_if<StringSplitPattern::Regexp>(&pattern->value)) {
            try {
                regex_.emplace(regexp->regexp);
            } catch (const RegexError&) {
                // Accepted: a pattern that does not compile finds nothing.
            }
        }
    }
}

std::vector<std::string> SplitPreTokenizer::preTokenize(std::string_view text, const PreTokenizerOptions&) const {
    std::string storage;
    text = validated(text, storage);
    if (!pattern) return {std::string(text)};
    if (const auto* literal = std::get_if<StringSplitPattern::Literal>(&pattern->value)) {
        return split(text, literal->pattern, SearchOptions::none, !invert);
    }
    if (!regex_) return text.empty() ? std::vector<std::string>{} : std::vector<std::string>{std::string(text)};
    return split(text, *regex_, true);
}

MetaspacePreTokenizer::MetaspacePreTokenizer(const Config& config)
    : addPrefixSpace(stage::flag(config, "addPrefixSpace", false)),
      replacement(stage::text(config, "replacement", " ")),
      stringReplacement(stage::text(config, "strRep", replacement)) {
    if (auto scheme = config["prependScheme"].string()) {
        if (*scheme == "first") prependScheme = PrependScheme::first;
        else if (*scheme == "never") prependScheme = PrependScheme::never;
    }
}

std::vector<std::string> MetaspacePreTokenizer::preTokenize(std::string_view text,
                                                            const PreTokenizerOptions& options) const {
    std::string storage;
    text = validated(text, storage);
    std::string normalized = withAllReplaced(text, " ", stringReplacement);
    if (addPrefixSpace && !normalized.starts_with(replacement)) {
        const bool prepend = prependScheme == PrependScheme::always ||
                             (prependScheme == PrependScheme::first && options.contains(PreTokenizerOption::firstSection));
        if (prepend) normalized.insert(0, stringReplacement);
    }
    return split(normalized, replacement, SearchOptions::none, SplitDelimiterBehavior::mergedWithNext);
}

}  // namespace darori

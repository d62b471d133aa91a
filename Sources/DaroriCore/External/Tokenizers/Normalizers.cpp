#include "DaroriCore/External/Tokenizers/Normalizers.hpp"

#include "DaroriCore/External/Tokenizers/TextSplitting.hpp"
#include "DaroriCore/External/Tokenizers/UnicodeText.hpp"
#include "Unicode/Unicode.hpp"

namespace darori {
namespace {

constexpr char32_t FULLWIDTH_TILDE = 0xFF5E;

// Calls visit(character, firstCodePoint) for each grapheme cluster of valid UTF-8 text.
template <class Visit>
void visitCharacters(std::string_view text, Visit&& visit) {
    const std::vector<std::size_t> bounds = unicode::characterBoundaries(text);
    for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
        std::size_t at = bounds[k];
        const char32_t first = nextCodePoint(text, at);
        visit(text.substr(bounds[k], bounds[k + 1] - bounds[k]), first);
    }
}

bool isCJKIdeograph(char32_t cp) {
    return (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x20000 && cp <= 0x2A6DF) ||
           (cp >= 0x2A700 && cp <= 0x2CEAF) || (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0x2F800 && cp <= 0x2FA1F);
}

bool removedByPrecompiled(char32_t cp) {
    return (cp >= 0x01 && cp <= 0x08) || cp == 0x0B || (cp >= 0x0E && cp <= 0x1F) || cp == 0x7F || cp == 0x8F ||
           cp == 0x9F;
}

bool spaceByPrecompiled(char32_t cp) {
    switch (cp) {
        case 0x09: case 0x0A: case 0x0C: case 0x0D: case 0x1680: case 0x2028: case 0x2029: case 0x2581:
        case 0xFEFF: case 0xFFFD:
            return true;
        default:
            return cp >= 0x200B && cp <= 0x200F;
    }
}

std::string cleanText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    visitCharacters(text, [&](std::string_view character, char32_t first) {
        if (first == '\t' || first == '\n' || first == '\r') out.push_back(' ');
        else if (first == 0 || first == 0xFFFD || isOtherCategory(first)) return;
        else out.append(character);
    });
    return out;
}

std::string spacedChineseCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    visitCharacters(text, [&](std::string_view character, char32_t first) {
        if (!isCJKIdeograph(first)) {
            out.append(character);
            return;
        }
        out.push_back(' ');
        out.append(character);
        out.push_back(' ');
    });
    return out;
}

std::string strippedAccents(std::string_view text) {
    const std::string decomposed = normalized(text, NormalizationForm::nfd);
    std::string out;
    out.reserve(decomposed.size());
    for (std::size_t i = 0; i < decomposed.size();) {
        const std::size_t start = i;
        const char32_t cp = nextCodePoint(decomposed, i);
        if (cp < 0x300 || cp > 0x36F) out.append(decomposed, start, i - start);
    }
    return out;
}

}  // namespace

std::shared_ptr<const Normalizer> NormalizerFactory::fromConfig(const Config& config) {
    const std::optional<std::string> type = stage::typeName(config);
    if (!type) return nullptr;
    if (*type == "Sequence") return std::make_shared<NormalizerSequence>(config);
    if (*type == "Prepend") return std::make_shared<PrependNormalizer>(config);
    if (*type == "Replace") return std::make_shared<ReplaceNormalizer>(config);
    if (*type == "Lowercase") return std::make_shared<LowercaseNormalizer>(config);
    if (*type == "NFD") return std::make_shared<NFDNormalizer>(config);
    if (*type == "NFC") return std::make_shared<NFCNormalizer>(config);
    if (*type == "NFKD") return std::make_shared<NFKDNormalizer>(config);
    if (*type == "NFKC") return std::make_shared<NFKCNormalizer>(config);
    if (*type == "Bert" || *type == "BertNormalizer") return std::make_shared<BertNormalizer>(config);
    if (*type == "Precompiled") return std::make_shared<PrecompiledNormalizer>(config);
    if (*type == "StripAccents") return std::make_shared<StripAccentsNormalizer>(config);
    if (*type == "Strip") return std::make_shared<StripNormalizer>(config);
    throw StageConfigurationError("Unsupported Normalizer type: " + *type);
}

NormalizerSequence::NormalizerSequence(const Config& config) {
    const Config::Array* members = config["normalizers"].array();
    if (members == nullptr) throw StageConfigurationError("No normalizers in Sequence");
    for (const Config& member : *members) {
        if (auto built = NormalizerFactory::fromConfig(member)) normalizers.push_back(std::move(built));
    }
}

std::string NormalizerSequence::normalize(std::string_view text) const {
    std::string out = decodeUTF8Lossy(text);
    for (const auto& member : normalizers) out = member->normalize(out);
    return out;
}

PrependNormalizer::PrependNormalizer(const Config& config) : prepend(stage::text(config, "prepend", "")) {}

std::string PrependNormalizer::normalize(std::string_view text) const { return prepend + decodeUTF8Lossy(text); }

ReplaceNormalizer::ReplaceNormalizer(const Config& config) : pattern(StringReplacePattern::from(config)) {}

std::string ReplaceNormalizer::normalize(std::string_view text) const {
    const std::string clean = decodeUTF8Lossy(text);
    return pattern ? pattern->replace(clean) : clean;
}

std::string LowercaseNormalizer::normalize(std::string_view text) const { return lowercased(text); }
std::string NFDNormalizer::normalize(std::string_view text) const { return normalized(text, NormalizationForm::nfd); }
std::string NFCNormalizer::normalize(std::string_view text) const { return normalized(text, NormalizationForm::nfc); }
std::string NFKDNormalizer::normalize(std::string_view text) const { return normalized(text, NormalizationForm::nfkd); }
std::string NFKCNormalizer::normalize(std::string_view text) const { return normalized(text, NormalizationForm::nfkc); }
std::string StripAccentsNormalizer::normalize(std::string_view text) const {
    return normalized(text, NormalizationForm::nfkc);
}

StripNormalizer::StripNormalizer(const Config& config)
    : leftStrip(stage::flag(config, "stripLeft", true)), rightStrip(stage::flag(config, "stripRight", true)) {}

std::string StripNormalizer::normalize(std::string_view text) const {
    const std::string clean = decodeUTF8Lossy(text);
    const std::vector<std::size_t> bounds = unicode::characterBoundaries(clean);
    const auto blank = [&](std::size_t k) {
        std::size_t at = bounds[k];
        return isWhitespace(nextCodePoint(clean, at));
    };
    std::size_t first = 0;
    std::size_t last = bounds.size() - 1;  // characters [first, last)
    if (leftStrip) {
        while (first < last && blank(first)) ++first;
    }
    if (rightStrip) {
        while (last > first && blank(last - 1)) --last;
    }
    return clean.substr(bounds[first], bounds[last] - bounds[first]);
}

BertNormalizer::BertNormalizer(const Config& config)
    : shouldCleanText(stage::flag(config, "cleanText", true)),
      shouldHandleChineseChars(stage::flag(config, "handleChineseChars", true)),
      shouldLowercase(stage::flag(config, "lowercase", true)) {
    shouldStripAccents = stage::flag(config, "stripAccents", shouldLowercase);
}

std::string BertNormalizer::normalize(std::string_view text) const {
    std::string out = decodeUTF8Lossy(text);
    if (shouldCleanText) out = cleanText(out);
    if (shouldHandleChineseChars) out = spacedChineseCharacters(out);
    if (shouldStripAccents) out = strippedAccents(out);
    if (shouldLowercase) out = lowercased(out);
    return out;
}

std::string PrecompiledNormalizer::normalize(std::string_view text) const {
    const std::string clean = decodeUTF8Lossy(text);
    std::string kept;
    kept.reserve(clean.size());
    bool tilde = false;
    for (std::size_t i = 0; i < clean.size();) {
        const std::size_t start = i;
        const char32_t cp = nextCodePoint(clean, i);
        if (removedByPrecompiled(cp)) continue;
        if (spaceByPrecompiled(cp)) {
            kept.push_back(' ');
            continue;
        }
        if (cp == FULLWIDTH_TILDE) tilde = true;
        kept.append(clean, start, i - start);
    }
    if (!tilde) return normalized(kept, NormalizationForm::nfkc);
    std::string out;
    const std::string separator = "\uFF5E";
    const std::vector<std::string> pieces = split(kept, separator, SearchOptions::none, false);
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        if (k > 0) out += separator;
        out += normalized(pieces[k], NormalizationForm::nfkc);
    }
    return out;
}

}  // namespace darori

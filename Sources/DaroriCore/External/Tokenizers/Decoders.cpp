#include "DaroriCore/External/Tokenizers/Decoders.hpp"

#include "DaroriCore/External/Tokenizers/ByteTables.hpp"
#include "DaroriCore/External/Tokenizers/UnicodeText.hpp"
#include "DaroriCore/TextHelpers.hpp"
#include "Unicode/Unicode.hpp"

namespace darori {
namespace {

std::string replacingAll(std::string_view text, std::string_view of, std::string_view with) {
    if (of.empty()) return std::string(text);
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

std::optional<std::uint8_t> hexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
    return std::nullopt;
}

// The byte of a token "<0xHH>" whose two characters read as a hexadecimal number, a sign
// allowed ("<0x+5>" is the byte 5); absent for any other token. A negative number ("<0x-1>") is
// no byte and stays text.
std::optional<std::uint8_t> byteToken(std::string_view token) {
    if (token.size() != 6 || !token.starts_with("<0x") || token[5] != '>') return std::nullopt;
    if (token[3] == '+' || token[3] == '-') {
        const auto digit = hexDigit(token[4]);
        if (!digit || (token[3] == '-' && *digit != 0)) return std::nullopt;
        return *digit;
    }
    const auto high = hexDigit(token[3]);
    const auto low = hexDigit(token[4]);
    if (!high || !low) return std::nullopt;
    return static_cast<std::uint8_t>(*high * 16 + *low);
}

// `text` without up to `upto` leading copies of the character `character` (characters compare as
// in trimmingFromEnd). upto < 1 returns the text unchanged.
std::string trimmingFromStart(std::string_view text, std::string_view character, std::int64_t upto) {
    if (upto < 1 || character.empty()) return std::string(text);
    const std::vector<std::size_t> bounds = unicode::characterBoundaries(text);
    std::size_t k = 0;
    while (static_cast<std::int64_t>(k) < upto && k + 1 < bounds.size() &&
           unicode::canonicallyEqual(text.substr(bounds[k], bounds[k + 1] - bounds[k]), character)) {
        ++k;
    }
    return std::string(text.substr(bounds[k]));
}

// Byte-level characters back to their bytes, then read as UTF-8.
std::string byteLevelDecoded(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        const char32_t cp = nextCodePoint(text, i);
        if (auto b = byteForCharacter(cp)) bytes.push_back(static_cast<char>(*b));
        else bytes.append(text.substr(start, i - start));
    }
    return decodeUTF8Lossy(bytes);
}

}  // namespace

std::shared_ptr<const Decoder> DecoderFactory::fromConfig(const Config& config,
                                                          const std::optional<std::set<std::string>>& addedTokens) {
    const std::optional<std::string> type = stage::typeName(config);
    if (!type) return nullptr;
    if (*type == "Sequence") return std::make_shared<DecoderSequence>(config);
    if (*type == "WordPiece") return std::make_shared<WordPieceDecoder>(config);
    if (*type == "ByteLevel") return std::make_shared<ByteLevelDecoder>(addedTokens.value_or(std::set<std::string>{}));
    if (*type == "Replace") return std::make_shared<ReplaceDecoder>(config);
    if (*type == "ByteFallback") return std::make_shared<ByteFallbackDecoder>(config);
    if (*type == "Fuse") return std::make_shared<FuseDecoder>(config);
    if (*type == "Strip") return std::make_shared<StripDecoder>(config);
    if (*type == "Metaspace") return std::make_shared<MetaspaceDecoder>(config);
    throw StageConfigurationError("Unsupported Decoder type: " + *type);
}

DecoderSequence::DecoderSequence(const Config& config) {
    const Config::Array* members = config["decoders"].array();
    if (members == nullptr) throw StageConfigurationError("No decoders in Sequence");
    for (const Config& member : *members) {
        if (auto built = DecoderFactory::fromConfig(member)) decoders.push_back(std::move(built));
    }
}

std::vector<std::string> DecoderSequence::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out = tokens;
    for (const auto& member : decoders) out = member->decode(out);
    return out;
}

WordPieceDecoder::WordPieceDecoder(const Config& config)
    : cleanup(stage::flag(config, "cleanup", false)), re_(CLEANUP_PATTERN) {
    const std::optional<std::string> configured = config["prefix"].string();
    if (!configured) throw StageConfigurationError("Missing `prefix` configuration for WordPieceDecoder.");
    prefix = *configured;
}

std::string WordPieceDecoder::cleaned(std::string text) const {
    if (!cleanup) return text;
    return replacingAll(re_.replacingMatches(text, "$1"), " do not", " don't");
}

std::vector<std::string> WordPieceDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (std::size_t k = 0; k < tokens.size(); ++k) {
        const std::string& token = tokens[k];
        if (k == 0) out.push_back(cleaned(token));
        else if (token.starts_with(prefix)) out.push_back(cleaned(token.substr(prefix.size())));
        else out.push_back(cleaned(" " + token));
    }
    return out;
}

std::vector<std::string> ByteLevelDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    std::string run;
    bool pending = false;
    for (const std::string& token : tokens) {
        if (addedTokens.contains(token)) {
            if (pending) out.push_back(byteLevelDecoded(run));
            run.clear();
            pending = false;
            out.push_back(token);
        } else {
            run += token;
            pending = true;
        }
    }
    if (pending) out.push_back(byteLevelDecoded(run));
    return out;
}

ReplaceDecoder::ReplaceDecoder(const Config& config) : pattern(StringReplacePattern::from(config)) {}

std::vector<std::string> ReplaceDecoder::decode(const std::vector<std::string>& tokens) const {
    if (!pattern) return tokens;
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (const std::string& token : tokens) out.push_back(pattern->replace(token));
    return out;
}

std::vector<std::string> ByteFallbackDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    std::string bytes;
    for (const std::string& token : tokens) {
        if (auto b = byteToken(token)) {
            bytes.push_back(static_cast<char>(*b));
            continue;
        }
        if (!bytes.empty()) out.push_back(decodeUTF8Lossy(bytes));
        bytes.clear();
        out.push_back(token);
    }
    if (!bytes.empty()) out.push_back(decodeUTF8Lossy(bytes));
    return out;
}

std::vector<std::string> FuseDecoder::decode(const std::vector<std::string>& tokens) const {
    std::string joined;
    for (const std::string& token : tokens) joined += token;
    return {joined};
}

StripDecoder::StripDecoder(const Config& config) {
    const std::optional<std::string> configured = config["content"].string();
    if (!configured) throw StageConfigurationError("Incorrect StripDecoder configuration: can't parse `content`.");
    content = *configured;
    const std::optional<std::int64_t> first = config["start"].integer();
    if (!first) throw StageConfigurationError("Incorrect StripDecoder configuration: can't parse `start`.");
    start = *first;
    const std::optional<std::int64_t> last = config["stop"].integer();
    if (!last) throw StageConfigurationError("Incorrect StripDecoder configuration: can't parse `stop`.");
    stop = *last;
}

std::vector<std::string> StripDecoder::decode(const std::vector<std::string>& tokens) const {
    // trimmingFromEnd counts in int; larger counts strip at most every character anyway.
    const int upto = static_cast<int>(std::min<std::int64_t>(stop, 1 << 30));
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (const std::string& token : tokens) {
        const std::string head = trimmingFromStart(token, content, start);
        out.push_back(content.empty() ? head : trimmingFromEnd(head, content, upto));
    }
    return out;
}

MetaspaceDecoder::MetaspaceDecoder(const Config& config)
    : addPrefixSpace(stage::flag(config, "addPrefixSpace", false)), replacement(stage::text(config, "replacement", "_")) {}

std::vector<std::string> MetaspaceDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (const std::string& token : tokens) out.push_back(replacingAll(token, replacement, " "));
    if (addPrefixSpace && !out.empty() && out.front().starts_with(' ')) out.front().erase(0, 1);
    return out;
}

}  // namespace darori

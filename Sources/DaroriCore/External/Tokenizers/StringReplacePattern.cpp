#include "DaroriCore/External/Tokenizers/StringReplacePattern.hpp"

#include "DaroriCore/External/Tokenizers/StageConfig.hpp"

namespace darori {

std::optional<StringReplacePattern> StringReplacePattern::from(const Config& config) {
    const std::optional<std::string> content = config["content"].string();
    if (!content) return std::nullopt;
    const Config& pattern = config["pattern"];
    if (auto literal = pattern["String"].string()) return StringReplacePattern{Literal{*literal, *content}};
    if (auto regexp = pattern["Regex"].string()) {
        try {
            return StringReplacePattern{Regexp{Regex(*regexp), *content}};
        } catch (const RegexError&) {
            throw StageConfigurationError("Cannot build regexp from " + *regexp);
        }
    }
    return std::nullopt;
}

std::string StringReplacePattern::replace(std::string_view text) const {
    if (const auto* regexp = std::get_if<Regexp>(&value)) return regexp->regexp.replacingMatches(text, regexp->replacement);
    const auto& literal = std::get<Literal>(value);
    if (literal.pattern.empty()) return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    while (true) {
        const std::size_t at = text.find(literal.pattern, from);
        if (at == std::string_view::npos) break;
        out.append(text.substr(from, at - from));
        out.append(literal.replacement);
        from = at + literal.pattern.size();
    }
    out.append(text.substr(from));
    return out;
}

}  // namespace darori

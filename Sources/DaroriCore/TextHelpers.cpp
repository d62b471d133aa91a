#include "DaroriCore/TextHelpers.hpp"

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include <pwd.h>
#include <unistd.h>

#include "DaroriCore/SentenceBoundaries.hpp"
#include "Unicode/Unicode.hpp"

namespace darori {
namespace {

bool isLineBreak(char32_t cp) {
    return (cp >= 0x0A && cp <= 0x0D) || cp == 0x85 || cp == 0x2028 || cp == 0x2029;
}

bool isSentenceTerminator(char32_t cp) {
    return cp == '.' || cp == '!' || cp == '?' || cp == 0x2026 || cp == 0x3002 || cp == 0xFF01 || cp == 0xFF1F;
}

bool isClauseSeparator(char32_t cp) { return cp == ',' || cp == ';' || cp == ':' || cp == '-' || cp == 0x2013; }

bool isClosingMark(char32_t cp) {
    return cp == '"' || cp == '\'' || cp == 0x201D || cp == 0x2019 || cp == ')' || cp == ']' || cp == '}' ||
           cp == 0xBB || cp == 0x300D;
}

// The characters of a text with the code points of each.
struct Character {
    std::size_t begin, end;
    std::vector<char32_t> scalars;
    bool single(bool (*test)(char32_t)) const { return scalars.size() == 1 && test(scalars[0]); }
    bool whitespace() const { return !scalars.empty() && unicode::isWhitespace(scalars[0]); }
    bool lineBreak() const {
        for (char32_t cp : scalars) if (isLineBreak(cp)) return true;
        return false;
    }
};

std::vector<Character> charactersOf(std::string_view s) {
    const auto bounds = unicode::characterBoundaries(s);
    std::vector<Character> out;
    for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
        Character c{bounds[k], bounds[k + 1], {}};
        for (std::size_t i = c.begin; i < c.end;) c.scalars.push_back(unicode::decodeAt(s, i));
        out.push_back(std::move(c));
    }
    return out;
}

// A last sentence counts only when it is finished: its trailing run of white space and closing
// marks holds a line break, or the character before that run ends a sentence.
bool isComplete(std::string_view sentence) {
    const auto chars = charactersOf(sentence);
    std::size_t k = chars.size();
    bool sawLineBreak = false;
    while (k > 0 && (chars[k - 1].whitespace() || chars[k - 1].single(isClosingMark))) {
        sawLineBreak = sawLineBreak || chars[k - 1].lineBreak();
        --k;
    }
    if (sawLineBreak) return true;
    return k > 0 && chars[k - 1].single(isSentenceTerminator);
}

std::string homeFolder(std::string_view user) {
    if (user.empty()) {
        if (const char* home = std::getenv("HOME"); home && *home) return home;
        if (const passwd* pw = getpwuid(getuid())) return pw->pw_dir;
        return "";
    }
    if (const passwd* pw = getpwnam(std::string(user).c_str())) return pw->pw_dir;
    return "";
}

}  // namespace

std::string trimmingFromEnd(std::string_view text, std::string_view character, int upto) {
    if (upto < 1) return std::string(text);
    const auto bounds = unicode::characterBoundaries(text);
    std::size_t k = bounds.size() - 1;  // number of characters left
    for (int removed = 0; removed < upto && k > 0; ++removed) {
        if (!unicode::canonicallyEqual(text.substr(bounds[k - 1], bounds[k] - bounds[k - 1]), character)) break;
        --k;
    }
    return std::string(text.substr(0, bounds[k]));
}

float rounded(float value, int places) {
    const float scale = std::pow(10.0f, static_cast<float>(places));
    return std::round(value * scale) / scale;
}

std::string resolveAbsolutePath(std::string_view path) {
    std::string expanded(path);
    if (!expanded.empty() && expanded[0] == '~') {
        const std::size_t slash = expanded.find('/');
        const std::string_view user = std::string_view(expanded).substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
        const std::string home = homeFolder(user);
        if (!home.empty()) expanded = home + (slash == std::string::npos ? "" : expanded.substr(slash));
    }
    if (expanded.empty() || expanded[0] != '/') {
        std::error_code ec;
        std::string cwd = std::filesystem::current_path(ec).string();
        if (cwd.empty() || cwd.back() != '/') cwd += '/';
        expanded = cwd + expanded;
    }
    while (expanded.size() > 1 && expanded.back() == '/') expanded.pop_back();
    return expanded;
}

std::optional<std::string> lastNaturalBoundary(std::string_view text, int minTokenCount, const TokenEncoder& encode) {
    auto meets = [&](std::string_view prefix) {
        return static_cast<long>(encode(unicode::trimWhitespace(prefix)).size()) >= minTokenCount;
    };

    const auto sentences = text::sentenceRanges(text);
    for (std::size_t k = sentences.size(); k-- > 0;) {
        const auto [begin, end] = sentences[k];
        if (k + 1 == sentences.size() && !isComplete(text.substr(begin, end - begin))) continue;
        if (meets(text.substr(0, end))) return std::string(text.substr(0, end));
    }

    const auto chars = charactersOf(text);
    for (std::size_t i = chars.size(); i >= 1; --i) {
        if (!chars[i - 1].single(isClauseSeparator)) continue;
        if (i < chars.size() && !chars[i].whitespace()) continue;
        const std::string_view prefix = text.substr(0, chars[i - 1].end);
        if (meets(prefix)) return std::string(prefix);
    }

    if (const std::size_t blank = text.rfind(' '); blank != std::string_view::npos) {
        if (meets(text.substr(0, blank))) return std::string(text.substr(0, blank));
    }
    return std::nullopt;
}

}  // namespace darori

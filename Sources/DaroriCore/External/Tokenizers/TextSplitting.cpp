#include "DaroriCore/External/Tokenizers/TextSplitting.hpp"

#include <optional>

#include <utf8proc.h>

#include "Unicode/Unicode.hpp"

namespace darori {
namespace {

// Calls find(from) for successive search starts, and visit for each occurrence found; find
// returns the next occurrence in text[from, end) or nothing.
template <class Find, class Visit>
void scan(std::string_view text, Find&& find, Visit&& visit) {
    std::size_t from = 0;
    while (true) {
        const std::optional<TextRange> found = find(from);
        if (!found) break;
        visit(*found);
        if (!found->empty()) {
            from = found->end;
        } else {
            if (found->begin >= text.size()) break;
            from = nextCharacter(text, found->begin);
        }
    }
}

template <class Find>
std::vector<TextRange> collect(std::string_view text, Find&& find) {
    std::vector<TextRange> out;
    scan(text, std::forward<Find>(find), [&](const TextRange& r) { out.push_back(r); });
    return out;
}

std::vector<TextRange> literalRanges(std::string_view text, std::string_view search) {
    if (search.empty()) return {};
    return collect(text, [&](std::size_t from) -> std::optional<TextRange> {
        const std::size_t at = text.find(search, from);
        if (at == std::string_view::npos) return std::nullopt;
        return TextRange{at, at + search.size()};
    });
}

std::vector<std::string> cut(std::string_view text, const std::vector<TextRange>& occurrences, bool includeSeparators,
                             bool omittingEmpty) {
    std::vector<std::string> out;
    std::size_t position = 0;
    for (const TextRange& r : occurrences) {
        if (r.begin < position) continue;
        if (!omittingEmpty || r.begin > position) out.emplace_back(text.substr(position, r.begin - position));
        if (includeSeparators && (!omittingEmpty || !r.empty())) out.emplace_back(r.of(text));
        position = r.end;
    }
    if (!omittingEmpty || position < text.size()) out.emplace_back(text.substr(position));
    return out;
}

std::vector<std::string> byBehavior(std::string_view text, const std::vector<TextRange>& occurrences,
                                    SplitDelimiterBehavior behavior) {
    std::vector<std::string> out;
    std::size_t start = 0;
    switch (behavior) {
        case SplitDelimiterBehavior::removed:
            return cut(text, occurrences, false, true);
        case SplitDelimiterBehavior::isolated:
            return cut(text, occurrences, true, true);
        case SplitDelimiterBehavior::mergedWithPrevious:
            for (const TextRange& r : occurrences) {
                if (r.end <= start) continue;  // an empty occurrence where the last piece ended
                out.emplace_back(text.substr(start, r.end - start));
                start = r.end;
            }
            break;
        case SplitDelimiterBehavior::mergedWithNext:
            for (const TextRange& r : occurrences) {
                if (r.begin <= start) continue;  // at the very start, or where the last piece began
                out.emplace_back(text.substr(start, r.begin - start));
                start = r.begin;
            }
            break;
    }
    if (start < text.size()) out.emplace_back(text.substr(start));
    return out;
}

}  // namespace

std::size_t nextCharacter(std::string_view text, std::size_t at) {
    if (at >= text.size()) return text.size();
    std::size_t i = at;
    utf8proc_int32_t state = 0;
    auto previous = static_cast<utf8proc_int32_t>(unicode::decodeAt(text, i));
    while (i < text.size()) {
        std::size_t next = i;
        const auto cp = static_cast<utf8proc_int32_t>(unicode::decodeAt(text, next));
        if (utf8proc_grapheme_break_stateful(previous, cp, &state)) break;
        previous = cp;
        i = next;
    }
    return i;
}

void forEachRange(std::string_view text, const Regex& search, const std::function<void(const TextRange&)>& visit) {
    MatchData match(search);
    scan(
        text,
        [&](std::size_t from) -> std::optional<TextRange> {
            if (!search.searchBounded(text, from, match)) return std::nullopt;
            return match.range();
        },
        visit);
}

std::vector<TextRange> ranges(std::string_view text, const Regex& search) {
    std::vector<TextRange> out;
    forEachRange(text, search, [&](const TextRange& r) { out.push_back(r); });
    return out;
}

std::vector<TextRange> ranges(std::string_view text, std::string_view search, SearchOptions options) {
    if (options == SearchOptions::none) return literalRanges(text, search);
    std::optional<Regex> regex;
    try {
        regex.emplace(search);
    } catch (const RegexError&) {
        return {};
    }
    return ranges(text, *regex);
}

std::vector<std::string> split(std::string_view text, std::string_view separator, SearchOptions options,
                               bool includeSeparators, bool omittingEmptySubsequences) {
    return cut(text, ranges(text, separator, options), includeSeparators, omittingEmptySubsequences);
}

std::vector<std::string> split(std::string_view text, const Regex& separator, bool includeSeparators,
                               bool omittingEmptySubsequences) {
    return cut(text, ranges(text, separator), includeSeparators, omittingEmptySubsequences);
}

std::vector<std::string> split(std::string_view text, std::string_view separator, SearchOptions options,
                               SplitDelimiterBehavior behavior) {
    return byBehavior(text, ranges(text, separator, options), behavior);
}

std::vector<std::string> split(std::string_view text, const Regex& separator, SplitDelimiterBehavior behavior) {
    return byBehavior(text, ranges(text, separator), behavior);
}

std::vector<std::string> split(std::string_view text, const Regex& regex) {
    std::vector<std::string> out;
    std::size_t position = 0;
    bool matched = false;
    regex.forEachMatch(text, [&](const MatchData& match) {
        matched = true;
        const TextRange whole = match.range();
        if (whole.begin < position) return true;
        if (whole.begin > position) out.emplace_back(text.substr(position, whole.begin - position));
        for (std::size_t n = regex.groupCount() + 1; n-- > 0;) {
            if (auto group = match.group(n)) {
                out.emplace_back(group->of(text));
                break;
            }
        }
        position = whole.end;
        return true;
    });
    if (!matched) return {std::string(text)};
    if (position < text.size()) out.emplace_back(text.substr(position));
    return out;
}

}  // namespace darori

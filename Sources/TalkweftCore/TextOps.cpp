#include "TalkweftCore/TextOps.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "Unicode/Unicode.hpp"

namespace talkweft {

namespace {

// After these no blank is inserted: ( [ { " ' U+201C U+2018 / -
constexpr std::array<std::string_view, 9> OPENERS = {"(", "[", "{", "\"", "'", "\xE2\x80\x9C", "\xE2\x80\x98", "/", "-"};
// Before these no blank is inserted.
constexpr std::string_view CLOSERS = ".,;:!?)]}";

std::int64_t distance(const unicode::UTF16Span& occ, std::int64_t near) {
    const auto start = static_cast<std::int64_t>(occ.location);
    const auto end = start + static_cast<std::int64_t>(occ.length);
    if (near < start) return start - near;
    if (near > end) return near - end;
    return 0;
}

}  // namespace

std::optional<UTF16Range> calcEditRange(std::string_view text, std::string_view find, std::int64_t nearUTF16) {
    if (find.empty() || text.empty()) return std::nullopt;
    const auto occurrences = unicode::findCanonical(text, find);
    if (occurrences.empty()) return std::nullopt;
    // Occurrences lie within the text, so halving the extremes keeps every distance representable
    // and leaves their order unchanged.
    constexpr std::int64_t LIMIT = std::numeric_limits<std::int64_t>::max() / 2;
    nearUTF16 = std::clamp(nearUTF16, -LIMIT, LIMIT);
    const unicode::UTF16Span* best = &occurrences.front();
    std::int64_t bestDistance = distance(*best, nearUTF16);
    for (const auto& occ : occurrences) {
        const std::int64_t d = distance(occ, nearUTF16);
        if (d < bestDistance) {
            best = &occ;
            bestDistance = d;
        }
    }
    return UTF16Range{static_cast<std::int64_t>(best->location), static_cast<std::int64_t>(best->length)};
}

std::optional<std::string> calcAppliedEdit(std::string_view text, UTF16Range range, std::string_view replace) {
    if (range.location < 0 || range.length < 0) return std::nullopt;
    const auto total = static_cast<std::int64_t>(unicode::utf16Length(text));
    if (range.location > total || range.length > total - range.location) return std::nullopt;
    const auto lo = static_cast<std::size_t>(range.location);
    const auto hi = static_cast<std::size_t>(range.location + range.length);
    const auto b0 = unicode::byteOffset(text, lo, false);
    const auto b1 = unicode::byteOffset(text, hi, false);
    if (!b0 || !b1) return std::nullopt;
    // A bound between the two units of a surrogate pair would cut a character in half.
    if (*b0 != *unicode::byteOffset(text, lo, true) || *b1 != *unicode::byteOffset(text, hi, true))
        return std::nullopt;
    std::string out;
    out.reserve(text.size() - (*b1 - *b0) + replace.size());
    out.append(text.substr(0, *b0));
    out.append(replace);
    out.append(text.substr(*b1));
    return out;
}

std::string calcDictationText(std::string_view transcript, const std::optional<std::string>& before) {
    std::string trimmed = unicode::trimWhitespace(transcript);
    if (!before || before->empty() || trimmed.empty()) return trimmed;
    const std::string last = unicode::suffixCharacters(*before, 1);
    std::size_t i = 0;
    if (unicode::isWhitespace(unicode::decodeAt(last, i))) return trimmed;
    if (std::find(OPENERS.begin(), OPENERS.end(), last) != OPENERS.end()) return trimmed;
    const std::string first = unicode::prefixCharacters(trimmed, 1);
    if (first.size() == 1 && CLOSERS.find(first[0]) != std::string_view::npos) return trimmed;
    return " " + trimmed;
}

std::optional<std::string> calcTextBeforeCaret(const AppContext& ctx) {
    if (!ctx.fieldText || !ctx.selection) return std::nullopt;
    const std::string& text = *ctx.fieldText;
    const auto total = static_cast<std::int64_t>(unicode::utf16Length(text));
    // Saturating location - base, so extreme values cannot overflow.
    std::int64_t start;
    if (__builtin_sub_overflow(ctx.selection->location, ctx.fieldTextBase, &start))
        start = ctx.fieldTextBase > 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    start = std::clamp<std::int64_t>(start, 0, total);
    return text.substr(0, *unicode::byteOffset(text, static_cast<std::size_t>(start), false));
}

float calcRMS(std::span<const float> samples) {
    if (samples.empty()) return 0.0f;
    float sum = 0.0f;
    for (const float s : samples) sum += s * s;
    return std::sqrt(sum / static_cast<float>(samples.size()));
}

bool isLikelyHallucination(std::string_view transcript) {
    const std::string lower = unicode::lowercase(unicode::trimWhitespace(transcript));
    return std::find(HALLUCINATIONS.begin(), HALLUCINATIONS.end(), lower) != HALLUCINATIONS.end();
}

}  // namespace talkweft

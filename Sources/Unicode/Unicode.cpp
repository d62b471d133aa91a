#include "Unicode/Unicode.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <vector>

namespace unicode {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

std::size_t unitsOf(char32_t cp) { return cp >= 0x10000 ? 2 : 1; }


// Byte offsets at which each grapheme cluster of `s` starts, plus s.size() at the end.
template <typename F>
void forEachBoundary(std::string_view s, F&& f) {
    utf8proc_int32_t state = 0;
    char32_t prev = 0;
    bool first = true;
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t start = i;
        const char32_t cp = decodeAt(s, i);
        if (first || utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(prev),
                                                      static_cast<utf8proc_int32_t>(cp), &state)) {
            if (!f(start)) return;
        }
        first = false;
        prev = cp;
    }
    f(s.size());
}

}  // namespace

namespace {

// As decodeAt; `valid` tells a decoded code point (U+FFFD itself included) from a replaced
// subpart. The second byte's range depends on the lead (Unicode's table of well-formed
// sequences), which rules out overlong forms, surrogates and values above U+10FFFF without
// consuming the byte that shows it.
char32_t decodeChecked(std::string_view s, std::size_t& i, bool& valid) {
    valid = false;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    const unsigned char lead = p[i];
    if (lead < 0x80) {
        ++i;
        valid = true;
        return lead;
    }
    int length = 0;
    char32_t cp = 0;
    unsigned char low = 0x80;  // the range allowed for the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        ++i;
        return REPLACEMENT;
    }
    std::size_t at = i + 1;
    for (int k = 1; k < length; ++k, ++at) {
        const unsigned char lo = k == 1 ? low : 0x80;
        const unsigned char hi = k == 1 ? high : 0xBF;
        if (at >= n || p[at] < lo || p[at] > hi) {
            i = at;  // the maximal subpart ends before the byte that does not fit
            return REPLACEMENT;
        }
        cp = (cp << 6) | (p[at] & 0x3F);
    }
    i = at;
    valid = true;
    return cp;
}

}  // namespace

char32_t decodeAt(std::string_view s, std::size_t& i) {
    bool valid = false;
    return decodeChecked(s, i, valid);
}

void appendUTF8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = REPLACEMENT;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::size_t utf16Length(std::string_view s) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < s.size();) units += unitsOf(decodeAt(s, i));
    return units;
}

std::u16string toUTF16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const char32_t cp = decodeAt(s, i);
        if (cp >= 0x10000) {
            const char32_t v = cp - 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string fromUTF16(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t u = s[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            appendUTF8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            appendUTF8(out, REPLACEMENT);
        } else {
            appendUTF8(out, u);
        }
    }
    return out;
}

std::optional<std::size_t> byteOffset(std::string_view s, std::size_t offset, bool roundUp) {
    std::size_t units = 0;
    std::size_t i = 0;
    while (i < s.size()) {
        if (units == offset) return i;
        const std::size_t start = i;
        const std::size_t w = unitsOf(decodeAt(s, i));
        if (units + w > offset) return roundUp ? i : start;  // offset splits a surrogate pair
        units += w;
    }
    if (units == offset) return s.size();
    return std::nullopt;
}

std::size_t utf16Offset(std::string_view s, std::size_t bytes) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < s.size() && i < bytes;) units += unitsOf(decodeAt(s, i));
    return units;
}

std::string utf16Substring(std::string_view s, std::size_t location, std::size_t length) {
    const std::size_t total = utf16Length(s);
    const std::size_t lo = std::min(location, total);
    const std::size_t hi = length > total - lo ? total : lo + length;
    const std::size_t b0 = *byteOffset(s, lo, false);
    const std::size_t b1 = *byteOffset(s, hi, true);
    return std::string(s.substr(b0, b1 - b0));
}

std::size_t characterCount(std::string_view s) {
    std::size_t count = 0;
    forEachBoundary(s, [&](std::size_t b) {
        if (b < s.size()) ++count;
        return true;
    });
    return count;
}

std::string prefixCharacters(std::string_view s, std::size_t n) {
    std::size_t count = 0;
    std::size_t end = s.size();
    forEachBoundary(s, [&](std::size_t b) {
        if (count == n) {
            end = b;
            return false;
        }
        ++count;
        return true;
    });
    return std::string(s.substr(0, end));
}

std::string suffixCharacters(std::string_view s, std::size_t n) {
    if (n == 0) return {};
    std::vector<std::size_t> starts;
    forEachBoundary(s, [&](std::size_t b) {
        if (b < s.size()) starts.push_back(b);
        return true;
    });
    if (starts.size() <= n) return std::string(s);
    return std::string(s.substr(starts[starts.size() - n]));
}

namespace {

int combiningClass(char32_t cp) { return utf8proc_get_property(static_cast<utf8proc_int32_t>(cp))->combining_class; }

// Puts a run of non-starters in canonical order: a stable sort by combining class. Runs of a few
// marks (the usual case) take an insertion sort; longer ones a counting sort over the 255 classes,
// so a hostile run of marks in reverse order costs linear time, not quadratic.
void orderMarks(char32_t* first, std::size_t n) {
    if (n < 2) return;
    if (n <= 16) {
        for (std::size_t i = 1; i < n; ++i) {
            const char32_t c = first[i];
            const int cc = combiningClass(c);
            std::size_t j = i;
            for (; j > 0 && combiningClass(first[j - 1]) > cc; --j) first[j] = first[j - 1];
            first[j] = c;
        }
        return;
    }
    std::array<std::size_t, 257> next{};
    for (std::size_t i = 0; i < n; ++i) ++next[static_cast<std::size_t>(combiningClass(first[i])) + 1];
    for (std::size_t k = 1; k < next.size(); ++k) next[k] += next[k - 1];
    std::vector<char32_t> sorted(n);
    for (std::size_t i = 0; i < n; ++i) sorted[next[static_cast<std::size_t>(combiningClass(first[i]))]++] = first[i];
    std::copy(sorted.begin(), sorted.end(), first);
}

// Canonical decomposition (NFD) of `s`, plus for every position of the result the UTF-16 offset in
// `s` at which a match may start or end there (-1 where it may not). Such cut points lie before
// every character whose decomposition begins with a starter (combining class 0), and at the end:
// canonical reordering never moves anything across them, so the decomposition of the whole text is
// the concatenation of the decompositions of the pieces between them. Linear in the text's length.
struct Decomposed {
    std::u32string chars;
    std::vector<long long> cutAt;  // chars.size() + 1 entries when cuts are wanted, else empty
};

Decomposed decompose(std::string_view s, bool withCuts) {
    Decomposed d;
    d.chars.reserve(s.size());
    if (withCuts) d.cutAt.reserve(s.size() + 1);
    std::size_t units = 0;
    std::size_t runStart = 0;  // first non-starter of the current run in d.chars
    const auto endRun = [&] {
        orderMarks(d.chars.data() + runStart, d.chars.size() - runStart);
    };
    utf8proc_int32_t buf[32];
    for (std::size_t i = 0; i < s.size();) {
        const char32_t cp = decodeAt(s, i);
        if (cp < 0xC0) {  // no decomposition, combining class 0
            if (withCuts) d.cutAt.push_back(static_cast<long long>(units));
            endRun();
            d.chars.push_back(cp);
            runStart = d.chars.size();
            ++units;
            continue;
        }
        int boundclass = 0;
        utf8proc_ssize_t n = utf8proc_decompose_char(static_cast<utf8proc_int32_t>(cp), buf, 32,
                                                     UTF8PROC_DECOMPOSE, &boundclass);
        if (n < 1 || n > 32) {
            buf[0] = static_cast<utf8proc_int32_t>(cp);
            n = 1;
        }
        if (withCuts) {
            const bool cut = d.chars.empty() || combiningClass(static_cast<char32_t>(buf[0])) == 0;
            d.cutAt.push_back(cut ? static_cast<long long>(units) : -1);
            for (utf8proc_ssize_t k = 1; k < n; ++k) d.cutAt.push_back(-1);
        }
        for (utf8proc_ssize_t k = 0; k < n; ++k) {
            const char32_t c = static_cast<char32_t>(buf[k]);
            if (combiningClass(c) == 0) {
                endRun();
                runStart = d.chars.size() + 1;
            }
            d.chars.push_back(c);
        }
        units += unitsOf(cp);
    }
    endRun();
    if (withCuts) d.cutAt.push_back(static_cast<long long>(units));
    return d;
}

std::string encode(std::u32string_view chars) {
    std::string out;
    out.reserve(chars.size());
    for (const char32_t c : chars) appendUTF8(out, c);
    return out;
}

// Index of every occurrence of `f` in `t`, overlapping ones included, in order (Knuth-Morris-Pratt:
// linear in both lengths whatever the texts hold). `f` is not empty.
std::vector<std::size_t> occurrences(std::u32string_view t, std::u32string_view f) {
    std::vector<std::size_t> fail(f.size(), 0);
    for (std::size_t i = 1, k = 0; i < f.size(); ++i) {
        while (k > 0 && f[i] != f[k]) k = fail[k - 1];
        if (f[i] == f[k]) ++k;
        fail[i] = k;
    }
    std::vector<std::size_t> hits;
    for (std::size_t i = 0, k = 0; i < t.size(); ++i) {
        while (k > 0 && t[i] != f[k]) k = fail[k - 1];
        if (t[i] == f[k]) ++k;
        if (k == f.size()) {
            hits.push_back(i + 1 - f.size());
            k = fail[k - 1];
        }
    }
    return hits;
}

}  // namespace

std::string nfd(std::string_view s) { return encode(decompose(s, false).chars); }

std::string nfc(std::string_view s) {
    // Our own decomposition and ordering, then utf8proc's composition pass (which does not reorder).
    const std::u32string d = decompose(s, false).chars;
    std::vector<utf8proc_int32_t> buf(d.begin(), d.end());
    const utf8proc_ssize_t n = utf8proc_normalize_utf32(buf.data(), static_cast<utf8proc_ssize_t>(buf.size()),
                                                        static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (n < 0) return encode(d);
    std::string out;
    out.reserve(s.size());
    for (utf8proc_ssize_t k = 0; k < n; ++k) appendUTF8(out, static_cast<char32_t>(buf[static_cast<std::size_t>(k)]));
    return out;
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    return a == b || decompose(a, false).chars == decompose(b, false).chars;
}

bool canonicallyEqualOptional(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    if (!a || !b) return !a && !b;
    return canonicallyEqual(*a, *b);
}

bool canonicallyEqualLists(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const std::string& x, const std::string& y) { return canonicallyEqual(x, y); });
}

std::vector<UTF16Span> findCanonical(std::string_view text, std::string_view find) {
    std::vector<UTF16Span> out;
    if (text.empty() || find.empty()) return out;
    const Decomposed t = decompose(text, true);
    const std::u32string f = decompose(find, false).chars;
    if (f.size() > t.chars.size()) return out;
    for (const std::size_t p : occurrences(t.chars, f)) {
        const long long start = t.cutAt[p];
        const long long end = t.cutAt[p + f.size()];
        if (start >= 0 && end >= 0)
            out.push_back({static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)});
    }
    return out;
}

std::vector<std::size_t> characterBoundaries(std::string_view s) {
    std::vector<std::size_t> out;
    forEachBoundary(s, [&](std::size_t b) {
        out.push_back(b);
        return true;
    });
    return out;
}

void appendLowercased(std::string& out, char32_t cp) {
    // The one code point whose full lower-case mapping is longer than one code point; utf8proc
    // knows only the simple mappings.
    if (cp == 0x130) {
        out += "i\xCC\x87";
        return;
    }
    appendUTF8(out, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(cp))));
}

std::string lowercase(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) appendLowercased(out, decodeAt(s, i));
    return out;
}

std::string repairUTF8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t start = i;
        bool valid = false;
        decodeChecked(s, i, valid);
        if (valid) out.append(s.substr(start, i - start));
        else appendUTF8(out, REPLACEMENT);
    }
    return out;
}

bool isValidUTF8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        bool valid = false;
        decodeChecked(s, i, valid);
        if (!valid) return false;
    }
    return true;
}

bool isWhitespace(char32_t cp) {
    switch (cp) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
        case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

std::string trimWhitespace(std::string_view s) {
    std::size_t begin = s.size();
    std::size_t end = 0;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t start = i;
        if (!isWhitespace(decodeAt(s, i))) {
            if (begin == s.size()) begin = start;
            end = i;
        }
    }
    if (begin >= end) return {};
    return std::string(s.substr(begin, end - begin));
}

}  // namespace unicode

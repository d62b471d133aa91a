#include "Unicode/Unicode.hpp"

#include <utf8proc.h>

#include <cstdlib>
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

namespace unicode {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

std::size_t unitsOf(char32_t cp) { return cp >= 0x10000 ? 2 : 1; }

std::string normalize(std::string_view s, int options) {
    const std::string clean = repairUTF8(s);
    utf8proc_uint8_t* out = nullptr;
    const utf8proc_ssize_t n = utf8proc_map(
        reinterpret_cast<const utf8proc_uint8_t*>(clean.data()), static_cast<utf8proc_ssize_t>(clean.size()), &out,
        static_cast<utf8proc_option_t>(UTF8PROC_STABLE | options));
    if (n < 0) return clean;
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> guard(out, &std::free);
    return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

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

char32_t decodeAt(std::string_view s, std::size_t& i) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    const unsigned char c = p[i];
    if (c < 0x80) {
        ++i;
        return c;
    }
    int len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; min = 0x80; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; min = 0x800; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; min = 0x10000; }
    else { ++i; return REPLACEMENT; }
    if (i + static_cast<std::size_t>(len) > n) { ++i; return REPLACEMENT; }
    for (int k = 1; k < len; ++k) {
        const unsigned char cc = p[i + static_cast<std::size_t>(k)];
        if ((cc & 0xC0) != 0x80) { ++i; return REPLACEMENT; }
        cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) { ++i; return REPLACEMENT; }
    i += static_cast<std::size_t>(len);
    return cp;
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
    std::vector<std::size_t> starts;
    forEachBoundary(s, [&](std::size_t b) {
        if (b < s.size()) starts.push_back(b);
        return true;
    });
    if (starts.size() <= n) return std::string(s);
    return std::string(s.substr(starts[starts.size() - n]));
}

std::string nfd(std::string_view s) { return normalize(s, UTF8PROC_DECOMPOSE); }
std::string nfc(std::string_view s) { return normalize(s, UTF8PROC_COMPOSE); }

bool canonicallyEqual(std::string_view a, std::string_view b) { return a == b || nfd(a) == nfd(b); }

bool canonicallyEqualOptional(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    if (!a || !b) return !a && !b;
    return canonicallyEqual(*a, *b);
}

bool canonicallyEqualLists(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const std::string& x, const std::string& y) { return canonicallyEqual(x, y); });
}

namespace {

int combiningClass(char32_t cp) { return utf8proc_get_property(static_cast<utf8proc_int32_t>(cp))->combining_class; }

// Canonical decomposition of `s`, plus for every position of the result the UTF-16 offset in `s`
// at which a match may start or end there (-1 where it may not). Such cut points lie before every
// character whose decomposition begins with a starter (combining class 0), and at the end: canonical
// reordering never moves anything across them, so the decomposition of the whole text is the
// concatenation of the decompositions of the pieces between them.
struct Decomposed {
    std::u32string chars;
    std::vector<long long> cutAt;  // chars.size() + 1 entries
};

Decomposed decomposeWithCuts(std::string_view s) {
    Decomposed d;
    std::size_t units = 0;
    std::size_t runStart = 0;  // first non-starter of the current run in d.chars
    utf8proc_int32_t buf[32];
    for (std::size_t i = 0; i < s.size();) {
        const char32_t cp = decodeAt(s, i);
        int boundclass = 0;
        utf8proc_ssize_t n = utf8proc_decompose_char(static_cast<utf8proc_int32_t>(cp), buf, 32,
                                                     UTF8PROC_DECOMPOSE, &boundclass);
        if (n < 1 || n > 32) {
            buf[0] = static_cast<utf8proc_int32_t>(cp);
            n = 1;
        }
        const bool cut = d.chars.empty() || combiningClass(static_cast<char32_t>(buf[0])) == 0;
        d.cutAt.push_back(cut ? static_cast<long long>(units) : -1);
        for (utf8proc_ssize_t k = 1; k < n; ++k) d.cutAt.push_back(-1);
        for (utf8proc_ssize_t k = 0; k < n; ++k) {
            const char32_t c = static_cast<char32_t>(buf[k]);
            if (combiningClass(c) == 0) {
                runStart = d.chars.size() + 1;
            } else {
                // Canonical ordering: a mark moves in front of marks of higher class, never past a starter.
                std::size_t j = d.chars.size();
                d.chars.push_back(c);
                while (j > runStart && combiningClass(d.chars[j - 1]) > combiningClass(c)) {
                    std::swap(d.chars[j - 1], d.chars[j]);
                    --j;
                }
                continue;
            }
            d.chars.push_back(c);
        }
        units += unitsOf(cp);
    }
    d.cutAt.push_back(static_cast<long long>(units));
    return d;
}

}  // namespace

std::vector<UTF16Span> findCanonical(std::string_view text, std::string_view find) {
    std::vector<UTF16Span> out;
    if (text.empty() || find.empty()) return out;
    const Decomposed t = decomposeWithCuts(text);
    const std::u32string f = decomposeWithCuts(find).chars;
    if (f.size() > t.chars.size()) return out;
    const std::boyer_moore_horspool_searcher searcher(f.begin(), f.end());
    auto from = t.chars.begin();
    while (true) {
        const auto hit = std::search(from, t.chars.end(), searcher);
        if (hit == t.chars.end()) break;
        const auto p = static_cast<std::size_t>(hit - t.chars.begin());
        const long long start = t.cutAt[p];
        const long long end = t.cutAt[p + f.size()];
        if (start >= 0 && end >= 0)
            out.push_back({static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)});
        from = hit + 1;
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
    for (std::size_t i = 0; i < s.size();) appendUTF8(out, decodeAt(s, i));
    return out;
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

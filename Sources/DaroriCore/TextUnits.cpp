#include "DaroriCore/TextUnits.hpp"

#include <cstdlib>

#include <utf8proc.h>

namespace darori::text {

char32_t decodeAt(std::string_view s, std::size_t& i) {
    utf8proc_int32_t cp = 0;
    const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + i),
                                    static_cast<utf8proc_ssize_t>(s.size() - i), &cp);
    if (n <= 0) {
        ++i;
        return 0xFFFD;
    }
    i += static_cast<std::size_t>(n);
    return static_cast<char32_t>(cp);
}

void appendUTF8(std::string& out, char32_t cp) {
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
    utf8proc_uint8_t buf[4];
    const auto n = utf8proc_encode_char(static_cast<utf8proc_int32_t>(cp), buf);
    out.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
}

void appendLowercased(std::string& out, char32_t cp) {
    // The one unconditional lower-case mapping to more than one code point; utf8proc knows only the
    // simple mappings.
    if (cp == 0x130) {
        out += "i\xCC\x87";
        return;
    }
    appendUTF8(out, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(cp))));
}

namespace {
std::string decomposed(std::string_view s) {
    utf8proc_uint8_t* out = nullptr;
    const auto n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(s.data()),
                                static_cast<utf8proc_ssize_t>(s.size()), &out,
                                static_cast<utf8proc_option_t>(UTF8PROC_DECOMPOSE | UTF8PROC_STABLE));
    if (n < 0) return std::string(s);  // invalid UTF-8: compared byte for byte
    std::string result(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
    std::free(out);
    return result;
}
}  // namespace

bool canonicallyEqual(std::string_view a, std::string_view b) {
    return a == b || decomposed(a) == decomposed(b);
}

std::vector<std::uint16_t> toUTF16(std::string_view s) {
    std::vector<std::uint16_t> out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const char32_t cp = decodeAt(s, i);
        if (cp >= 0x10000) {
            const char32_t v = cp - 0x10000;
            out.push_back(static_cast<std::uint16_t>(0xD800 + (v >> 10)));
            out.push_back(static_cast<std::uint16_t>(0xDC00 + (v & 0x3FF)));
        } else {
            out.push_back(static_cast<std::uint16_t>(cp));
        }
    }
    return out;
}

std::string fromUTF16(const std::uint16_t* units, std::size_t count) {
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            appendUTF8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(units[i + 1]) - 0xDC00));
            ++i;
        } else {
            appendUTF8(out, u);  // lone surrogates become U+FFFD there
        }
    }
    return out;
}

std::vector<std::size_t> characterBoundaries(std::string_view s) {
    std::vector<std::size_t> out;
    utf8proc_int32_t state = 0;
    char32_t previous = 0;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t start = i;
        const char32_t cp = decodeAt(s, i);
        if (start == 0 ||
            utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(previous),
                                             static_cast<utf8proc_int32_t>(cp), &state)) {
            out.push_back(start);
        }
        previous = cp;
    }
    out.push_back(s.size());
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
    std::size_t begin = s.size(), end = 0;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t start = i;
        if (!isWhitespace(decodeAt(s, i))) {
            if (begin == s.size()) begin = start;
            end = i;
        }
    }
    return begin >= end ? std::string() : std::string(s.substr(begin, end - begin));
}

}  // namespace darori::text

#include "DaroriCore/External/Tokenizers/UnicodeText.hpp"

#include <cstdlib>
#include <memory>

#include <utf8proc.h>

#include "Unicode/Unicode.hpp"

namespace darori {
namespace {

constexpr char32_t CAPITAL_SIGMA = 0x03A3;
constexpr char32_t FINAL_SIGMA = 0x03C2;

utf8proc_category_t categoryOf(char32_t cp) { return utf8proc_category(static_cast<utf8proc_int32_t>(cp)); }

bool isCased(char32_t cp) {
    const auto c = static_cast<utf8proc_int32_t>(cp);
    const utf8proc_category_t cat = categoryOf(cp);
    return cat == UTF8PROC_CATEGORY_LU || cat == UTF8PROC_CATEGORY_LL || cat == UTF8PROC_CATEGORY_LT ||
           utf8proc_tolower(c) != c || utf8proc_toupper(c) != c;
}

bool isCaseIgnorable(char32_t cp) {
    switch (cp) {
        case 0x0027: case 0x002E: case 0x003A: case 0x00B7: case 0x0387: case 0x055F: case 0x05F4: case 0x2018:
        case 0x2019: case 0x2024: case 0x2027: case 0xFE13: case 0xFE52: case 0xFE55: case 0xFF07: case 0xFF0E:
        case 0xFF1A:
            return true;
        default:
            break;
    }
    const utf8proc_category_t cat = categoryOf(cp);
    return cat == UTF8PROC_CATEGORY_MN || cat == UTF8PROC_CATEGORY_ME || cat == UTF8PROC_CATEGORY_CF ||
           cat == UTF8PROC_CATEGORY_LM || cat == UTF8PROC_CATEGORY_SK;
}

}  // namespace

char32_t nextCodePoint(std::string_view text, std::size_t& at) { return unicode::decodeAt(text, at); }

std::string decodeUTF8Lossy(std::string_view bytes) { return unicode::repairUTF8(bytes); }

bool isValidUTF8(std::string_view bytes) { return unicode::isValidUTF8(bytes); }

std::string normalized(std::string_view text, NormalizationForm form) {
    const std::string clean = decodeUTF8Lossy(text);
    int options = UTF8PROC_STABLE;
    switch (form) {
        case NormalizationForm::nfd: options |= UTF8PROC_DECOMPOSE; break;
        case NormalizationForm::nfc: options |= UTF8PROC_COMPOSE; break;
        case NormalizationForm::nfkd: options |= UTF8PROC_DECOMPOSE | UTF8PROC_COMPAT; break;
        case NormalizationForm::nfkc: options |= UTF8PROC_COMPOSE | UTF8PROC_COMPAT; break;
    }
    utf8proc_uint8_t* out = nullptr;
    const utf8proc_ssize_t n =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(clean.data()), static_cast<utf8proc_ssize_t>(clean.size()),
                     &out, static_cast<utf8proc_option_t>(options));
    if (n < 0) return clean;
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(out, &std::free);
    return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

std::string lowercased(std::string_view text) {
    const std::string clean = decodeUTF8Lossy(text);
    std::u32string cps;
    cps.reserve(clean.size());
    for (std::size_t i = 0; i < clean.size();) cps.push_back(nextCodePoint(clean, i));

    std::string out;
    out.reserve(clean.size());
    for (std::size_t k = 0; k < cps.size(); ++k) {
        if (cps[k] != CAPITAL_SIGMA) {
            unicode::appendLowercased(out, cps[k]);
            continue;
        }
        std::size_t before = k;
        while (before > 0 && isCaseIgnorable(cps[before - 1])) --before;
        const bool casedBefore = before > 0 && isCased(cps[before - 1]);
        std::size_t after = k + 1;
        while (after < cps.size() && isCaseIgnorable(cps[after])) ++after;
        const bool casedAfter = after < cps.size() && isCased(cps[after]);
        unicode::appendUTF8(out, casedBefore && !casedAfter ? FINAL_SIGMA : 0x03C3);
    }
    return out;
}

bool isWhitespace(char32_t codePoint) { return unicode::isWhitespace(codePoint); }

bool isBlank(char32_t codePoint) { return codePoint == '\t' || categoryOf(codePoint) == UTF8PROC_CATEGORY_ZS; }

bool isOtherCategory(char32_t codePoint) {
    switch (categoryOf(codePoint)) {
        case UTF8PROC_CATEGORY_CC: case UTF8PROC_CATEGORY_CF: case UTF8PROC_CATEGORY_CS: case UTF8PROC_CATEGORY_CO:
        case UTF8PROC_CATEGORY_CN:
            return true;
        default:
            return false;
    }
}

}  // namespace darori

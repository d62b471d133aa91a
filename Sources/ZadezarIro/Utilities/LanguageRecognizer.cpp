#include "ZadezarIro/Utilities/LanguageRecognizer.hpp"

#include <array>

#include <utf8proc.h>

#include "Unicode/Unicode.hpp"

namespace zadezariro::LanguageRecognizer {

namespace {
enum Script { han, kana, hangul, thai, lao, myanmar, other, scriptCount };

Script scriptOf(char32_t cp) {
    if ((cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x20000 && cp <= 0x2FA1F) ||
        (cp >= 0xF900 && cp <= 0xFAFF) || cp == 0x3005 || cp == 0x3007)
        return han;
    if ((cp >= 0x3040 && cp <= 0x30FF) || (cp >= 0x31F0 && cp <= 0x31FF) || (cp >= 0xFF66 && cp <= 0xFF9F)) return kana;
    if ((cp >= 0xAC00 && cp <= 0xD7AF) || (cp >= 0x1100 && cp <= 0x11FF) || (cp >= 0x3130 && cp <= 0x318F)) return hangul;
    if (cp >= 0x0E00 && cp <= 0x0E7F) return thai;
    if (cp >= 0x0E80 && cp <= 0x0EFF) return lao;
    if ((cp >= 0x1000 && cp <= 0x109F) || (cp >= 0xA9E0 && cp <= 0xA9FF) || (cp >= 0xAA60 && cp <= 0xAA7F)) return myanmar;
    return other;
}

bool isLetterOrMark(char32_t cp) {
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
        case UTF8PROC_CATEGORY_LU:
        case UTF8PROC_CATEGORY_LL:
        case UTF8PROC_CATEGORY_LT:
        case UTF8PROC_CATEGORY_LM:
        case UTF8PROC_CATEGORY_LO:
        case UTF8PROC_CATEGORY_MN:
        case UTF8PROC_CATEGORY_MC: return true;
        default: return false;
    }
}
}  // namespace

std::optional<std::string> dominantLanguage(std::string_view text) {
    std::array<std::size_t, scriptCount> counts{};
    for (std::size_t i = 0; i < text.size();) {
        const char32_t cp = unicode::decodeAt(text, i);
        if (isLetterOrMark(cp)) ++counts[scriptOf(cp)];
    }
    // Japanese writes Han and kana together: any kana makes the Han letters Japanese.
    if (counts[kana] > 0) {
        counts[kana] += counts[han];
        counts[han] = 0;
    }
    std::size_t best = other;
    for (std::size_t s = 0; s < scriptCount; ++s)
        if (counts[s] > counts[best]) best = s;
    if (counts[best] == 0 || best == other) return std::nullopt;
    static const char* CODES[] = {"zh", "ja", "ko", "th", "lo", "my"};
    return std::string(CODES[best]);
}

}  // namespace zadezariro::LanguageRecognizer

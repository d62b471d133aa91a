#include "DaroriCore/SentenceBoundaries.hpp"

#include <utf8proc.h>

#include "Unicode/Unicode.hpp"

namespace darori::text {
namespace {

enum class SB { CR, LF, Sep, Sp, Lower, Upper, OLetter, Numeric, ATerm, STerm, Close, SContinue, Extend, Other };

SB classify(char32_t cp) {
    switch (cp) {
    case 0x0D: return SB::CR;
    case 0x0A: return SB::LF;
    case 0x85: case 0x2028: case 0x2029: return SB::Sep;
    case '.': case 0x2024: case 0xFE52: case 0xFF0E: return SB::ATerm;
    case '!': case '?': case 0x0589: case 0x061F: case 0x06D4: case 0x0964: case 0x0965: case 0x203C: case 0x203D:
    case 0x2047: case 0x2048: case 0x2049: case 0x3002: case 0xFF01: case 0xFF1F: case 0xFF61:
        return SB::STerm;
    case '"': case '\'': return SB::Close;
    case ',': case '-': case ':': case ';': case 0x055D: case 0x060C: case 0x060D: case 0x07F8: case 0x1802:
    case 0x1808: case 0x2013: case 0x2014: case 0x3001: case 0xFE10: case 0xFE11: case 0xFE13: case 0xFE31:
    case 0xFE32: case 0xFE50: case 0xFE51: case 0xFE55: case 0xFE58: case 0xFE63: case 0xFF0C: case 0xFF0D:
    case 0xFF1A: case 0xFF1B: case 0xFF64:
        return SB::SContinue;
    default: break;
    }
    if (unicode::isWhitespace(cp)) return SB::Sp;
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
    case UTF8PROC_CATEGORY_LL: return SB::Lower;
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LT: return SB::Upper;
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_NL: return SB::OLetter;
    case UTF8PROC_CATEGORY_ND: return SB::Numeric;
    case UTF8PROC_CATEGORY_PS:
    case UTF8PROC_CATEGORY_PE:
    case UTF8PROC_CATEGORY_PI:
    case UTF8PROC_CATEGORY_PF: return SB::Close;
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_ME:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_CF: return SB::Extend;
    default: return SB::Other;
    }
}

bool isParaSep(SB c) { return c == SB::CR || c == SB::LF || c == SB::Sep; }
bool isSATerm(SB c) { return c == SB::ATerm || c == SB::STerm; }

struct Unit {
    SB cls;
    std::size_t begin;  // byte offset of the unit's first code point
};

// True when there is a sentence break between units[i - 1] and units[i].
bool breaksBefore(const std::vector<Unit>& u, std::size_t i) {
    const SB prev = u[i - 1].cls, cur = u[i].cls;
    if (prev == SB::CR && cur == SB::LF) return false;  // SB3
    if (isParaSep(prev)) return true;                   // SB4
    // Never a break before a blank (SB9, SB10, SB998) or inside a run of closing marks (SB9,
    // SB998). Deciding these without the look-back keeps long runs linear.
    if (cur == SB::Sp || (cur == SB::Close && prev == SB::Close)) return false;
    // Look back over Sp* then Close* for a terminator.
    std::size_t j = i;
    bool sawSp = false;
    while (j > 0 && u[j - 1].cls == SB::Sp) --j, sawSp = true;
    while (j > 0 && u[j - 1].cls == SB::Close) --j;
    if (j == 0 || !isSATerm(u[j - 1].cls)) return false;  // SB998
    const std::size_t term = j - 1;
    const bool directlyAfterTerm = term == i - 1;
    if (u[term].cls == SB::ATerm) {
        if (directlyAfterTerm && cur == SB::Numeric) return false;  // SB6
        if (directlyAfterTerm && cur == SB::Upper && term > 0 &&
            (u[term - 1].cls == SB::Upper || u[term - 1].cls == SB::Lower)) {
            return false;  // SB7
        }
        for (std::size_t k = i; k < u.size(); ++k) {  // SB8
            const SB c = u[k].cls;
            if (c == SB::Lower) return false;
            if (c == SB::OLetter || c == SB::Upper || isParaSep(c) || isSATerm(c)) break;
        }
    }
    if (cur == SB::SContinue || isSATerm(cur)) return false;       // SB8a
    if (!sawSp && (cur == SB::Close || cur == SB::Sp || isParaSep(cur))) return false;  // SB9
    if (cur == SB::Sp || isParaSep(cur)) return false;             // SB10
    return true;                                                    // SB11
}

}  // namespace

std::vector<std::pair<std::size_t, std::size_t>> sentenceRanges(std::string_view s) {
    // Extend and format characters belong to the character before them.
    std::vector<Unit> units;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t start = i;
        const SB cls = classify(unicode::decodeAt(s, i));
        if (cls == SB::Extend && !units.empty() && !isParaSep(units.back().cls)) continue;
        units.push_back({cls == SB::Extend ? SB::Other : cls, start});
    }
    std::vector<std::pair<std::size_t, std::size_t>> out;
    std::size_t begin = 0;
    for (std::size_t i = 1; i < units.size(); ++i) {
        if (breaksBefore(units, i)) {
            out.emplace_back(begin, units[i].begin);
            begin = units[i].begin;
        }
    }
    if (!units.empty()) out.emplace_back(begin, s.size());
    return out;
}

}  // namespace darori::text

#include "DaroriCore/External/Tokenizers/Regex.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>

#include "Unicode/Unicode.hpp"

namespace darori {
namespace {

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Byte offset of the code point after the one at `at` (a maximal invalid subpart counts as one).
std::size_t codePointEnd(std::string_view text, std::size_t at) {
    if (at >= text.size()) return text.size();
    unicode::decodeAt(text, at);
    return at;
}

PCRE2_SPTR subjectOf(std::string_view text) { return reinterpret_cast<PCRE2_SPTR>(text.data()); }

// True for a match, false for none; throws RegexMatchError when PCRE2 gives up (a limit reached),
// since taking that for "no match" would silently cut a search short.
bool run(const pcre2_code* code, const std::string& pattern, std::string_view subject, std::size_t start,
         pcre2_match_data* match) {
    int rc = pcre2_match(code, subjectOf(subject), subject.size(), start, 0, match, nullptr);
    // The JIT's stack is small; the interpreter keeps its backtracking on the heap and goes further.
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
        rc = pcre2_match(code, subjectOf(subject), subject.size(), start, PCRE2_NO_JIT, match, nullptr);
    }
    if (rc >= 0) return true;
    if (rc == PCRE2_ERROR_NOMATCH) return false;
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(rc, message, sizeof message);
    throw RegexMatchError("Cannot search with the regular expression '" + pattern + "': " +
                          reinterpret_cast<const char*>(message));
}

}  // namespace

std::string Regex::pcreSyntax(std::string_view pattern) {
    std::string out;
    out.reserve(pattern.size());
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c != '\\' || i + 1 >= pattern.size()) {
            out.push_back(c);
            continue;
        }
        const char e = pattern[i + 1];
        const std::size_t digits = e == 'u' ? 4 : e == 'U' ? 8 : 0;
        if (digits > 0 && i + 2 + digits <= pattern.size() &&
            std::all_of(pattern.begin() + static_cast<std::ptrdiff_t>(i + 2),
                        pattern.begin() + static_cast<std::ptrdiff_t>(i + 2 + digits), isHex)) {
            out += "\\x{";
            out.append(pattern.substr(i + 2, digits));
            out.push_back('}');
            i += 1 + digits;
        } else {
            // Any other escape, including an escaped backslash, passes through whole.
            out.push_back(c);
            out.push_back(e);
            ++i;
        }
    }
    return out;
}

Regex::Regex(std::string_view pattern) : pattern_(pattern) {
    const std::string source = pcreSyntax(pattern);
    std::unique_ptr<pcre2_compile_context, decltype(&pcre2_compile_context_free)> context(
        pcre2_compile_context_create(nullptr), &pcre2_compile_context_free);
    pcre2_set_newline(context.get(), PCRE2_NEWLINE_ANY);
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    pcre2_code* code = pcre2_compile(subjectOf(source), source.size(), PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF,
                                     &errorCode, &errorOffset, context.get());
    if (code == nullptr) {
        PCRE2_UCHAR message[256];
        pcre2_get_error_message(errorCode, message, sizeof message);
        throw RegexError("Cannot compile the regular expression '" + pattern_ + "': " +
                         reinterpret_cast<const char*>(message) + " at offset " + std::to_string(errorOffset));
    }
    // Without JIT support the interpreter runs the same expression, only slower.
    pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    code_.reset(code, &pcre2_code_free);
    std::uint32_t captures = 0;
    pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &captures);
    groupCount_ = captures;
}

MatchData::MatchData(const Regex& regex)
    : data_(pcre2_match_data_create_from_pattern(regex.code_.get(), nullptr)), groupCount_(regex.groupCount_) {
    if (data_ == nullptr) throw std::bad_alloc();
}

MatchData::~MatchData() { pcre2_match_data_free(data_); }

std::optional<TextRange> MatchData::group(std::size_t n) const {
    if (n > groupCount_ || n >= pcre2_get_ovector_count(data_)) return std::nullopt;
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data_);
    const PCRE2_SIZE begin = ovector[2 * n];
    const PCRE2_SIZE end = ovector[2 * n + 1];
    if (begin == PCRE2_UNSET || end == PCRE2_UNSET) return std::nullopt;
    // \K inside a look-ahead can report an end before the start.
    return TextRange{base_ + begin, base_ + std::max(begin, end)};
}

bool Regex::searchBounded(std::string_view text, std::size_t from, MatchData& match) const {
    if (from > text.size()) return false;
    const std::string_view subject = text.substr(from);
    if (!run(code_.get(), pattern_, subject, 0, match.data_)) return false;
    match.base_ = from;
    return true;
}

void Regex::forEachMatch(std::string_view text, const std::function<bool(const MatchData&)>& visit) const {
    MatchData match(*this);
    std::size_t from = 0;
    while (from <= text.size()) {
        if (!run(code_.get(), pattern_, text, from, match.data_)) return;
        match.base_ = 0;
        const TextRange found = match.range();
        if (!visit(match)) return;
        if (!found.empty() && found.end > from) {
            from = found.end;
        } else {
            // An empty match may lie after `from` ("$", a look-ahead): resuming at it would find
            // it again, so step one code point past it.
            const std::size_t at = std::max(from, found.begin);
            if (at >= text.size()) return;
            from = codePointEnd(text, at);
        }
    }
}

std::vector<std::vector<std::optional<TextRange>>> Regex::matches(std::string_view text) const {
    std::vector<std::vector<std::optional<TextRange>>> out;
    forEachMatch(text, [&](const MatchData& match) {
        std::vector<std::optional<TextRange>> groups;
        groups.reserve(groupCount_ + 1);
        for (std::size_t n = 0; n <= groupCount_; ++n) groups.push_back(match.group(n));
        out.push_back(std::move(groups));
        return true;
    });
    return out;
}

std::string Regex::replacingMatches(std::string_view text, std::string_view templ) const {
    std::string out;
    out.reserve(text.size());
    std::size_t copied = 0;
    forEachMatch(text, [&](const MatchData& match) {
        const TextRange whole = match.range();
        out.append(text.substr(copied, whole.begin - copied));
        for (std::size_t i = 0; i < templ.size(); ++i) {
            const char c = templ[i];
            if (c == '\\' && i + 1 < templ.size()) {
                out.push_back(templ[++i]);
            } else if (c == '$' && i + 1 < templ.size() && isDigit(templ[i + 1])) {
                std::size_t group = 0;
                std::size_t j = i + 1;
                bool named = false;
                while (j < templ.size() && isDigit(templ[j])) {
                    const std::size_t next = group * 10 + static_cast<std::size_t>(templ[j] - '0');
                    if (next > groupCount_) break;
                    group = next;
                    named = true;
                    ++j;
                }
                if (!named) ++j;  // a digit that names no group: skip it, insert nothing
                if (named) {
                    if (auto range = match.group(group)) out.append(range->of(text));
                }
                i = j - 1;
            } else {
                out.push_back(c);
            }
        }
        copied = whole.end;
        return true;
    });
    out.append(text.substr(copied));
    return out;
}

std::string Regex::escapedPattern(std::string_view literal) {
    std::string out;
    out.reserve(literal.size() * 2);
    for (const char c : literal) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = u >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) || c == '_';
        if (!plain && u >= 0x20 && u < 0x7F) out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

std::string Regex::escapedTemplate(std::string_view literal) {
    std::string out;
    out.reserve(literal.size());
    for (const char c : literal) {
        if (c == '\\' || c == '$') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

}  // namespace darori

// Regular expressions for the tokenizers, on PCRE2 in UTF and Unicode-property mode.
//
// Patterns are written in the ICU syntax that tokenizer files use. Before compiling, "\uXXXX" and
// "\UXXXXXXXX" escapes become PCRE2's "\x{...}"; the rest (\p{L}, \s, \d, look-ahead, classes) is
// read by PCRE2 as it stands, with \s, \d and \w Unicode-aware. Any line break ends a line for ".",
// "^" and "$". Subjects may hold invalid UTF-8: such bytes match nothing but are skipped safely.
//
// Positions are byte offsets into the UTF-8 subject; a match never starts or ends inside a code
// point of a valid sequence.
//
// A Regex is immutable after construction; copies share the compiled code, and one Regex may be used
// from many threads at once. A MatchData belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct pcre2_real_code_8;
struct pcre2_real_match_data_8;

namespace darori {

// A pattern that does not compile. what() holds the pattern and PCRE2's reason.
class RegexError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A search PCRE2 gave up on (match, depth or heap limit reached, or out of memory): whether the
// text holds a match is unknown, so the search fails rather than reporting none. what() holds the
// pattern and PCRE2's reason. Not a RegexError, so handlers of bad patterns do not take it.
class RegexMatchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The bytes [begin, end) of a UTF-8 text.
struct TextRange {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t size() const { return end - begin; }
    bool empty() const { return begin == end; }
    std::string_view of(std::string_view text) const { return text.substr(begin, end - begin); }
    friend bool operator==(const TextRange&, const TextRange&) = default;
};

class Regex;

// Working space for one search and its result: the ranges of the whole match and of each group.
// Reusable across searches of the same Regex; not shared between threads.
class MatchData {
public:
    explicit MatchData(const Regex& regex);
    ~MatchData();
    MatchData(const MatchData&) = delete;
    MatchData& operator=(const MatchData&) = delete;

    // After a successful search: the whole match (group 0) or capture group n, absent when the group
    // took no part or n is beyond the expression's groups.
    std::optional<TextRange> group(std::size_t n) const;
    TextRange range() const { return *group(0); }

private:
    friend class Regex;
    pcre2_real_match_data_8* data_ = nullptr;
    std::size_t groupCount_ = 0;
    std::size_t base_ = 0;  // added to the offsets PCRE2 reports
};

class Regex {
public:
    // Compiles an ICU-syntax pattern with no options. Throws RegexError when it does not compile.
    explicit Regex(std::string_view pattern);

    // The pattern as given (before rewriting).
    const std::string& pattern() const { return pattern_; }
    // Number of capture groups.
    std::size_t groupCount() const { return groupCount_; }

    // The first match in text[from, end), where the search sees only that stretch: "^" matches at
    // `from` and look-behind cannot look before it. False when there is none (also for from > size).
    // Every search throws RegexMatchError when PCRE2 gives up before it knows.
    bool searchBounded(std::string_view text, std::size_t from, MatchData& match) const;

    // Every match over the whole text, in order and not overlapping. After an empty match the next
    // search starts one code point after it (so no empty match is reported twice), and an empty
    // match at the end of the text is the last. `visit` sees each match; returning false stops.
    void forEachMatch(std::string_view text, const std::function<bool(const MatchData&)>& visit) const;

    // The ranges of capture groups of every match (as forEachMatch): entry 0 the whole match,
    // entry n group n or absent.
    std::vector<std::vector<std::optional<TextRange>>> matches(std::string_view text) const;

    // Every match replaced by `templ` read as a template: "$n" inserts capture group n (as many
    // digits as still name a group; a group that took part in nothing, or a "$" followed by a digit
    // that names no group, inserts nothing), a backslash makes the next character literal, a "$" not
    // followed by a digit is literal.
    std::string replacingMatches(std::string_view text, std::string_view templ) const;

    // The pattern that matches `literal` exactly: every ASCII character other than a letter, a digit
    // or "_" is escaped with a backslash.
    static std::string escapedPattern(std::string_view literal);
    // The template that inserts `literal` unchanged: "\" and "$" escaped.
    static std::string escapedTemplate(std::string_view literal);
    // The ICU pattern with "\uXXXX" and "\UXXXXXXXX" written as "\x{...}"; other text unchanged
    // (an escaped backslash stays escaped).
    static std::string pcreSyntax(std::string_view pattern);

private:
    friend class MatchData;
    std::string pattern_;
    std::shared_ptr<pcre2_real_code_8> code_;
    std::size_t groupCount_ = 0;
};

}  // namespace darori

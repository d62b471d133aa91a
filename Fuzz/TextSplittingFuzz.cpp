// The text splitting helpers on any pattern and text. Input: a regular expression, a NUL byte,
// then the text. Checks that every search ends, that ranges are ordered, disjoint and inside the
// text, and that the splits which keep every character give the text back when joined.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "DaroriCore/External/Tokenizers/Regex.hpp"
#include "DaroriCore/External/Tokenizers/TextSplitting.hpp"

using namespace darori;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void checkRanges(std::string_view text, const std::vector<TextRange>& found) {
    for (std::size_t k = 0; k < found.size(); ++k) {
        const TextRange& r = found[k];
        check(r.begin <= r.end && r.end <= text.size());
        if (k > 0) check(r.begin >= found[k - 1].end && r.begin > found[k - 1].begin);
    }
}

std::string joined(const std::vector<std::string>& pieces) {
    std::string out;
    for (const std::string& p : pieces) out += p;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    if (split == std::string_view::npos) return 0;
    const std::string_view pattern = input.substr(0, split);
    const std::string_view text = input.substr(split + 1);

    checkRanges(text, ranges(text, pattern, SearchOptions::none));
    check(joined(darori::split(text, pattern, SearchOptions::none, true)) == text);
    for (auto behavior : {SplitDelimiterBehavior::isolated, SplitDelimiterBehavior::mergedWithNext,
                          SplitDelimiterBehavior::mergedWithPrevious}) {
        check(joined(darori::split(text, pattern, SearchOptions::none, behavior)) == text);
    }

    std::optional<Regex> regex;
    try {
        regex.emplace(pattern);
    } catch (const RegexError&) {
        check(ranges(text, pattern, SearchOptions::regularExpression).empty());
        return 0;
    }
    try {
        checkRanges(text, ranges(text, *regex));
        check(joined(darori::split(text, *regex, true)) == text);
        for (auto behavior : {SplitDelimiterBehavior::isolated, SplitDelimiterBehavior::mergedWithNext,
                              SplitDelimiterBehavior::mergedWithPrevious}) {
            check(joined(darori::split(text, *regex, behavior)) == text);
        }
        darori::split(text, *regex);
        regex->replacingMatches(text, "<$1\\$>");
    } catch (const RegexMatchError&) {
        // A search PCRE2 gave up on (a match limit) fails as a whole; nothing to check.
    }
    return 0;
}

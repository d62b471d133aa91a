// Finding a literal or a regular expression in a text and cutting the text around the occurrences.
// The pre-tokenizers, the precompiled normalizer, the byte-pair model and the split at added tokens
// are built on these.
//
// Texts are UTF-8; ranges are byte offsets. A search with the regular-expression option sees only
// the stretch it searches (from its start to the end of the text), so "^" matches where the search
// starts and look-behind cannot look before it. A pattern given as text that does not compile
// finds nothing. A literal search compares bytes exactly; an empty literal finds nothing.
//
// Separators that match the empty text are handled everywhere: after an empty occurrence the next
// search starts one character (grapheme cluster) further on, and none is searched for past the end,
// so every helper ends.
//
// Pure functions; callable from any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "DaroriCore/External/Tokenizers/Regex.hpp"

namespace darori {

// How a search string is read: as exact text, or as a regular expression.
enum class SearchOptions { none, regularExpression };

// What split(text, separator, options, behavior) does with each occurrence of the separator.
enum class SplitDelimiterBehavior {
    removed,             // the non-empty stretches between occurrences
    isolated,            // those stretches and every occurrence as a piece of its own, in order
    mergedWithPrevious,  // every occurrence closes the piece before it
    mergedWithNext,      // every occurrence opens a new piece (one at the very start opens the first)
};

// The ranges of all non-overlapping occurrences, in order.
std::vector<TextRange> ranges(std::string_view text, std::string_view search, SearchOptions options);
std::vector<TextRange> ranges(std::string_view text, const Regex& search);
// The same occurrences handed to `visit` one by one, in order, without collecting them.
void forEachRange(std::string_view text, const Regex& search, const std::function<void(const TextRange&)>& visit);

// The stretches between occurrences of `separator`, with each occurrence's text as a piece of its
// own when `includeSeparators`. Empty pieces (and empty occurrences) are left out when
// `omittingEmptySubsequences`.
std::vector<std::string> split(std::string_view text, std::string_view separator, SearchOptions options,
                               bool includeSeparators, bool omittingEmptySubsequences = true);
std::vector<std::string> split(std::string_view text, const Regex& separator, bool includeSeparators,
                               bool omittingEmptySubsequences = true);

// The text cut at every occurrence of `separator`, the occurrences treated as `behavior` says. The
// empty text gives no pieces.
std::vector<std::string> split(std::string_view text, std::string_view separator, SearchOptions options,
                               SplitDelimiterBehavior behavior);
std::vector<std::string> split(std::string_view text, const Regex& separator, SplitDelimiterBehavior behavior);

// The text cut at every match of `regex` over the whole text: the non-empty stretches between
// matches, and for each match the text of its highest-numbered capture group that took part (the
// whole match when none did; an empty match gives an empty piece). No match: the whole text as the
// single piece, even when it is empty.
std::vector<std::string> split(std::string_view text, const Regex& regex);

// Byte offset of the start of the next character (extended grapheme cluster) after the one that
// starts at `at`; text.size() at or past the end.
std::size_t nextCharacter(std::string_view text, std::size_t at);

}  // namespace darori

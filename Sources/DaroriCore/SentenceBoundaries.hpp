// Sentence segmentation of UTF-8 text after the Unicode sentence-boundary rules (UAX #29): a
// sentence runs through its terminator, closing punctuation, trailing blanks and one paragraph
// separator. Abbreviation-like cases are kept together ("e.g. this", "3.14", "U.S.A"). Pure and
// thread-safe.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

namespace darori::text {

// The byte ranges [begin, end) of the sentences, in order, covering the whole text ("" gives none).
std::vector<std::pair<std::size_t, std::size_t>> sentenceRanges(std::string_view s);

}  // namespace darori::text

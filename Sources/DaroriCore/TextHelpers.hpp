// Text and number helpers shared by the tokenizers and the engine: trimming repeated trailing
// characters, rounding to decimal places, resolving a typed path, and finding a natural place to
// cut a growing text by a token budget. All pure (resolveAbsolutePath reads the environment and
// the current folder) and thread-safe.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace darori {

// `text` without up to `upto` trailing copies of `character` (one character: a grapheme cluster,
// compared by canonical equivalence, as characters compare). upto < 1 returns the text unchanged.
std::string trimmingFromEnd(std::string_view text, std::string_view character, int upto);

// value × 10^places rounded to the nearest integer, halves away from zero, divided back (all in
// 32-bit float arithmetic). rounded(2.5f, 0) == 3, rounded(-2.5f, 0) == -3.
float rounded(float value, int places);

// A leading "~" or "~user" expanded to that home folder; an absolute result as it is; a relative one
// appended to the current folder. A trailing "/" is dropped (except for "/").
std::string resolveAbsolutePath(std::string_view path);

using TokenEncoder = std::function<std::vector<int>(const std::string&)>;

// The longest prefix of `text` that ends at a natural boundary and whose trimmed text encodes to at
// least `minTokenCount` tokens; the prefix itself is returned untrimmed. Boundaries tried in turn:
// sentence ends (the last sentence only when complete: ended by . ! ? … 。 ！ ？ possibly followed by
// closing marks and blanks, or by a line break), clause separators (, ; : - –) followed by white
// space or the end, and the last blank. Absent when no boundary meets the minimum.
std::optional<std::string> lastNaturalBoundary(std::string_view text, int minTokenCount, const TokenEncoder& encode);

}  // namespace darori

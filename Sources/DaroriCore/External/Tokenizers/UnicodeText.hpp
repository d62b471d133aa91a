// The Unicode services the tokenizer stages need, on utf8proc: decoding bytes with replacement,
// normalisation forms, full lower-casing, character classes.
//
// Invalid UTF-8 reads as U+FFFD once per maximal invalid subpart, the rule of the Unicode library
// (unicode::decodeAt), so tokenizer text agrees with every other repaired text. Every function here
// is pure and thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace darori {

// The code point at byte offset `at`, advancing `at` past it; U+FFFD for a maximal invalid
// subpart, advancing past that subpart. Precondition: at < text.size().
char32_t nextCodePoint(std::string_view text, std::size_t& at);

// The bytes as valid UTF-8: each maximal invalid subpart replaced by U+FFFD, the rest unchanged.
std::string decodeUTF8Lossy(std::string_view bytes);
// True when the bytes are valid UTF-8 throughout.
bool isValidUTF8(std::string_view bytes);

enum class NormalizationForm { nfd, nfc, nfkd, nfkc };

// The text in the given normalisation form (invalid bytes repaired first).
std::string normalized(std::string_view text, NormalizationForm form);

// The text lower-cased by the full, locale-independent Unicode mapping: U+0130 becomes "i" and
// U+0307, and a capital sigma at the end of a word becomes the final sigma U+03C2 (a sigma preceded
// by a cased letter and not followed by one, case-ignorable characters between skipped).
std::string lowercased(std::string_view text);

// Unicode White_Space (line breaks included).
bool isWhitespace(char32_t codePoint);
// General category Zs, or the tab: the blanks that do not break lines.
bool isBlank(char32_t codePoint);
// General category Cc, Cf, Cs, Co or Cn.
bool isOtherCategory(char32_t codePoint);

}  // namespace darori

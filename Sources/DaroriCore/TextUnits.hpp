// UTF-8 / UTF-16 conversion and character (grapheme cluster) boundaries for the engine support
// library, which sits below the application's own text helpers.
//
// Invalid UTF-8 reads as U+FFFD per bad byte; a lone UTF-16 surrogate converts to U+FFFD.
// All functions are pure and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace darori::text {

// Decodes the code point at byte offset `i` and advances `i` past it. Precondition: i < s.size().
char32_t decodeAt(std::string_view s, std::size_t& i);
// Appends the UTF-8 form of `cp` (surrogates and values above U+10FFFF become U+FFFD).
void appendUTF8(std::string& out, char32_t cp);

std::vector<std::uint16_t> toUTF16(std::string_view s);
std::string fromUTF16(const std::uint16_t* units, std::size_t count);
inline std::string fromUTF16(const std::vector<std::uint16_t>& units) { return fromUTF16(units.data(), units.size()); }

// Byte offsets where each extended grapheme cluster starts, followed by s.size(). For "" the
// result is {0}.
std::vector<std::size_t> characterBoundaries(std::string_view s);

// Appends the full Unicode lower-case mapping of `cp` (U+0130 becomes "i" and U+0307).
void appendLowercased(std::string& out, char32_t cp);

// True when the two texts are canonically equivalent (equal after canonical decomposition).
bool canonicallyEqual(std::string_view a, std::string_view b);

// Unicode White_Space (blanks and line breaks).
bool isWhitespace(char32_t cp);
// The text without leading and trailing white space and line breaks.
std::string trimWhitespace(std::string_view s);

}  // namespace darori::text

// UTF-8 text helpers shared by every library: UTF-16 offsets, grapheme clusters, canonical
// equivalence, case and white space.
//
// All text in Talkweft is UTF-8 std::string. Positions inside another app's field are counted in
// UTF-16 code units; every conversion between the two goes through this file. Limits on text are
// counted in user-perceived characters (extended grapheme clusters, via utf8proc).
//
// Invalid UTF-8 is never an error here: it reads as U+FFFD (one UTF-16 unit) once per maximal
// invalid subpart, as Unicode recommends: a sequence that starts well but breaks off ("E2 82" then
// "x", or "E2 9F" at the end) is one replacement, and a byte that can start nothing (80, C0, F5 ...
// FF) is one of its own. Every repair of text in Talkweft follows this one rule.
// All functions are pure and thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace unicode {

// Decodes the code point at byte offset `i` of `s`; advances `i` past it. A maximal invalid
// subpart gives U+FFFD and `i` moves past that subpart. Precondition: i < s.size().
char32_t decodeAt(std::string_view s, std::size_t& i);

// Appends the UTF-8 encoding of `cp` (surrogates and values above U+10FFFF become U+FFFD).
void appendUTF8(std::string& out, char32_t cp);

// Number of UTF-16 code units of the text.
std::size_t utf16Length(std::string_view s);

// UTF-8 <-> UTF-16. Lone surrogates in UTF-16 input become U+FFFD.
std::u16string toUTF16(std::string_view s);
std::string fromUTF16(std::u16string_view s);

// Byte offset in `s` of the UTF-16 offset `offset`. An offset that falls between the two units of
// a surrogate pair is moved to the start of that character (roundUp = false) or past it
// (roundUp = true), so a character is never split. Absent when offset > utf16Length(s).
std::optional<std::size_t> byteOffset(std::string_view s, std::size_t offset, bool roundUp = false);

// UTF-16 offset of byte offset `bytes` (clamped to the text; a byte inside a character counts as
// the start of that character).
std::size_t utf16Offset(std::string_view s, std::size_t bytes);

// The text of the UTF-16 range [location, location + length), clamped to the text. A bound that
// splits a surrogate pair is widened outward so the character stays whole.
std::string utf16Substring(std::string_view s, std::size_t location, std::size_t length);

// Extended grapheme clusters ("characters").
std::size_t characterCount(std::string_view s);
// The first / last `n` characters of the text (the whole text when it has no more than n).
std::string prefixCharacters(std::string_view s, std::size_t n);
std::string suffixCharacters(std::string_view s, std::size_t n);

// Canonical decomposition (NFD) and composition (NFC). Invalid UTF-8 is repaired first.
std::string nfd(std::string_view s);
std::string nfc(std::string_view s);
// True when the two texts are canonically equivalent (equal after NFD).
bool canonicallyEqual(std::string_view a, std::string_view b);
// Both absent, or both present and canonically equivalent.
bool canonicallyEqualOptional(const std::optional<std::string>& a, const std::optional<std::string>& b);
// Same length and canonically equivalent element by element, in order.
bool canonicallyEqualLists(const std::vector<std::string>& a, const std::vector<std::string>& b);

// A range of UTF-16 code units.
struct UTF16Span {
    std::size_t location = 0;
    std::size_t length = 0;
    bool operator==(const UTF16Span&) const = default;
};

// Every occurrence of `find` in `text` under canonical equivalence (a composed "é" matches a
// decomposed one, combining marks in either order of equal effect), case-sensitive, as UTF-16
// ranges of `text` in order of location; occurrences may overlap. An occurrence never begins or
// ends inside a character or between a character and its combining marks, so "e" is not found in
// a decomposed "é". Empty when either text is empty.
std::vector<UTF16Span> findCanonical(std::string_view text, std::string_view find);

// Byte offsets at which each extended grapheme cluster of `s` starts, followed by s.size().
// For "" the result is {0}.
std::vector<std::size_t> characterBoundaries(std::string_view s);

// Appends the full Unicode lower-case mapping of `cp` (U+0130 becomes "i" + U+0307).
void appendLowercased(std::string& out, char32_t cp);

// The text in lower case by the full Unicode mapping, independent of locale (so capital I with
// dot above becomes "i" + U+0307). Invalid bytes become U+FFFD.
std::string lowercase(std::string_view s);

// The text with each maximal invalid subpart replaced by U+FFFD; valid text comes back unchanged.
std::string repairUTF8(std::string_view s);
// True when the bytes are valid UTF-8 throughout.
bool isValidUTF8(std::string_view s);

// True for white space and line breaks (Unicode White_Space).
bool isWhitespace(char32_t cp);
// The text without leading and trailing white space and line breaks.
std::string trimWhitespace(std::string_view s);

}  // namespace unicode

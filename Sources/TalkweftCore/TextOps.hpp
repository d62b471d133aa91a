// Pure text and audio helpers of the hold-to-talk cycle: where an agent's find text lies in the
// field, applying an edit, joining dictation to the text before the caret, loudness, and the
// filter for phrases the speech model produces from silence.
//
// Offsets and lengths are UTF-16 code units. Text is UTF-8; invalid bytes count as U+FFFD (one
// unit) and are never an error. All functions are pure and thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "TalkweftCore/Context.hpp"

namespace talkweft {

// Transcripts the speech model tends to produce from silence, lower-cased.
inline constexpr std::array<std::string_view, 6> HALLUCINATIONS = {
    "thank you.", "thanks for watching!", "thank you for watching.", "you", "bye.", ".",
};

// The occurrence of `find` in `text` nearest to the UTF-16 offset `nearUTF16` (the caret).
// Matching is case-sensitive and by canonical equivalence; occurrences may overlap. The distance
// is 0 when nearUTF16 lies from an occurrence's start to its end inclusive, else the gap to the
// nearer edge; on equal distances the earlier occurrence wins. Absent when `find` is empty, `text`
// is empty, or `find` does not occur.
std::optional<UTF16Range> calcEditRange(std::string_view text, std::string_view find, std::int64_t nearUTF16);

// `text` with the UTF-16 `range` replaced by `replace`. Absent, with nothing changed, when the range
// is negative, reaches past the end of the text, or splits a surrogate pair (half a character).
std::optional<std::string> calcAppliedEdit(std::string_view text, UTF16Range range, std::string_view replace);

// The text to type for a dictated transcript: the transcript trimmed of white space and line
// breaks, with one leading blank when the text before the caret ends in a character that is
// neither white space nor an opening bracket, quote, "/" or "-", and the transcript does not begin
// with closing punctuation (".,;:!?)]}"). Characters are user-perceived characters.
std::string calcDictationText(std::string_view transcript, const std::optional<std::string>& before);

// The field text before the caret (the selection's start): absent when the context has no field
// text or no selection. The start is the selection's location minus fieldTextBase, clamped to the
// text; an offset inside a surrogate pair keeps the whole character out.
std::optional<std::string> calcTextBeforeCaret(const AppContext& ctx);

// Root mean square of the samples in 32-bit floating point, squares summed in order; 0 when empty.
float calcRMS(std::span<const float> samples);

// True when the transcript, trimmed and lower-cased (full Unicode mapping, no locale), is exactly
// one of HALLUCINATIONS.
bool isLikelyHallucination(std::string_view transcript);

}  // namespace talkweft

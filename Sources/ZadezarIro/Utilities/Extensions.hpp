// Small additions the engine makes to its own and shared types: clip timestamps as sample ranges,
// flattening per-audio results, appending one PCM buffer's frames to another, and a few text and
// segment helpers. All pure except appendContents, which changes its destination.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "ZadezarIro/Core/Audio/PCMBuffer.hpp"
#include "ZadezarIro/Core/DecodingOptions.hpp"
#include "ZadezarIro/Core/TranscriptionResult.hpp"

namespace zadezariro {

// The options' clipTimestamps as (start, end) sample ranges at 16 kHz: each time × 16000 in 32-bit
// float, rounded half away from zero (NaN as 0, saturating at the 64-bit limits); no times give
// [(0, contentFrames)]; an odd count gets contentFrames appended; values are paired in order.
std::vector<std::pair<std::int64_t, std::int64_t>> prepareSeekClips(const DecodingOptions& options,
                                                                     std::int64_t contentFrames);

using TranscriptionResults = std::vector<std::shared_ptr<TranscriptionResult>>;
// The results of one audio input, or the error that stopped it.
using TranscriptionOutcome = std::variant<TranscriptionResults, std::exception_ptr>;
// Each success as its list, each error as an absent entry; order and length kept.
std::vector<std::optional<TranscriptionResults>> toOptionalArrays(const std::vector<TranscriptionOutcome>& outcomes);

// Appends `frameCount` frames of `source` from `startingFrame` after the destination's frames, in
// every channel. Returns false, leaving the destination unchanged, when the formats differ
// ("Format mismatch", debug), the source lacks the frames ("Insufficient audio in buffer", error),
// either buffer has no float channel data ("Failed to access float channel data", error), or a full
// destination has room for none of the requested frames. A destination that can take only some
// frames gets as many as fit ("Insufficient space in buffer, reducing frame count to fit", debug);
// a request for zero frames appends nothing and returns true.
bool appendContents(PCMBuffer& destination, const PCMBuffer& source, std::int64_t startingFrame,
                    std::uint32_t frameCount);

// The text without the special-token characters "<", "|", ">" at either end ("<|en|>" gives "en").
std::string trimmingSpecialTokenCharacters(std::string_view text);

// A list of names as the log shows it: ["a", "b"].
std::string listDescription(const std::vector<std::string>& items);
// Lower-cased, "-" replaced by " ", Unicode punctuation removed, runs of spaces made one, white
// space and line breaks trimmed: "Well-known, fine!" gives "well known fine".
std::string normalized(std::string_view text);
// True when any segment has the same start as `segment`.
bool contains(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment);

}  // namespace zadezariro

// The segment seeker: cuts a decoded window's tokens into timed segments at its timestamp tokens,
// finds where the next window starts, and adds word timings by dynamic time warping over the
// decoder's cross-attention weights.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "MLRuntime/MultiArray.hpp"
#include "ZadezarIro/Core/DecodingInputs.hpp"
#include "ZadezarIro/Core/DecodingOptions.hpp"
#include "ZadezarIro/Core/TranscriptionResult.hpp"
#include "ZadezarIro/Core/TranscriptionTimings.hpp"
#include "ZadezarIro/Core/WhisperTokenizer.hpp"

namespace zadezariro {

class SegmentSeeking {
public:
    virtual ~SegmentSeeking() = default;

    // The next seek point (samples) and the window's segments (absent when the window is skipped
    // as silence). The seek point always lies after currentSeek.
    virtual std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
        const DecodingResult& decodingResult, const DecodingOptions& options, std::int64_t allSegmentsCount,
        std::int64_t currentSeek, std::int64_t segmentSize, std::int64_t sampleRate, std::int64_t timeToken,
        std::int64_t specialToken, const WhisperTokenizer& tokenizer) = 0;

    // The segments with their words. `alignmentWeights` holds one row per token of the decoder's
    // token sequence; the window's segment tokens start at row `windowTokenOffset` (the number of
    // prompt tokens before its start-of-transcript token). Throws WhisperError(segmentingFailed).
    virtual std::vector<TranscriptionSegment> addWordTimestamps(
        const std::vector<TranscriptionSegment>& segments, const mlruntime::MultiArray& alignmentWeights,
        const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t segmentSize, const std::string& prependPunctuations,
        const std::string& appendPunctuations, float lastSpeechTimestamp, const DecodingOptions& options,
        const TranscriptionTimings& timings, std::int64_t windowTokenOffset = 0) = 0;
};

// Stateless; thread-safe.
class SegmentSeeker : public SegmentSeeking {
public:
    struct Path {
        std::vector<std::int64_t> textIndices;
        std::vector<std::int64_t> timeIndices;
    };

    std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
        const DecodingResult& decodingResult, const DecodingOptions& options, std::int64_t allSegmentsCount,
        std::int64_t currentSeek, std::int64_t segmentSize, std::int64_t sampleRate, std::int64_t timeToken,
        std::int64_t specialToken, const WhisperTokenizer& tokenizer) override;

    // Throws WhisperError(segmentingFailed, "Invalid shape in alignmentWeights") for weights without
    // dimensions; the segments passed in are not changed on failure.
    std::vector<TranscriptionSegment> addWordTimestamps(
        const std::vector<TranscriptionSegment>& segments, const mlruntime::MultiArray& alignmentWeights,
        const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t segmentSize, const std::string& prependPunctuations,
        const std::string& appendPunctuations, float lastSpeechTimestamp, const DecodingOptions& options,
        const TranscriptionTimings& timings, std::int64_t windowTokenOffset = 0) override;

    // The monotone path through a [tokens, frames] matrix that maximises the summed weights.
    // Throws WhisperError(segmentingFailed, "Invalid alignment matrix shape") unless two-dimensional
    // with at least one row and one column.
    Path dynamicTimeWarping(const mlruntime::MultiArray& matrix) const;
    // The path from a (N + 1) × (M + 1) trace matrix (row-major; 0 diagonal, 1 up, 2 left), in time order.
    static Path backtrace(const std::vector<std::int8_t>& trace, std::int64_t rows, std::int64_t columns);

    // Word timings of the tokens from the path over `alignmentWeights`; empty for one word or none.
    std::vector<WordTiming> findAlignment(const std::vector<std::int64_t>& wordTokenIds, const mlruntime::MultiArray& alignmentWeights,
                                          const std::vector<float>& tokenLogProbs, const WhisperTokenizer& tokenizer) const;

    // (median, max): the median positive word duration capped at 0.7 s, and twice that.
    static std::pair<float, float> calculateWordDurationConstraints(const std::vector<WordTiming>& alignment);
    // Words longer than maxDuration that are, or follow, a sentence end are cut to maxDuration.
    static std::vector<WordTiming> truncateLongWordsAtSentenceBoundaries(std::vector<WordTiming> alignment, float maxDuration);
    // Glues prepended punctuation that begins with a space to the following word and appended
    // punctuation to the preceding one; a run of marks all joins the same word, so no word is lost.
    // Lone marks are dropped.
    static std::vector<WordTiming> mergePunctuations(const std::vector<WordTiming>& alignment, const std::string& prepended,
                                                     const std::string& appended);
    static std::vector<TranscriptionSegment> updateSegmentsWithWordTimings(
        const std::vector<TranscriptionSegment>& segments, const std::vector<WordTiming>& mergedAlignment, std::int64_t seek,
        float lastSpeechTimestamp, float constrainedMedianDuration, float maxDuration, const WhisperTokenizer& tokenizer);
};

}  // namespace zadezariro

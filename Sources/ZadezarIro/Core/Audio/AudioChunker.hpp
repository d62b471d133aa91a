// Cutting long audio into chunks of at most one window at silences, and moving the chunks'
// transcription results back onto the whole recording's timeline. A chunker keeps no mutable state.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "ZadezarIro/Core/DecodingOptions.hpp"
#include "ZadezarIro/Core/TranscriptionTimings.hpp"
#include "ZadezarIro/Core/Audio/VoiceActivityDetector.hpp"
#include "ZadezarIro/Utilities/Extensions.hpp"

namespace zadezariro {

class AudioChunking {
public:
    virtual ~AudioChunking() = default;
    // The chunks of `audioArray` in order, each at most maxChunkLength samples long.
    virtual std::vector<AudioChunk> chunkAll(const std::vector<float>& audioArray, std::int64_t maxChunkLength,
                                             const std::optional<DecodingOptions>& decodeOptions) = 0;

    // Shifts every successful chunk's results by the chunk's offset (segments' seek, start and end,
    // word timings, the result's seekTime) in place and returns them, chunk by chunk. A failed chunk
    // is logged at debug level ("Error transcribing chunk i: ..."); after all chunks are shifted the
    // first failure is rethrown, so a transcription with a missing stretch never reads as complete.
    // `chunkedResults` and `audioChunks` must have the same length (std::invalid_argument otherwise).
    static TranscriptionResults updateSeekOffsetsForResults(const std::vector<TranscriptionOutcome>& chunkedResults,
                                                            const std::vector<AudioChunk>& audioChunks);
};

class VADAudioChunker : public AudioChunking {
public:
    // windowPadding: samples at the end of a clip that make no chunk of their own when the clip is
    // whole (1 s = 16,000 in the engine). Without a detector the engine default EnergyVAD is used.
    explicit VADAudioChunker(std::int64_t windowPadding = 16000, std::shared_ptr<VoiceActivityDetector> vad = nullptr);

    // Audio no longer than maxChunkLength is one chunk at offset 0. Longer audio is cut per clip of
    // the options' clipTimestamps (whole audio without them; clip ends past the audio are clamped to
    // it) at the middle of the longest silence in the second half of each over-long span. A remainder
    // of at most windowPadding samples after a cut is a last chunk of its own only when keepsTail
    // says so. Throws
    // WhisperError::audioProcessingFailed "startIndex is outside the buffer size" when a clip starts
    // at or past the end of the audio while it still has a span to cut. maxChunkLength must be positive.
    std::vector<AudioChunk> chunkAll(const std::vector<float>& audioArray, std::int64_t maxChunkLength,
                                     const std::optional<DecodingOptions>& decodeOptions) override;

    // Whether a remainder of at most windowPadding samples after a cut becomes a chunk: only when the
    // detector hears voice in it. Each chunk is decoded as a whole window, and a silent or tiny one
    // invites invented text.
    bool keepsTail(std::span<const float> tail) const;

    std::int64_t windowPadding() const { return windowPadding_; }
    const std::shared_ptr<VoiceActivityDetector>& vad() const { return vad_; }

private:
    std::int64_t splitOnMiddleOfLongestSilence(std::span<const float> audioArray, std::int64_t startIndex,
                                               std::int64_t endIndex) const;

    std::int64_t windowPadding_;
    std::shared_ptr<VoiceActivityDetector> vad_;
};

}  // namespace zadezariro

// Voice activity detection on fixed frames: the replaceable base VoiceActivityDetector (frame
// decisions, speech ranges, index conversions, the longest silence) and EnergyVAD, which calls a
// frame voiced when its root-mean-square level is above a threshold. Detectors hold no mutable
// state: one may be used from several threads at once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace zadezariro {

// A range [startIndex, endIndex): samples for active chunks, frames for silences.
struct IndexRange {
    std::int64_t startIndex = 0;
    std::int64_t endIndex = 0;
    bool operator==(const IndexRange&) const = default;
};

class VoiceActivityDetector {
public:
    // frameLengthSamples must be positive (std::invalid_argument otherwise); overlap 0 for none.
    VoiceActivityDetector(std::int64_t sampleRate, std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples);
    virtual ~VoiceActivityDetector() = default;

    std::int64_t sampleRate() const { return sampleRate_; }
    std::int64_t frameLengthSamples() const { return frameLengthSamples_; }
    std::int64_t frameOverlapSamples() const { return frameOverlapSamples_; }

    // One decision per frame, true = voiced. The base has no detection and throws std::logic_error
    // "`voiceActivity` must be implemented by subclass".
    virtual std::vector<bool> voiceActivity(std::span<const float> samples) const;
    // The same decisions (run on the caller's thread).
    virtual std::vector<bool> voiceActivityAsync(std::span<const float> samples) const { return voiceActivity(samples); }
    // Sample ranges of runs of voiced frames, in order; the last ends at most at the sample count.
    virtual std::vector<IndexRange> calculateActiveChunks(std::span<const float> samples) const;
    virtual std::int64_t voiceActivityIndexToAudioSampleIndex(std::int64_t frame) const { return frame * frameLengthSamples_; }
    virtual float voiceActivityIndexToSeconds(std::int64_t frame) const;
    // The longest run of unvoiced frames (the earliest of equally long ones), or nothing.
    virtual std::optional<IndexRange> findLongestSilence(const std::vector<bool>& activity) const;

private:
    std::int64_t sampleRate_;
    std::int64_t frameLengthSamples_;
    std::int64_t frameOverlapSamples_;
};

class EnergyVAD : public VoiceActivityDetector {
public:
    EnergyVAD(std::int64_t sampleRate, std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples, float energyThreshold);
    // Frame length and overlap in seconds, each × sampleRate in 32-bit float, truncated.
    EnergyVAD(std::int64_t sampleRate, float frameLength, float frameOverlap, float energyThreshold);
    // The engine default: 16 kHz, 1,600-sample frames, no overlap, threshold 0.02.
    EnergyVAD() : EnergyVAD(16000, std::int64_t{1600}, std::int64_t{0}, 0.02f) {}

    float energyThreshold() const { return energyThreshold_; }
    // ceil(N / frame length) frames; a frame is voiced when its RMS is strictly above the threshold.
    std::vector<bool> voiceActivity(std::span<const float> samples) const override;

private:
    float energyThreshold_;
};

}  // namespace zadezariro

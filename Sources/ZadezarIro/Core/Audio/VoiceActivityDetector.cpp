#include "ZadezarIro/Core/Audio/VoiceActivityDetector.hpp"

#include <cmath>
#include <stdexcept>

#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

namespace zadezariro {

VoiceActivityDetector::VoiceActivityDetector(std::int64_t sampleRate, std::int64_t frameLengthSamples,
                                             std::int64_t frameOverlapSamples)
    : sampleRate_(sampleRate), frameLengthSamples_(frameLengthSamples), frameOverlapSamples_(frameOverlapSamples) {
    if (frameLengthSamples <= 0) throw std::invalid_argument("voice activity frame length must be positive");
}

std::vector<bool> VoiceActivityDetector::voiceActivity(std::span<const float>) const {
    throw std::logic_error("`voiceActivity` must be implemented by subclass");
}

std::vector<IndexRange> VoiceActivityDetector::calculateActiveChunks(std::span<const float> samples) const {
    std::vector<bool> activity = voiceActivity(samples);
    const auto n = static_cast<std::int64_t>(samples.size());
    std::vector<IndexRange> chunks;
    for (std::size_t i = 0; i < activity.size(); ++i) {
        if (!activity[i]) continue;
        const std::int64_t start = static_cast<std::int64_t>(i) * frameLengthSamples_;
        const std::int64_t end = std::min(n, start + frameLengthSamples_);
        if (i == 0 || !activity[i - 1])
            chunks.push_back({start, end});
        else
            chunks.back().endIndex = end;
    }
    return chunks;
}

float VoiceActivityDetector::voiceActivityIndexToSeconds(std::int64_t frame) const {
    return static_cast<float>(frame * frameLengthSamples_) / static_cast<float>(sampleRate_);
}

std::optional<IndexRange> VoiceActivityDetector::findLongestSilence(const std::vector<bool>& activity) const {
    std::optional<IndexRange> best;
    std::int64_t runStart = -1;
    const auto count = static_cast<std::int64_t>(activity.size());
    for (std::int64_t i = 0; i <= count; ++i) {
        const bool silent = i < count && !activity[static_cast<std::size_t>(i)];
        if (silent && runStart < 0) runStart = i;
        if (!silent && runStart >= 0) {
            if (!best || i - runStart > best->endIndex - best->startIndex) best = IndexRange{runStart, i};
            runStart = -1;
        }
    }
    return best;
}

EnergyVAD::EnergyVAD(std::int64_t sampleRate, std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples,
                     float energyThreshold)
    : VoiceActivityDetector(sampleRate, frameLengthSamples, frameOverlapSamples), energyThreshold_(energyThreshold) {}

EnergyVAD::EnergyVAD(std::int64_t sampleRate, float frameLength, float frameOverlap, float energyThreshold)
    : EnergyVAD(sampleRate, static_cast<std::int64_t>(frameLength * static_cast<float>(sampleRate)),
                static_cast<std::int64_t>(frameOverlap * static_cast<float>(sampleRate)), energyThreshold) {}

std::vector<bool> EnergyVAD::voiceActivity(std::span<const float> samples) const {
    const auto chunkCount = static_cast<std::int64_t>(
        std::ceil(static_cast<double>(samples.size()) / static_cast<double>(frameLengthSamples())));
    return AudioProcessor::calculateVoiceActivityInChunks(samples, chunkCount, frameLengthSamples(),
                                                          frameOverlapSamples(), energyThreshold_);
}

}  // namespace zadezariro

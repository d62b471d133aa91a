// AudioProcessor's energy measures: RMS, peaks, relative energy, voice in recent energies and per
// frame.
#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "DaroriCore/Logging.hpp"
#include "ZadezarIro/Core/Audio/AudioProcessorSupport.hpp"

namespace zadezariro {

using darori::Logging;
using namespace audio_support;

bool AudioProcessor::isVoiceDetected(std::span<const float> relativeEnergies, float nextBufferInSeconds, float silenceThreshold) {
    const auto wanted = static_cast<std::size_t>(std::max(0.0f, nextBufferInSeconds / 0.1f));
    const std::size_t taken = std::min(wanted, relativeEnergies.size());
    auto recent = relativeEnergies.last(taken);
    const std::size_t kept = std::min(recent.size(), std::max<std::size_t>(recent.size() >= 10 ? recent.size() - 10 : 0, 10));
    return std::any_of(recent.begin(), recent.begin() + static_cast<std::ptrdiff_t>(kept), [&](float e) { return e > silenceThreshold; });
}

AudioEnergy AudioProcessor::calculateEnergy(std::span<const float> signal) {
    if (signal.empty()) return {};
    AudioEnergy energy;
    energy.avg = calculateAverageEnergy(signal);
    energy.min = std::numeric_limits<float>::max();
    for (float s : signal) {
        energy.max = std::max(energy.max, std::fabs(s));
        energy.min = std::min(energy.min, std::fabs(s));
    }
    return energy;
}

float AudioProcessor::calculateAverageEnergy(std::span<const float> signal) {
    if (signal.empty()) return 0;
    double sum = 0;
    for (float s : signal) sum += static_cast<double>(s) * s;
    return static_cast<float>(std::sqrt(sum / static_cast<double>(signal.size())));
}

float AudioProcessor::calculateRelativeEnergy(std::span<const float> signal, std::optional<float> reference) {
    const float floor = reference ? 20.0f * std::log10(std::max(*reference, 1e-8f)) : -60.0f;
    return relativeFrom(calculateAverageEnergy(signal), floor);
}

std::vector<bool> AudioProcessor::calculateVoiceActivityInChunks(std::span<const float> signal, std::int64_t chunkCount,
                                                                 std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples,
                                                                 float energyThreshold) {
    const auto n = static_cast<std::int64_t>(signal.size());
    std::vector<bool> activity(static_cast<std::size_t>(std::max<std::int64_t>(chunkCount, 0)));
    for (std::int64_t i = 0; i < chunkCount; ++i) {
        const std::int64_t start = std::min(i * frameLengthSamples, n);
        const std::int64_t end = std::min(start + frameLengthSamples + frameOverlapSamples, n);
        if (end <= start) continue;
        activity[static_cast<std::size_t>(i)] = calculateAverageEnergy(signal.subspan(start, end - start)) > energyThreshold;
    }
    return activity;
}

std::vector<IndexRange> AudioProcessor::calculateNonSilentChunks(std::span<const float> signal) {
    return EnergyVAD().calculateActiveChunks(signal);
}

}  // namespace zadezariro

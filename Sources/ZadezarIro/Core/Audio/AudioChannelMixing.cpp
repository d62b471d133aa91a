// AudioProcessor's channel mixing: several channels become one by the channel mode.
#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

#include <algorithm>
#include <variant>
#include <vector>

#include "DaroriCore/Logging.hpp"
#include "ZadezarIro/Core/Audio/AudioProcessorSupport.hpp"

namespace zadezariro {

using darori::Logging;
using namespace audio_support;

std::optional<PCMBuffer> AudioProcessor::convertToMono(const PCMBuffer& buffer, const AudioInputOptions::ChannelMode& mode) {
    const std::uint32_t channels = buffer.format().channels;
    if (channels < 2) return buffer;
    auto planes = buffer.floatChannelData();
    if (planes.empty()) {
        Logging::error("Buffer did not contain floatChannelData.");
        return std::nullopt;
    }
    const std::uint32_t frames = buffer.frameLength();
    const bool interleaved = buffer.format().interleaved;
    auto channelAt = [&](std::uint32_t c, std::uint32_t i) { return interleaved ? planes[0][i * channels + c] : planes[c][i]; };
    PCMBuffer mono(standardFormat(buffer.format().sampleRate, 1), buffer.frameCapacity());
    mono.setFrameLength(frames);
    float* out = mono.floatChannelData()[0];
    auto copyChannel = [&](std::uint32_t c) {
        for (std::uint32_t i = 0; i < frames; ++i) out[i] = channelAt(c, i);
    };

    if (const auto* specific = std::get_if<AudioInputOptions::SpecificChannel>(&mode)) {
        const bool valid = specific->channel >= 0 && specific->channel < channels;
        copyChannel(valid ? static_cast<std::uint32_t>(specific->channel) : 0);
        return mono;
    }
    const auto& sum = std::get<AudioInputOptions::SumChannels>(mode);
    std::vector<std::uint32_t> selected;
    if (!sum.channels || sum.channels->empty()) {
        for (std::uint32_t c = 0; c < channels; ++c) selected.push_back(c);
    } else {
        for (auto c : *sum.channels)
            if (c >= 0 && c < channels) selected.push_back(static_cast<std::uint32_t>(c));
        if (selected.empty()) {
            copyChannel(0);
            Logging::debug("No valid channel indices provided, defaulting to first channel");
            return mono;
        }
    }
    float loudest = 0;
    std::vector<float> plane(frames);
    for (auto c : selected) {
        for (std::uint32_t i = 0; i < frames; ++i) plane[i] = channelAt(c, i);
        loudest = std::max(loudest, peakMagnitude(plane.data(), frames));
        for (std::uint32_t i = 0; i < frames; ++i) out[i] += plane[i];
    }
    // The mix gets the peak of its loudest channel. A near-silent sum (channels cancelling) is
    // scaled as if its peak were 1e-4, so its residue is raised at most to that peak, never beyond.
    const float scale = loudest / std::max(peakMagnitude(out, frames), 0.0001f);
    for (std::uint32_t i = 0; i < frames; ++i) out[i] *= scale;
    return mono;
}

}  // namespace zadezariro

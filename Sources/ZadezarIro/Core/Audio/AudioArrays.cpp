// AudioProcessor's array helpers: a buffer's first channel as an array, a model window cut or padded
// from an array, and the raw waveform picture.
#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "DaroriCore/Logging.hpp"
#include "ZadezarIro/Core/Audio/AudioProcessorSupport.hpp"

namespace zadezariro {

using darori::Logging;
using namespace audio_support;

std::vector<float> AudioProcessor::convertBufferToArray(PCMBuffer& buffer, std::int64_t chunkSize) {
    if (chunkSize <= 0) throw std::invalid_argument("copy step must be positive");
    auto planes = buffer.floatChannelData();
    if (planes.empty()) return {};
    const std::uint32_t frames = buffer.frameLength();
    const std::uint32_t stride = buffer.floatsPerFrame();
    std::vector<float> result(frames);
    for (std::uint32_t offset = 0; offset < frames; offset += static_cast<std::uint32_t>(std::min<std::int64_t>(chunkSize, frames - offset))) {
        const auto n = static_cast<std::uint32_t>(std::min<std::int64_t>(chunkSize, frames - offset));
        for (std::uint32_t i = 0; i < n; ++i) {
            float& sample = planes[0][(offset + i) * stride];
            result[offset + i] = sample;
            sample = 0;
        }
    }
    return result;
}

std::optional<mlruntime::MultiArray> AudioProcessor::padOrTrimAudio(std::span<const float> audioArray, std::int64_t startAt,
                                                                    std::int64_t toLength, bool) {
    const auto count = static_cast<std::int64_t>(audioArray.size());
    if (startAt < 0 || startAt >= count) {
        Logging::error("startIndex is outside the buffer size");
        return std::nullopt;
    }
    if (toLength <= 0) return std::nullopt;
    const std::int64_t end = std::min(startAt + toLength, count);
    mlruntime::MultiArray window({toLength}, mlruntime::DataType::Float32);
    float* data = window.typedData<float>();
    std::copy(audioArray.begin() + startAt, audioArray.begin() + end, data);
    std::fill(data + (end - startAt), data + toLength, 0.0f);
    return window;
}

WaveformImage AudioProcessor::createWaveformImage(std::span<const float> audio, double width, double height) {
    WaveformImage image;
    if (!(width >= 0) || !(height >= 0) || !std::isfinite(width) || !std::isfinite(height)) return image;
    image.width = static_cast<std::uint32_t>(width);
    image.height = static_cast<std::uint32_t>(height);
    image.pixels.assign(static_cast<std::size_t>(image.width) * image.height, 0);
    const std::size_t n = std::min(image.pixels.size(), audio.size());
    std::memcpy(image.pixels.data(), audio.data(), n * sizeof(float));
    return image;
}

std::optional<mlruntime::MultiArray> AudioProcessing::padOrTrim(std::span<const float> audioArray, std::int64_t startAt,
                                                                std::int64_t toLength) {
    return AudioProcessor::padOrTrimAudio(audioArray, startAt, toLength);
}

}  // namespace zadezariro

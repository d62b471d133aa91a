// Small helpers shared by the files that implement AudioProcessor: log number formatting, the
// standard sample format, mono buffers from sample arrays, peaks and the relative energy scale.
// Internal to the audio component.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "AudioInput/AudioFormat.hpp"
#include "DaroriCore/Logging.hpp"
#include "DaroriCore/NumberText.hpp"
#include "ZadezarIro/Core/Audio/PCMBuffer.hpp"

namespace zadezariro::audio_support {

// Two decimals with a "." whatever the process's locale.
inline std::string fixed2(double value) { return darori::fixedText(value, 2); }

inline std::string describe(const std::exception& e) { return e.what(); }

// 32-bit float, non-interleaved, at the rate and channel count.
inline audioinput::AudioFormat standardFormat(double rate, std::uint32_t channels) {
    return {rate, channels, audioinput::SampleType::float32, false};
}

// "<what> details - Sample Rate: ... Hz, Channel Count: ..., Frame Length: ..., Duration: ...s" (debug).
inline void logDetails(const char* what, double rate, std::uint32_t channels, std::int64_t frames) {
    darori::Logging::debug(std::string(what) + " details - Sample Rate: " + fixed2(rate) + " Hz, Channel Count: " +
                           std::to_string(channels) + ", Frame Length: " + std::to_string(frames) +
                           ", Duration: " + fixed2(rate > 0 ? static_cast<double>(frames) / rate : 0) + "s");
}

// A standard mono buffer holding the first `count` samples.
inline PCMBuffer monoBuffer(double rate, const std::vector<float>& samples, std::size_t count) {
    PCMBuffer buffer(standardFormat(rate, 1), static_cast<std::uint32_t>(count));
    std::copy_n(samples.begin(), count, buffer.floatChannelData()[0]);
    buffer.setFrameLength(static_cast<std::uint32_t>(count));
    return buffer;
}

inline float peakMagnitude(const float* data, std::size_t count) {
    float peak = 0;
    for (std::size_t i = 0; i < count; ++i) peak = std::max(peak, std::fabs(data[i]));
    return peak;
}

// How far an RMS level lies above a decibel floor, on a scale from the floor (0) to full scale (1);
// values outside and undefined values are clamped.
inline float relativeFrom(float rms, float decibelFloor) {
    float rel = (20.0f * std::log10(rms) - decibelFloor) / (0.0f - decibelFloor);
    if (std::isnan(rel) || rel < 0) return 0;
    return std::min(rel, 1.0f);
}

}  // namespace zadezariro::audio_support

#include "AudioInput/AudioFormat.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <locale>
#include <sstream>

namespace audioinput {

std::size_t sampleTypeSize(SampleType type) {
    switch (type) {
        case SampleType::float32: return 4;
        case SampleType::float64: return 8;
        case SampleType::int16: return 2;
        case SampleType::int32: return 4;
    }
    return 4;
}

std::string AudioFormat::description() const {
    static const char* NAMES[] = {"float32", "float64", "int16", "int32"};
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << sampleRate << " Hz, " << channels << " ch, " << NAMES[static_cast<int>(type)]
        << (interleaved ? " interleaved" : " planar");
    return out.str();
}

AudioFormat speechFormat() { return AudioFormat{16000.0, 1, SampleType::float32, false}; }

AudioBuffer::AudioBuffer(AudioFormat format, std::uint32_t frames)
    : format_(format), frames_(frames),
      bytes_(static_cast<std::size_t>(frames) * format.channels * sampleTypeSize(format.type), 0) {}

AudioBuffer AudioBuffer::fromInterleaved(AudioFormat format, const std::vector<float>& interleaved) {
    std::uint32_t frames = format.channels == 0 ? 0 : static_cast<std::uint32_t>(interleaved.size() / format.channels);
    AudioBuffer buffer(format, frames);
    for (std::uint32_t f = 0; f < frames; ++f)
        for (std::uint32_t c = 0; c < format.channels; ++c)
            buffer.setSample(f, c, interleaved[static_cast<std::size_t>(f) * format.channels + c]);
    return buffer;
}

std::size_t AudioBuffer::offset(std::uint32_t frame, std::uint32_t channel) const {
    std::size_t index = format_.interleaved
                            ? static_cast<std::size_t>(frame) * format_.channels + channel
                            : static_cast<std::size_t>(channel) * frames_ + frame;
    return index * sampleTypeSize(format_.type);
}

float AudioBuffer::sample(std::uint32_t frame, std::uint32_t channel) const {
    const std::uint8_t* p = bytes_.data() + offset(frame, channel);
    switch (format_.type) {
        case SampleType::float32: { float v; std::memcpy(&v, p, 4); return v; }
        case SampleType::float64: { double v; std::memcpy(&v, p, 8); return static_cast<float>(v); }
        case SampleType::int16: { std::int16_t v; std::memcpy(&v, p, 2); return static_cast<float>(v) / 32768.0f; }
        case SampleType::int32: { std::int32_t v; std::memcpy(&v, p, 4); return static_cast<float>(static_cast<double>(v) / 2147483648.0); }
    }
    return 0;
}

void AudioBuffer::setSample(std::uint32_t frame, std::uint32_t channel, float value) {
    std::uint8_t* p = bytes_.data() + offset(frame, channel);
    switch (format_.type) {
        case SampleType::float32: std::memcpy(p, &value, 4); break;
        case SampleType::float64: { double v = value; std::memcpy(p, &v, 8); break; }
        case SampleType::int16: {
            auto v = static_cast<std::int16_t>(std::lround(std::clamp(value * 32768.0f, -32768.0f, 32767.0f)));
            std::memcpy(p, &v, 2);
            break;
        }
        case SampleType::int32: {
            double scaled = std::clamp(static_cast<double>(value) * 2147483648.0, -2147483648.0, 2147483647.0);
            auto v = static_cast<std::int32_t>(std::llround(scaled));
            std::memcpy(p, &v, 4);
            break;
        }
    }
}

AudioBuffer AudioBuffer::slice(std::uint32_t from, std::uint32_t count) const {
    from = std::min(from, frames_);
    count = std::min(count, frames_ - from);
    AudioBuffer out(format_, count);
    for (std::uint32_t f = 0; f < count; ++f)
        for (std::uint32_t c = 0; c < format_.channels; ++c) out.setSample(f, c, sample(from + f, c));
    return out;
}

}  // namespace audioinput

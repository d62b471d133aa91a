// Audio formats and captured buffers.
//
// A buffer owns its bytes and carries the format they are in: any sample type we capture, any channel
// count, interleaved or one plane per channel. Plain values; not thread-safe on their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace audioinput {

enum class SampleType { float32, float64, int16, int32 };

// Bytes per sample of each type.
std::size_t sampleTypeSize(SampleType type);

struct AudioFormat {
    double sampleRate = 0;      // frames per second; 0 = no usable format
    std::uint32_t channels = 0;  // 0 = no usable format
    SampleType type = SampleType::float32;
    bool interleaved = false;

    // A rate above 0 and at least one channel.
    bool isValid() const { return sampleRate > 0 && channels > 0; }
    bool operator==(const AudioFormat&) const = default;
    // For logs: "48000 Hz, 2 ch, int16 interleaved".
    std::string description() const;
};

// The format the speech engine takes: 32-bit float, 16 kHz, mono, not interleaved.
AudioFormat speechFormat();

class AudioBuffer {
public:
    AudioBuffer() = default;
    // A zero-filled buffer of `frames` frames in `format`.
    AudioBuffer(AudioFormat format, std::uint32_t frames);

    // Builds a buffer in `format` from interleaved float frames (values outside [-1, 1] are clipped
    // for integer types). The frame count is floor(interleaved.size() / channels).
    static AudioBuffer fromInterleaved(AudioFormat format, const std::vector<float>& interleaved);

    const AudioFormat& format() const { return format_; }
    std::uint32_t frameCount() const { return frames_; }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

    // Sample `frame` of `channel` as a float in [-1, 1]; both indices must be in range.
    float sample(std::uint32_t frame, std::uint32_t channel) const;
    // Stores a float sample (clipped to the integer range for integer types).
    void setSample(std::uint32_t frame, std::uint32_t channel, float value);
    // The frames [from, from + count) as a new buffer in the same format (clipped to the end).
    AudioBuffer slice(std::uint32_t from, std::uint32_t count) const;

private:
    std::size_t offset(std::uint32_t frame, std::uint32_t channel) const;

    AudioFormat format_;
    std::uint32_t frames_ = 0;
    std::vector<std::uint8_t> bytes_;
};

}  // namespace audioinput

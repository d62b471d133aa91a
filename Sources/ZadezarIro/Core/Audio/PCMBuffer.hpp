// A block of PCM audio with room to grow: a format, a capacity in frames and the number of frames
// that hold audio. Float32 buffers expose their samples as channel planes: one plane per channel
// when not interleaved, one plane of interleaved frames otherwise. Not thread-safe.
#pragma once

#include <cstdint>
#include <vector>

#include "AudioInput/AudioFormat.hpp"

namespace zadezariro {

class PCMBuffer {
public:
    // A zero-filled buffer for `frameCapacity` frames, frameLength 0. Throws std::invalid_argument
    // for a format that is not valid.
    PCMBuffer(audioinput::AudioFormat format, std::uint32_t frameCapacity);

    const audioinput::AudioFormat& format() const { return format_; }
    std::uint32_t frameCapacity() const { return frameCapacity_; }
    std::uint32_t frameLength() const { return frameLength_; }
    // Throws std::out_of_range above the capacity.
    void setFrameLength(std::uint32_t frames);

    // Number of planes: the channel count, or 1 when interleaved.
    std::uint32_t planeCount() const;
    // Floats per frame in one plane: the channel count when interleaved, else 1.
    std::uint32_t floatsPerFrame() const;
    // The float planes; empty unless the sample type is float32.
    std::vector<float*> floatChannelData();
    std::vector<const float*> floatChannelData() const;

private:
    audioinput::AudioFormat format_;
    std::uint32_t frameCapacity_ = 0;
    std::uint32_t frameLength_ = 0;
    std::vector<std::vector<float>> floatPlanes_;     // float32 only
    std::vector<std::vector<std::uint8_t>> rawPlanes_;  // other sample types
};

}  // namespace zadezariro

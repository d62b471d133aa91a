#include "ZadezarIro/Core/Audio/PCMBuffer.hpp"

#include <stdexcept>

namespace zadezariro {

PCMBuffer::PCMBuffer(audioinput::AudioFormat format, std::uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
    if (!format_.isValid()) throw std::invalid_argument("PCM buffer format needs a rate and a channel");
    const std::size_t samples = static_cast<std::size_t>(frameCapacity_) * floatsPerFrame();
    for (std::uint32_t p = 0; p < planeCount(); ++p) {
        if (format_.type == audioinput::SampleType::float32)
            floatPlanes_.emplace_back(samples, 0.0f);
        else
            rawPlanes_.emplace_back(samples * audioinput::sampleTypeSize(format_.type), 0);
    }
}

void PCMBuffer::setFrameLength(std::uint32_t frames) {
    if (frames > frameCapacity_) throw std::out_of_range("frame length above the buffer's capacity");
    frameLength_ = frames;
}

std::uint32_t PCMBuffer::planeCount() const { return format_.interleaved ? 1 : format_.channels; }
std::uint32_t PCMBuffer::floatsPerFrame() const { return format_.interleaved ? format_.channels : 1; }

std::vector<float*> PCMBuffer::floatChannelData() {
    std::vector<float*> planes;
    for (auto& plane : floatPlanes_) planes.push_back(plane.data());
    return planes;
}

std::vector<const float*> PCMBuffer::floatChannelData() const {
    std::vector<const float*> planes;
    for (const auto& plane : floatPlanes_) planes.push_back(plane.data());
    return planes;
}

}  // namespace zadezariro

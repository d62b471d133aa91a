// Converts captured buffers of any format to mono float samples at another rate, one buffer at a
// time, keeping the resampler's state between buffers so that consecutive buffers join without clicks.
#pragma once

#include <memory>
#include <vector>

#include "AudioInput/AudioFormat.hpp"

namespace audioinput {

class Converter {
public:
    // Throws std::invalid_argument when `from` is invalid or `toRate` is not above 0, and
    // std::runtime_error when the resampler cannot be created.
    Converter(AudioFormat from, double toRate);
    ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Mixes `buffer` down to one channel (the mean of its channels) and resamples it; returns the
    // samples that are ready now (the resampler may hold back a few for the next call). Throws
    // std::invalid_argument when the buffer's format is not the one given at construction, and
    // std::runtime_error when the resampler fails. Not thread-safe.
    std::vector<float> convert(const AudioBuffer& buffer);

    // Ends the stream: returns the samples the resampler still holds (empty when the rates are
    // equal). The converter is spent afterwards; make a new one for a new stream. Not thread-safe.
    std::vector<float> flush();

    const AudioFormat& from() const { return from_; }
    double toRate() const { return toRate_; }

private:
    struct Resampler;
    AudioFormat from_;
    double toRate_;
    std::unique_ptr<Resampler> resampler_;  // absent when the rates are equal
};

}  // namespace audioinput

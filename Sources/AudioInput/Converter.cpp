#include "AudioInput/Converter.hpp"

#include <soxr.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace audioinput {

struct Converter::Resampler {
    soxr_t handle = nullptr;
    ~Resampler() {
        if (handle) soxr_delete(handle);
    }
};

Converter::Converter(AudioFormat from, double toRate) : from_(from), toRate_(toRate) {
    if (!from.isValid()) throw std::invalid_argument("converter: invalid input format");
    if (!(toRate > 0)) throw std::invalid_argument("converter: invalid output rate");
    if (from.sampleRate == toRate) return;
    resampler_ = std::make_unique<Resampler>();
    soxr_error_t error = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    resampler_->handle = soxr_create(from.sampleRate, toRate, 1, &error, &io, &quality, nullptr);
    if (error || !resampler_->handle)
        throw std::runtime_error(std::string("converter: ") + (error ? error : "cannot create resampler"));
}

Converter::~Converter() = default;

std::vector<float> Converter::convert(const AudioBuffer& buffer) {
    const AudioFormat& f = buffer.format();
    if (f.sampleRate != from_.sampleRate || f.channels != from_.channels)
        throw std::invalid_argument("converter: buffer format " + f.description() + " differs from " + from_.description());
    std::uint32_t frames = buffer.frameCount();
    std::vector<float> mono(frames);
    for (std::uint32_t i = 0; i < frames; ++i) {
        float sum = 0;
        for (std::uint32_t c = 0; c < f.channels; ++c) sum += buffer.sample(i, c);
        mono[i] = sum / static_cast<float>(f.channels);
    }
    if (!resampler_ || frames == 0) return resampler_ ? std::vector<float>{} : mono;

    // Room for this buffer's share plus what the resampler held back from earlier calls.
    std::size_t capacity = static_cast<std::size_t>(std::ceil(frames * toRate_ / from_.sampleRate)) + 64;
    std::vector<float> out(capacity);
    std::size_t produced = 0;
    std::size_t consumedTotal = 0;
    while (consumedTotal < frames) {
        std::size_t consumed = 0, done = 0;
        soxr_error_t error = soxr_process(resampler_->handle, mono.data() + consumedTotal, frames - consumedTotal,
                                          &consumed, out.data() + produced, out.size() - produced, &done);
        if (error) throw std::runtime_error(std::string("converter: ") + error);
        consumedTotal += consumed;
        produced += done;
        if (produced == out.size()) out.resize(out.size() * 2);
        if (consumed == 0 && done == 0) break;
    }
    out.resize(produced);
    return out;
}

std::vector<float> Converter::flush() {
    if (!resampler_) return {};
    std::vector<float> out;
    float chunk[1024];
    for (;;) {
        std::size_t done = 0;
        soxr_error_t error = soxr_process(resampler_->handle, nullptr, 0, nullptr, chunk, 1024, &done);
        if (error || done == 0) break;
        out.insert(out.end(), chunk, chunk + done);
    }
    return out;
}

}  // namespace audioinput

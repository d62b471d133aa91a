#pragma once

#include <vector>

#include "MLRuntime/ThreadBudget.hpp"

namespace mlruntime::whisper {

// The log-mel spectrogram of one 30-second window: periodic Hann window of 400, 400-point DFT
// every 160 samples over the reflect-padded signal (frames centred, last frame dropped: 3,000
// frames), power spectrum of 201 bins, the model's mel filterbank, log10(max(m, 1e-10)), values
// clamped below at (max - 8), then (x + 4) / 4. The DFT runs in double precision through dgemm.
//
// Holds its scratch: one compute() at a time per object.
class MelSpectrogram {
public:
    // `filters` is [mels, 201] row-major.
    MelSpectrogram(std::vector<float> filters, int64_t mels);

    int64_t mels() const noexcept { return mels_; }

    // audio: N_SAMPLES floats. out: mels x N_FRAMES floats, mel-major (out[m * 3000 + t]).
    void compute(const ThreadBudget::Lease& lease, const float* audio, float* out);

private:
    int64_t mels_;
    std::vector<double> filtersT_;  // [201, mels]
    std::vector<double> dft_;       // [400, 402]: Hann-windowed cos columns 0..200, sin columns 201..401
    std::vector<double> padded_;
    std::vector<double> spectrum_;  // [3000, 402]
    std::vector<double> power_;     // [3000, 201]
    std::vector<double> mel_;       // [3000, mels]
};

}  // namespace mlruntime::whisper

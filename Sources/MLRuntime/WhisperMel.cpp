#include "MLRuntime/WhisperMel.hpp"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <mutex>

#include "MLRuntime/Error.hpp"
#include "MLRuntime/ModelFile.hpp"
#include "MLRuntime/WhisperModels.hpp"

namespace mlruntime::whisper {

MelSpectrogram::MelSpectrogram(std::vector<float> filters, int64_t mels) : mels_(mels) {
    filtersT_.resize(static_cast<size_t>(FFT_BINS * mels));
    for (int64_t m = 0; m < mels; ++m)
        for (int64_t k = 0; k < FFT_BINS; ++k) filtersT_[k * mels + m] = filters[m * FFT_BINS + k];
    // The Hann window is folded into the DFT matrix: frames are then plain slices of the signal.
    dft_.resize(static_cast<size_t>(N_FFT * 2 * FFT_BINS));
    for (int64_t n = 0; n < N_FFT; ++n) {
        double window = 0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(n) / N_FFT);
        for (int64_t k = 0; k < FFT_BINS; ++k) {
            double angle = 2.0 * M_PI * static_cast<double>((k * n) % N_FFT) / N_FFT;
            dft_[n * 2 * FFT_BINS + k] = window * std::cos(angle);
            dft_[n * 2 * FFT_BINS + FFT_BINS + k] = -window * std::sin(angle);
        }
    }
    padded_.resize(static_cast<size_t>(N_SAMPLES + N_FFT));
    spectrum_.resize(static_cast<size_t>(N_FRAMES * 2 * FFT_BINS));
    power_.resize(static_cast<size_t>(N_FRAMES * FFT_BINS));
    mel_.resize(static_cast<size_t>(N_FRAMES * mels));
}

void MelSpectrogram::compute(const ThreadBudget::Lease& lease, const float* audio, float* out) {
    const int64_t pad = N_FFT / 2;
    for (int64_t j = 0; j < N_SAMPLES + 2 * pad; ++j) {
        int64_t s = j - pad;
        if (s < 0) s = -s;
        if (s >= N_SAMPLES) s = 2 * (N_SAMPLES - 1) - s;
        padded_[j] = audio[s];
    }
    const int64_t columns = 2 * FFT_BINS;
    auto computeFrames = [&](size_t begin, size_t end) {
        thread_local std::vector<double> frames;
        frames.resize((end - begin) * N_FFT);
        for (size_t t = begin; t < end; ++t)
            std::copy_n(padded_.data() + t * HOP_LENGTH, N_FFT, frames.data() + (t - begin) * N_FFT);
        auto rows = static_cast<blasint>(end - begin);
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, rows, columns, N_FFT, 1.0, frames.data(), N_FFT,
                    dft_.data(), columns, 0.0, spectrum_.data() + begin * columns, columns);
        for (size_t t = begin; t < end; ++t) {
            const double* row = spectrum_.data() + t * columns;
            double* power = power_.data() + t * FFT_BINS;
            for (int64_t k = 0; k < FFT_BINS; ++k) power[k] = row[k] * row[k] + row[FFT_BINS + k] * row[FFT_BINS + k];
        }
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, rows, static_cast<blasint>(mels_), FFT_BINS, 1.0,
                    power_.data() + begin * FFT_BINS, FFT_BINS, filtersT_.data(), static_cast<blasint>(mels_), 0.0,
                    mel_.data() + begin * mels_, static_cast<blasint>(mels_));
        for (size_t i = begin * mels_; i < end * mels_; ++i) mel_[i] = std::log10(std::max(mel_[i], 1e-10));
    };
    // Frames in a few slices, so that a yielding lease can hand threads over between them.
    const size_t slice = 512;
    for (size_t first = 0; first < static_cast<size_t>(N_FRAMES); first += slice) {
        lease.rebalance();
        const size_t count = std::min(slice, static_cast<size_t>(N_FRAMES) - first);
        lease.parallelFor(count, 64, [&](size_t begin, size_t end) { computeFrames(first + begin, first + end); });
    }
    double maxValue = *std::max_element(mel_.begin(), mel_.end());
    double floor = maxValue - 8.0;
    for (int64_t t = 0; t < N_FRAMES; ++t)
        for (int64_t m = 0; m < mels_; ++m)
            out[m * N_FRAMES + t] = static_cast<float>((std::max(mel_[t * mels_ + m], floor) + 4.0) / 4.0);
}

namespace {

class WhisperMelModel : public Model {
public:
    WhisperMelModel(const MelConfig& config, std::vector<float> filters, ComputeUnits units)
        : Model(units), description_(melDescription(config)), mel_(std::move(filters), config.mels),
          output_(static_cast<size_t>(config.mels * N_FRAMES)) {}

    const ModelDescription& description() const override { return description_; }

    std::shared_ptr<FeatureProvider> predict(const FeatureProvider& inputs) const override {
        description_.validateInputs(inputs);
        MultiArray input = inputs.requireMultiArray(AUDIO);
        std::lock_guard<std::mutex> lock(mutex_);
        const float* audio = floatsOf(input, input_);
        {
            auto lease = ThreadBudget::shared().acquire(0, ThreadBudget::Share::yields);
            mel_.compute(lease, audio, output_.data());
        }
        std::map<std::string, FeatureValue> features;
        features.emplace(MEL_FEATURES, halfArray(output_.data(), {1, mel_.mels(), 1, N_FRAMES}));
        return std::make_shared<DictionaryFeatureProvider>(std::move(features));
    }

private:
    ModelDescription description_;
    mutable std::mutex mutex_;
    mutable MelSpectrogram mel_;        // guarded by mutex_
    mutable std::vector<float> output_; // guarded by mutex_
    mutable std::vector<float> input_;  // guarded by mutex_
};

}  // namespace

}  // namespace mlruntime::whisper

namespace mlruntime {

std::shared_ptr<Model> makeWhisperMelModel(ModelFile& file, ComputeUnits computeUnits) {
    auto config = whisper::melConfig(file);
    file.checkDescription(whisper::melDescription(config));
    auto filters = file.weights().floats(whisper::MEL_FILTERS, {config.mels, whisper::FFT_BINS});
    file.closeWeights();
    return std::make_shared<whisper::WhisperMelModel>(config, std::move(filters), computeUnits);
}

}  // namespace mlruntime

// The mel feature extractor: one window of 16 kHz mono samples in, the log-mel spectrogram out,
// computed by the model folder's MelSpectrogram model.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "DaroriCore/ConcurrencyUtilities.hpp"
#include "MLRuntime/Model.hpp"
#include "MLRuntime/MultiArray.hpp"
#include "ZadezarIro/Core/ModelVariant.hpp"

namespace zadezariro {

// A replaceable engine component that turns audio into features. A null array stands for an input
// that is not a multi-array.
class FeatureExtracting {
public:
    virtual ~FeatureExtracting() = default;
    // Mel bins per frame, or absent when unknown.
    virtual std::optional<std::int64_t> melCount() const = 0;
    // Samples in one window, or absent when unknown.
    virtual std::optional<std::int64_t> windowSamples() const = 0;
    virtual std::optional<mlruntime::MultiArray> logMelSpectrogram(const mlruntime::MultiArray& audio) = 0;
};

// Thread-safe: the model is read once per call under its lock and used outside it, so a prediction
// that already holds the model runs to its end when the model is unloaded meanwhile.
class FeatureExtractor : public FeatureExtracting, public WhisperMLModel {
public:
    FeatureExtractor() = default;

    std::shared_ptr<mlruntime::Model> model() const override { return model_.get(); }
    void setModel(std::shared_ptr<mlruntime::Model> model) override { model_.set(std::move(model)); }

    // Dimension 1 of the "melspectrogram_features" output; absent without a model or that output.
    std::optional<std::int64_t> melCount() const override;
    // Dimension 0 of the "audio" input; absent without a model or that input.
    std::optional<std::int64_t> windowSamples() const override;

    // One prediction under the "ExtractAudioFeatures" signpost; returns "melspectrogram_features".
    // Throws WhisperError audioProcessingFailed ("FeatureExtractor input must be MLMultiArray") for a
    // null array, modelsUnavailable ("Models are unavailable") without a model,
    // cancellation::CancellationError before the prediction once the thread's task is cancelled, and
    // passes the runtime's prediction errors on (the signpost interval is ended on every path).
    std::optional<mlruntime::MultiArray> logMelSpectrogram(const mlruntime::MultiArray& audio) override;

private:
    darori::Protected<std::shared_ptr<mlruntime::Model>> model_;
};

}  // namespace zadezariro

// The audio encoder: mel features of one window in, the encoder embeddings the text decoder
// attends to out, computed by the model folder's AudioEncoder model.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "DaroriCore/ConcurrencyUtilities.hpp"
#include "MLRuntime/Model.hpp"
#include "MLRuntime/MultiArray.hpp"
#include "ZadezarIro/Core/ModelVariant.hpp"

namespace zadezariro {

// A replaceable engine component that encodes features. A null array stands for an input that is
// not a multi-array.
class AudioEncoding {
public:
    virtual ~AudioEncoding() = default;
    // The embedding width, or absent when unknown.
    virtual std::optional<std::int64_t> embedSize() const = 0;
    virtual std::optional<mlruntime::MultiArray> encodeFeatures(const mlruntime::MultiArray& features) = 0;
};

// Thread-safe like FeatureExtractor: the model is read once per call under its lock.
class AudioEncoder : public AudioEncoding, public WhisperMLModel {
public:
    AudioEncoder() = default;

    std::shared_ptr<mlruntime::Model> model() const override { return model_.get(); }
    void setModel(std::shared_ptr<mlruntime::Model> model) override { model_.set(std::move(model)); }

    // Dimension 1 (embedSize) and 3 (sequenceLength) of the "encoder_output_embeds" output; absent
    // without a model or that output.
    std::optional<std::int64_t> embedSize() const override;
    std::optional<std::int64_t> sequenceLength() const;

    // One prediction under the "EncodeAudio" signpost; returns "encoder_output_embeds".
    // Throws WhisperError audioProcessingFailed ("AudioEncoder input must be MLMultiArray") for a
    // null array, modelsUnavailable ("Models are unavailable") without a model,
    // cancellation::CancellationError before the prediction once the thread's task is cancelled, and
    // passes the runtime's prediction errors on (the signpost interval is ended on every path).
    std::optional<mlruntime::MultiArray> encodeFeatures(const mlruntime::MultiArray& features) override;

private:
    darori::Protected<std::shared_ptr<mlruntime::Model>> model_;
};

}  // namespace zadezariro

// The named inputs and outputs of the engine's three models (mel spectrogram, audio encoder, text
// decoder). The feature names are the contract with the model files.
//
// Inputs hold their arrays directly; outputs read from the provider a prediction returned. Required
// output accessors throw mlruntime::Error(missingFeature) naming the feature when a model did not
// produce it. The "ShapedArray" twins return a half-precision snapshot (mlruntime::Tensor of
// Float16) of the same array. Plain objects owned by one model call: not for concurrent mutation.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "MLRuntime/FeatureProvider.hpp"
#include "MLRuntime/MultiArray.hpp"
#include "MLRuntime/Tensor.hpp"

namespace zadezariro {

// Answers {"audio"}.
class MelSpectrogramInput : public mlruntime::FeatureProvider {
public:
    explicit MelSpectrogramInput(mlruntime::MultiArray audio) : audio(std::move(audio)) {}
    // The tensor's scalars as a new multi-array.
    explicit MelSpectrogramInput(const mlruntime::Tensor& audio) : audio(audio.toMultiArray()) {}

    std::set<std::string> featureNames() const override;
    std::optional<mlruntime::FeatureValue> featureValue(const std::string& name) const override;

    mlruntime::MultiArray audio;
};

// Answers {"melspectrogram_features"}.
class AudioEncoderInput : public mlruntime::FeatureProvider {
public:
    explicit AudioEncoderInput(mlruntime::MultiArray melspectrogram_features)
        : melspectrogram_features(std::move(melspectrogram_features)) {}
    explicit AudioEncoderInput(const mlruntime::Tensor& melspectrogram_features)
        : melspectrogram_features(melspectrogram_features.toMultiArray()) {}

    std::set<std::string> featureNames() const override;
    std::optional<mlruntime::FeatureValue> featureValue(const std::string& name) const override;

    mlruntime::MultiArray melspectrogram_features;
};

// Answers the seven names of its fields.
class TextDecoderInput : public mlruntime::FeatureProvider {
public:
    TextDecoderInput(mlruntime::MultiArray input_ids, mlruntime::MultiArray cache_length, mlruntime::MultiArray key_cache,
                     mlruntime::MultiArray value_cache, mlruntime::MultiArray kv_cache_update_mask,
                     mlruntime::MultiArray encoder_output_embeds, mlruntime::MultiArray decoder_key_padding_mask);
    // From tensors (Int32 ids and cache length, Float32 others), each turned into a new multi-array.
    TextDecoderInput(const mlruntime::Tensor& input_ids, const mlruntime::Tensor& cache_length,
                     const mlruntime::Tensor& key_cache, const mlruntime::Tensor& value_cache,
                     const mlruntime::Tensor& kv_cache_update_mask, const mlruntime::Tensor& encoder_output_embeds,
                     const mlruntime::Tensor& decoder_key_padding_mask);

    std::set<std::string> featureNames() const override;
    std::optional<mlruntime::FeatureValue> featureValue(const std::string& name) const override;

    mlruntime::MultiArray input_ids;
    mlruntime::MultiArray cache_length;
    mlruntime::MultiArray key_cache;
    mlruntime::MultiArray value_cache;
    mlruntime::MultiArray kv_cache_update_mask;
    mlruntime::MultiArray encoder_output_embeds;
    mlruntime::MultiArray decoder_key_padding_mask;
};

// An output provider: the prediction's result (or one built from arrays), forwarded as it is.
class ModelOutput : public mlruntime::FeatureProvider {
public:
    explicit ModelOutput(std::shared_ptr<const mlruntime::FeatureProvider> features) : provider(std::move(features)) {}

    std::set<std::string> featureNames() const override { return provider->featureNames(); }
    std::optional<mlruntime::FeatureValue> featureValue(const std::string& name) const override {
        return provider->featureValue(name);
    }

    std::shared_ptr<const mlruntime::FeatureProvider> provider;

protected:
    mlruntime::MultiArray required(const std::string& name) const { return provider->requireMultiArray(name); }
    mlruntime::Tensor requiredHalf(const std::string& name) const;
    std::optional<mlruntime::MultiArray> optionalArray(const std::string& name) const;
};

class MelSpectrogramOutput : public ModelOutput {
public:
    using ModelOutput::ModelOutput;
    // A provider with the one entry "melspectrogram_features".
    explicit MelSpectrogramOutput(mlruntime::MultiArray melspectrogram_features);

    mlruntime::MultiArray melspectrogramFeatures() const { return required("melspectrogram_features"); }
    mlruntime::Tensor melspectrogram_featuresShapedArray() const { return requiredHalf("melspectrogram_features"); }
};

class AudioEncoderOutput : public ModelOutput {
public:
    using ModelOutput::ModelOutput;
    // A provider with the one entry "encoder_output_embeds".
    explicit AudioEncoderOutput(mlruntime::MultiArray encoder_output_embeds);

    mlruntime::MultiArray encoder_output_embeds() const { return required("encoder_output_embeds"); }
    mlruntime::Tensor encoder_output_embedsShapedArray() const { return requiredHalf("encoder_output_embeds"); }
};

class TextDecoderOutput : public ModelOutput {
public:
    using ModelOutput::ModelOutput;
    // A provider with the entries "logits", "key_cache_updates" and "value_cache_updates";
    // logits_darori is accepted and not used.
    TextDecoderOutput(mlruntime::MultiArray logits, mlruntime::MultiArray key_cache_updates,
                      mlruntime::MultiArray value_cache_updates, mlruntime::MultiArray logits_darori);

    mlruntime::MultiArray logits() const { return required("logits"); }
    mlruntime::Tensor logitsShapedArray() const { return requiredHalf("logits"); }
    mlruntime::MultiArray key_cache_updates() const { return required("key_cache_updates"); }
    mlruntime::Tensor key_cache_updatesShapedArray() const { return requiredHalf("key_cache_updates"); }
    mlruntime::MultiArray value_cache_updates() const { return required("value_cache_updates"); }
    mlruntime::Tensor value_cache_updatesShapedArray() const { return requiredHalf("value_cache_updates"); }
    // Absent when the model has no such output.
    std::optional<mlruntime::MultiArray> alignment_heads_weights() const { return optionalArray("alignment_heads_weights"); }
    std::optional<mlruntime::Tensor> alignment_heads_weightsShapedArray() const;
};

}  // namespace zadezariro

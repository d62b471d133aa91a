#include "ZadezarIro/Core/ModelFeatures.hpp"

#include <map>

namespace zadezariro {

using mlruntime::DataType;
using mlruntime::FeatureValue;
using mlruntime::MultiArray;

std::set<std::string> MelSpectrogramInput::featureNames() const { return {"audio"}; }

std::optional<FeatureValue> MelSpectrogramInput::featureValue(const std::string& name) const {
    if (name == "audio") return FeatureValue(audio);
    return std::nullopt;
}

std::set<std::string> AudioEncoderInput::featureNames() const { return {"melspectrogram_features"}; }

std::optional<FeatureValue> AudioEncoderInput::featureValue(const std::string& name) const {
    if (name == "melspectrogram_features") return FeatureValue(melspectrogram_features);
    return std::nullopt;
}

TextDecoderInput::TextDecoderInput(MultiArray input_ids, MultiArray cache_length, MultiArray key_cache, MultiArray value_cache,
                                   MultiArray kv_cache_update_mask, MultiArray encoder_output_embeds,
                                   MultiArray decoder_key_padding_mask)
    : input_ids(std::move(input_ids)),
      cache_length(std::move(cache_length)),
      key_cache(std::move(key_cache)),
      value_cache(std::move(value_cache)),
      kv_cache_update_mask(std::move(kv_cache_update_mask)),
      encoder_output_embeds(std::move(encoder_output_embeds)),
      decoder_key_padding_mask(std::move(decoder_key_padding_mask)) {}

TextDecoderInput::TextDecoderInput(const mlruntime::Tensor& input_ids, const mlruntime::Tensor& cache_length,
                                   const mlruntime::Tensor& key_cache, const mlruntime::Tensor& value_cache,
                                   const mlruntime::Tensor& kv_cache_update_mask,
                                   const mlruntime::Tensor& encoder_output_embeds,
                                   const mlruntime::Tensor& decoder_key_padding_mask)
    : TextDecoderInput(input_ids.toMultiArray(), cache_length.toMultiArray(), key_cache.toMultiArray(),
                       value_cache.toMultiArray(), kv_cache_update_mask.toMultiArray(),
                       encoder_output_embeds.toMultiArray(), decoder_key_padding_mask.toMultiArray()) {}

std::set<std::string> TextDecoderInput::featureNames() const {
    return {"input_ids",         "cache_length",          "key_cache",
            "value_cache",       "kv_cache_update_mask", "encoder_output_embeds",
            "decoder_key_padding_mask"};
}

std::optional<FeatureValue> TextDecoderInput::featureValue(const std::string& name) const {
    if (name == "input_ids") return FeatureValue(input_ids);
    if (name == "cache_length") return FeatureValue(cache_length);
    if (name == "key_cache") return FeatureValue(key_cache);
    if (name == "value_cache") return FeatureValue(value_cache);
    if (name == "kv_cache_update_mask") return FeatureValue(kv_cache_update_mask);
    if (name == "encoder_output_embeds") return FeatureValue(encoder_output_embeds);
    if (name == "decoder_key_padding_mask") return FeatureValue(decoder_key_padding_mask);
    return std::nullopt;
}

mlruntime::Tensor ModelOutput::requiredHalf(const std::string& name) const {
    return mlruntime::Tensor(required(name).converted(DataType::Float16));
}

std::optional<MultiArray> ModelOutput::optionalArray(const std::string& name) const {
    if (auto value = provider->featureValue(name)) return value->multiArrayValue();
    return std::nullopt;
}

namespace {
std::shared_ptr<const mlruntime::FeatureProvider> dictionary(std::map<std::string, FeatureValue> features) {
    return std::make_shared<mlruntime::DictionaryFeatureProvider>(std::move(features));
}
}  // namespace

MelSpectrogramOutput::MelSpectrogramOutput(MultiArray melspectrogram_features)
    : ModelOutput(dictionary({{"melspectrogram_features", FeatureValue(std::move(melspectrogram_features))}})) {}

AudioEncoderOutput::AudioEncoderOutput(MultiArray encoder_output_embeds)
    : ModelOutput(dictionary({{"encoder_output_embeds", FeatureValue(std::move(encoder_output_embeds))}})) {}

TextDecoderOutput::TextDecoderOutput(MultiArray logits, MultiArray key_cache_updates, MultiArray value_cache_updates,
                                     MultiArray /*logits_darori*/)
    : ModelOutput(dictionary({{"logits", FeatureValue(std::move(logits))},
                              {"key_cache_updates", FeatureValue(std::move(key_cache_updates))},
                              {"value_cache_updates", FeatureValue(std::move(value_cache_updates))}})) {}

std::optional<mlruntime::Tensor> TextDecoderOutput::alignment_heads_weightsShapedArray() const {
    auto array = alignment_heads_weights();
    if (!array) return std::nullopt;
    return mlruntime::Tensor(array->converted(DataType::Float16));
}

}  // namespace zadezariro

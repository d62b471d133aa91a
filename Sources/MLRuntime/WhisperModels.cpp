#include "MLRuntime/WhisperModels.hpp"

#include "MLRuntime/ModelFile.hpp"

namespace mlruntime::whisper {

MelConfig melConfig(const ModelFile& file) { return {file.hyperparameter(H_MELS)}; }

EncoderConfig encoderConfig(const ModelFile& file) {
    EncoderConfig config;
    config.mels = file.hyperparameter(H_MELS);
    config.audioContext = file.hyperparameter(H_AUDIO_CTX);
    config.width = file.hyperparameter(H_STATE);
    config.heads = file.hyperparameter(H_HEAD);
    config.layers = file.hyperparameter(H_LAYER);
    if (config.width % config.heads != 0) file.fail("n_state must be a multiple of n_head");
    if (config.audioContext != AUDIO_CONTEXT)
        file.fail("n_audio_ctx must be " + std::to_string(AUDIO_CONTEXT) + " for 30-second windows");
    return config;
}

DecoderConfig decoderConfig(const ModelFile& file) {
    DecoderConfig config;
    config.vocab = file.hyperparameter(H_VOCAB);
    config.textContext = file.hyperparameter(H_TEXT_CTX);
    config.width = file.hyperparameter(H_STATE);
    config.heads = file.hyperparameter(H_HEAD);
    config.layers = file.hyperparameter(H_LAYER);
    config.audioContext = file.hyperparameter(H_AUDIO_CTX);
    if (config.width % config.heads != 0) file.fail("n_state must be a multiple of n_head");
    const auto& json = file.json();
    auto heads = json.find("alignment_heads");
    if (heads != json.end()) {
        if (!heads->is_array()) file.fail("alignment_heads must be a list of [layer, head] pairs");
        for (const auto& pair : *heads) {
            if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer() || !pair[1].is_number_integer())
                file.fail("alignment_heads must be a list of [layer, head] pairs");
            int64_t layer = pair[0].get<int64_t>();
            int64_t head = pair[1].get<int64_t>();
            if (layer < 0 || layer >= config.layers || head < 0 || head >= config.heads)
                file.fail("alignment head " + pair.dump() + " lies outside the model");
            config.alignmentHeads.emplace_back(layer, head);
        }
    }
    if (config.alignmentHeads.empty()) {
        // Without a list, every head of the upper half of the layers counts.
        for (int64_t layer = config.layers / 2; layer < config.layers; ++layer)
            for (int64_t head = 0; head < config.heads; ++head) config.alignmentHeads.emplace_back(layer, head);
    }
    return config;
}

std::vector<float> inputFloats(const FeatureProvider& inputs, const std::string& name) {
    MultiArray array = inputs.requireMultiArray(name);
    if (array.dataType() == DataType::Float32 && array.isContiguous()) {
        const float* data = array.typedData<float>();
        return std::vector<float>(data, data + array.count());
    }
    if (array.dataType() == DataType::Float16 && array.isContiguous()) {
        std::vector<float> values(static_cast<size_t>(array.count()));
        halfToFloat(array.typedData<Half>(), values.data(), values.size());
        return values;
    }
    return array.toFloats();
}

const float* floatsOf(const MultiArray& array, std::vector<float>& scratch) {
    if (array.dataType() == DataType::Float32 && array.isContiguous()) return array.typedData<float>();
    scratch.resize(static_cast<size_t>(array.count()));
    if (array.dataType() == DataType::Float16 && array.isContiguous()) {
        halfToFloat(array.typedData<Half>(), scratch.data(), scratch.size());
    } else {
        size_t i = 0;
        array.forEachOffset([&](int64_t offset) { scratch[i++] = static_cast<float>(array.value(offset)); });
    }
    return scratch.data();
}

MultiArray halfArray(const float* values, std::vector<int64_t> shape) {
    MultiArray array(std::move(shape), DataType::Float16);
    floatToHalf(values, array.typedData<Half>(), static_cast<size_t>(array.count()));
    return array;
}

}  // namespace mlruntime::whisper

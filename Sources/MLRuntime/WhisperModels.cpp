#include "MLRuntime/WhisperModels.hpp"

#include <charconv>
#include <string_view>

#include "MLRuntime/JsonExcerpt.hpp"
#include "MLRuntime/ModelFile.hpp"

namespace mlruntime::whisper {

namespace {

// weights.bin must hold every tensor of `layouts` with its shape, and no block at or beyond
// `layers`: model.json's hyperparameters are trusted only once the weights agree with them.
void checkWeights(const ModelFile& file, const std::vector<TensorLayout>& layouts, int64_t layers) {
    const WeightsFile& weights = file.weights();
    for (const auto& layout : layouts) weights.require(layout.name, layout.shape);
    static constexpr std::string_view BLOCKS = "blocks.";
    for (const auto& entry : weights.tensors()) {
        std::string_view name = entry.first;
        if (name.substr(0, BLOCKS.size()) != BLOCKS) continue;
        int64_t layer = -1;
        auto digits = name.substr(BLOCKS.size());
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), layer);
        if (error != std::errc() || *end != '.' || layer >= layers)
            file.fail("n_layer is " + std::to_string(layers) + " but weights.bin holds tensor \"" +
                      textExcerpt(name) + "\"");
    }
}

int64_t headsOf(const ModelFile& file, int64_t width) {
    int64_t heads = file.hyperparameter(H_HEAD, MAX_HEADS);
    if (width % heads != 0) file.fail("n_state must be a multiple of n_head");
    return heads;
}

int64_t audioContextOf(const ModelFile& file) {
    int64_t context = file.hyperparameter(H_AUDIO_CTX, MAX_TEXT_CTX);
    if (context != AUDIO_CONTEXT)
        file.fail("n_audio_ctx must be " + std::to_string(AUDIO_CONTEXT) + " for 30-second windows");
    return context;
}

}  // namespace

MelConfig melConfig(const ModelFile& file) {
    MelConfig config{file.hyperparameter(H_MELS, MAX_MELS)};
    for (const auto& layout : melTensors(config)) file.weights().require(layout.name, layout.shape);
    return config;
}

EncoderConfig encoderConfig(const ModelFile& file) {
    EncoderConfig config;
    config.mels = file.hyperparameter(H_MELS, MAX_MELS);
    config.audioContext = audioContextOf(file);
    config.width = file.hyperparameter(H_STATE, MAX_WIDTH);
    config.heads = headsOf(file, config.width);
    config.layers = file.hyperparameter(H_LAYER, MAX_LAYERS);
    checkWeights(file, encoderTensors(config), config.layers);
    return config;
}

DecoderConfig decoderConfig(const ModelFile& file) {
    DecoderConfig config;
    config.vocab = file.hyperparameter(H_VOCAB, MAX_VOCAB);
    config.textContext = file.hyperparameter(H_TEXT_CTX, MAX_TEXT_CTX);
    config.width = file.hyperparameter(H_STATE, MAX_WIDTH);
    config.heads = headsOf(file, config.width);
    config.layers = file.hyperparameter(H_LAYER, MAX_LAYERS);
    config.audioContext = audioContextOf(file);
    if (config.layers * config.width * config.textContext > MAX_CACHE_ELEMENTS)
        file.fail("n_layer x n_state x n_text_ctx is more than the " + std::to_string(MAX_CACHE_ELEMENTS) +
                  " cache elements this runtime accepts");
    // A scripted decoder has no weights; a real one must carry every tensor the numbers promise.
    if (file.kind() == DECODER_KIND) checkWeights(file, decoderTensors(config), config.layers);
    const auto& json = file.json();
    auto heads = json.find("alignment_heads");
    if (heads != json.end()) {
        if (!heads->is_array()) file.fail("alignment_heads must be a list of [layer, head] pairs");
        for (const auto& pair : *heads) {
            if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer() || !pair[1].is_number_integer())
                file.fail("alignment_heads must be a list of [layer, head] pairs, not " + jsonExcerpt(pair));
            int64_t layer = pair[0].get<int64_t>();
            int64_t head = pair[1].get<int64_t>();
            if (layer < 0 || layer >= config.layers || head < 0 || head >= config.heads)
                file.fail("alignment head " + jsonExcerpt(pair) + " lies outside the model");
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

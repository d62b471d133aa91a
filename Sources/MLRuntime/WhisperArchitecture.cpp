#include "MLRuntime/WhisperArchitecture.hpp"

#include "MLRuntime/ModelFile.hpp"

namespace mlruntime::whisper {

ModelDescription melDescription(const MelConfig& config) {
    ModelDescription description;
    description.inputs.push_back(arrayFeature(AUDIO, DataType::Float32, {N_SAMPLES}));
    description.outputs.push_back(arrayFeature(MEL_FEATURES, DataType::Float16, {1, config.mels, 1, N_FRAMES}));
    return description;
}

ModelDescription encoderDescription(const EncoderConfig& config) {
    ModelDescription description;
    description.inputs.push_back(arrayFeature(MEL_FEATURES, DataType::Float16, {1, config.mels, 1, 2 * config.audioContext}));
    description.outputs.push_back(arrayFeature(ENCODER_OUTPUT, DataType::Float16, {1, config.width, 1, config.audioContext}));
    return description;
}

ModelDescription decoderDescription(const DecoderConfig& config) {
    const int64_t channels = config.layers * config.width;
    const int64_t positions = config.textContext;
    ModelDescription description;
    description.inputs = {
        arrayFeature(INPUT_IDS, DataType::Int32, {1}),
        arrayFeature(CACHE_LENGTH, DataType::Int32, {1}),
        arrayFeature(KEY_CACHE, DataType::Float16, {1, channels, 1, positions}),
        arrayFeature(VALUE_CACHE, DataType::Float16, {1, channels, 1, positions}),
        arrayFeature(UPDATE_MASK, DataType::Int32, {1, positions}),
        arrayFeature(ENCODER_OUTPUT, DataType::Float16, {1, config.width, 1, config.audioContext}),
        arrayFeature(PADDING_MASK, DataType::Float16, {1, positions}),
    };
    description.outputs = {
        arrayFeature(LOGITS, DataType::Float16, {1, 1, config.vocab}),
        arrayFeature(KEY_UPDATES, DataType::Float16, {1, channels, 1, 1}),
        arrayFeature(VALUE_UPDATES, DataType::Float16, {1, channels, 1, 1}),
        arrayFeature(ALIGNMENT_WEIGHTS, DataType::Float16, {1, config.audioContext}),
    };
    return description;
}

AttentionNames attentionNames(int64_t layer, const std::string& prefix) {
    std::string base = "blocks." + std::to_string(layer) + "." + prefix;
    return {base + "_ln.weight",   base + "_ln.bias",     base + ".query.weight",
            base + ".query.bias",  base + ".key.weight",  base + ".value.weight",
            base + ".value.bias",  base + ".out.weight",  base + ".out.bias"};
}

MlpNames mlpNames(int64_t layer) {
    std::string base = "blocks." + std::to_string(layer) + ".mlp";
    return {base + "_ln.weight", base + "_ln.bias", base + ".fc1.weight",
            base + ".fc1.bias",  base + ".fc2.weight", base + ".fc2.bias"};
}

namespace {

void addAttention(std::vector<TensorLayout>& list, const AttentionNames& n, int64_t d) {
    list.push_back({n.lnWeight, {d}});
    list.push_back({n.lnBias, {d}});
    list.push_back({n.queryWeight, {d, d}});
    list.push_back({n.queryBias, {d}});
    list.push_back({n.keyWeight, {d, d}});
    list.push_back({n.valueWeight, {d, d}});
    list.push_back({n.valueBias, {d}});
    list.push_back({n.outWeight, {d, d}});
    list.push_back({n.outBias, {d}});
}

void addMlp(std::vector<TensorLayout>& list, const MlpNames& n, int64_t d) {
    list.push_back({n.lnWeight, {d}});
    list.push_back({n.lnBias, {d}});
    list.push_back({n.fc1Weight, {4 * d, d}});
    list.push_back({n.fc1Bias, {4 * d}});
    list.push_back({n.fc2Weight, {d, 4 * d}});
    list.push_back({n.fc2Bias, {d}});
}

}  // namespace

std::vector<TensorLayout> melTensors(const MelConfig& config) { return {{MEL_FILTERS, {config.mels, FFT_BINS}}}; }

std::vector<TensorLayout> encoderTensors(const EncoderConfig& c) {
    std::vector<TensorLayout> list = {
        {CONV1_WEIGHT, {c.width, c.mels, 3}}, {CONV1_BIAS, {c.width}},
        {CONV2_WEIGHT, {c.width, c.width, 3}}, {CONV2_BIAS, {c.width}},
        {POSITIONAL_EMBEDDING, {c.audioContext, c.width}},
    };
    for (int64_t layer = 0; layer < c.layers; ++layer) {
        addAttention(list, attentionNames(layer, "attn"), c.width);
        addMlp(list, mlpNames(layer), c.width);
    }
    list.push_back({LN_POST_WEIGHT, {c.width}});
    list.push_back({LN_POST_BIAS, {c.width}});
    return list;
}

std::vector<TensorLayout> decoderTensors(const DecoderConfig& c) {
    std::vector<TensorLayout> list = {
        {TOKEN_EMBEDDING, {c.vocab, c.width}},
        {POSITIONAL_EMBEDDING, {c.textContext, c.width}},
    };
    for (int64_t layer = 0; layer < c.layers; ++layer) {
        addAttention(list, attentionNames(layer, "attn"), c.width);
        addAttention(list, attentionNames(layer, "cross_attn"), c.width);
        addMlp(list, mlpNames(layer), c.width);
    }
    list.push_back({LN_POST_WEIGHT, {c.width}});
    list.push_back({LN_POST_BIAS, {c.width}});
    return list;
}

}  // namespace mlruntime::whisper

// The decoder inputs checked and converted, and the decoder outputs as arrays.
#include "MLRuntime/WhisperDecoderInputs.hpp"

#include <cstring>

#include "MLRuntime/Error.hpp"
#include "MLRuntime/WhisperModels.hpp"

namespace mlruntime::whisper {

namespace {

std::vector<Half> halves(const MultiArray& array) {
    std::vector<Half> values(static_cast<size_t>(array.count()));
    if (array.dataType() == DataType::Float16 && array.isContiguous()) {
        std::memcpy(values.data(), array.data(), values.size() * sizeof(Half));
    } else {
        auto floats = array.toFloats();
        floatToHalf(floats.data(), values.data(), values.size());
    }
    return values;
}

}  // namespace

DecoderInputs::DecoderInputs(const DecoderConfig& config, const ModelDescription& description,
                             const FeatureProvider& inputs) {
    description.validateInputs(inputs);
    auto integer = [&](const char* name, int64_t limit) {
        double value = inputs.requireMultiArray(name).value(int64_t{0});
        if (!(value >= 0 && value < static_cast<double>(limit)))
            throw Error(Error::Code::invalidArgument, std::string("\"") + name + "\" value " + std::to_string(value) +
                                                          " lies outside [0, " + std::to_string(limit) + ")");
        return static_cast<int64_t>(value);
    };
    token = integer(INPUT_IDS, config.vocab);
    position = integer(CACHE_LENGTH, config.textContext);
    MultiArray keys = inputs.requireMultiArray(KEY_CACHE);
    MultiArray values = inputs.requireMultiArray(VALUE_CACHE);
    if (keys.dataType() == DataType::Float16 && keys.isContiguous()) {
        keyCache = keys.typedData<Half>();
    } else {
        keyCopy = halves(keys);
        keyCache = keyCopy.data();
    }
    if (values.dataType() == DataType::Float16 && values.isContiguous()) {
        valueCache = values.typedData<Half>();
    } else {
        valueCopy = halves(values);
        valueCache = valueCopy.data();
    }
    keyArray = keys;
    valueArray = values;
    for (float flag : inputFloats(inputs, UPDATE_MASK)) updateMask.push_back(flag != 0.0f ? 1 : 0);
    paddingMask = inputFloats(inputs, PADDING_MASK);
    encoder = inputs.requireMultiArray(ENCODER_OUTPUT);
}

DecoderStepInput DecoderInputs::stepInput() const {
    DecoderStepInput step;
    step.token = token;
    step.position = position;
    step.keyCache = keyCache;
    step.valueCache = valueCache;
    step.updateMask = updateMask.data();
    step.paddingMask = paddingMask.data();
    return step;
}

std::shared_ptr<FeatureProvider> decoderOutputs(const DecoderConfig& config, const DecoderStepOutput& output) {
    const int64_t channels = config.layers * config.width;
    std::map<std::string, FeatureValue> features;
    features.emplace(LOGITS, halfArray(output.logits.data(), {1, 1, config.vocab}));
    features.emplace(KEY_UPDATES, halfArray(output.keys.data(), {1, channels, 1, 1}));
    features.emplace(VALUE_UPDATES, halfArray(output.values.data(), {1, channels, 1, 1}));
    features.emplace(ALIGNMENT_WEIGHTS, halfArray(output.alignment.data(), {1, config.audioContext}));
    return std::make_shared<DictionaryFeatureProvider>(std::move(features));
}

}  // namespace mlruntime::whisper

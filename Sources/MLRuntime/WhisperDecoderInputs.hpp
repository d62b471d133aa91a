#pragma once

#include <memory>
#include <vector>

#include "MLRuntime/FeatureProvider.hpp"
#include "MLRuntime/ModelDescription.hpp"
#include "MLRuntime/WhisperDecoder.hpp"

namespace mlruntime::whisper {

// The seven decoder inputs, checked and made readable: shapes as the description declares (any
// element type), the token inside the vocabulary and the position inside the cache. Throws
// Error(missingFeature) or Error(invalidArgument) naming the feature. Borrows the caches when
// they are contiguous Float16 (the caller's arrays must outlive this object), copies otherwise.
struct DecoderInputs {
    DecoderInputs(const DecoderConfig& config, const ModelDescription& description, const FeatureProvider& inputs);

    int64_t token = 0;
    int64_t position = 0;
    const Half* keyCache = nullptr;
    const Half* valueCache = nullptr;
    std::vector<int32_t> updateMask;
    std::vector<float> paddingMask;
    MultiArray encoder;  // [1, width, 1, audioContext]

    DecoderStepInput stepInput() const;

private:
    MultiArray keyArray, valueArray;  // keep borrowed storage alive
    std::vector<Half> keyCopy, valueCopy;
};

// The four decoder outputs as new Float16 arrays.
std::shared_ptr<FeatureProvider> decoderOutputs(const DecoderConfig& config, const DecoderStepOutput& output);

}  // namespace mlruntime::whisper

#pragma once

#include <vector>

#include "MLRuntime/ThreadBudget.hpp"
#include "MLRuntime/WeightsFile.hpp"
#include "MLRuntime/WhisperArchitecture.hpp"

namespace mlruntime::whisper {

// One layer's weights in float32, with query, key and value fused into one [3d, d] matrix (the key
// part of the fused bias is zero: the key projection has no bias).
struct AttentionWeights {
    std::vector<float> lnWeight, lnBias, qkvWeight, qkvBias, outWeight, outBias;
};
struct MlpWeights {
    std::vector<float> lnWeight, lnBias, fc1Weight, fc1Bias, fc2Weight, fc2Bias;
};

// One layer's attention or MLP tensors read from `file` as float32, every shape checked against
// `width`. Throw Error(invalidModel) naming the file when a tensor is missing or misshapen.
AttentionWeights loadAttention(const WeightsFile& file, const AttentionNames& names, int64_t width);
MlpWeights loadMlp(const WeightsFile& file, const MlpNames& names, int64_t width);

// The audio encoder: two convolutions with GELU, sinusoidal positions, pre-LayerNorm transformer
// blocks and a final LayerNorm, over the [mels, 3000] features of one window. Holds its scratch:
// one encode() at a time per object.
class WhisperEncoder {
public:
    // Reads and checks every tensor of `config` from `file` (Error(invalidModel) naming the file).
    WhisperEncoder(const EncoderConfig& config, const WeightsFile& file);

    const EncoderConfig& config() const noexcept { return config_; }

    // mel: [mels, 3000] mel-major. out: [width, 1500] channel-major (the model's output layout).
    void encode(const ThreadBudget::Lease& lease, const float* mel, float* out);

private:
    EncoderConfig config_;
    std::vector<float> conv1_, conv1Bias_, conv2_, conv2Bias_, positions_, lnPostWeight_, lnPostBias_;
    std::vector<AttentionWeights> attention_;
    std::vector<MlpWeights> mlp_;
    // Scratch, allocated once.
    std::vector<float> melT_, columns_, conv1Out_, x_, h_, qkv_, attn_, hidden_;
};

}  // namespace mlruntime::whisper

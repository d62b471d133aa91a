#pragma once

#include <cstdint>
#include <vector>

#include "MLRuntime/Half.hpp"
#include "MLRuntime/MultiArray.hpp"
#include "MLRuntime/ThreadBudget.hpp"
#include "MLRuntime/WeightsFile.hpp"
#include "MLRuntime/WhisperArchitecture.hpp"

namespace mlruntime::whisper {

// A weight matrix [rows, cols] kept in the file's precision: half weights halve the bytes a
// one-token step reads.
struct StepMatrix {
    std::vector<Half> half;
    std::vector<float> full;
    size_t rows = 0, cols = 0;
    // y = W x + bias (bias may be null), rows spread over the lease.
    void multiply(const ThreadBudget::Lease& lease, const float* x, const float* bias, float* y) const;
    // Row r as float32 into out (cols values).
    void row(size_t r, float* out) const;
};

// What one decoder step reads besides the token: the caches and masks of the engine's inputs.
struct DecoderStepInput {
    int64_t token = 0;
    int64_t position = 0;        // cache_length
    const Half* keyCache = nullptr;    // [layers * width, positions], channel-major
    const Half* valueCache = nullptr;
    const int32_t* updateMask = nullptr;  // [positions]
    const float* paddingMask = nullptr;   // [positions], additive
};

// What one step gives: float32 logits [vocab], this step's keys and values [layers * width], and
// the cross-attention weights averaged over the alignment heads [audioContext].
struct DecoderStepOutput {
    std::vector<float> logits, keys, values, alignment;
};

// The text decoder run one token at a time with the engine's key/value cache: token and position
// embedding; per layer causal self-attention over the cache positions whose padding mask allows
// them (this step's key and value stand at the position the update mask marks), cross-attention
// over the encoder output, MLP; final LayerNorm; logits against the token embedding.
// Cross-attention keys and values are computed once per distinct encoder output. Holds its
// scratch: one step() at a time per object.
class WhisperDecoder {
public:
    WhisperDecoder(const DecoderConfig& config, const WeightsFile& file);

    const DecoderConfig& config() const noexcept { return config_; }

    // encoder: [1, width, 1, audioContext] (channel-major, as the encoder gives it), any element
    // type. Recomputes the cross-attention keys and values only when its element type or contents
    // differ from the previous call's (compared byte for byte, so a caller may refill one array).
    void setEncoderOutput(const ThreadBudget::Lease& lease, const MultiArray& encoder);

    // Runs one step. Requires setEncoderOutput first; token and position must be in range (the
    // model checks them before).
    void step(const ThreadBudget::Lease& lease, const DecoderStepInput& input, DecoderStepOutput& output);

private:
    struct Layer {
        std::vector<float> lnWeight, lnBias, qkvBias, outBias;
        StepMatrix qkv, out;
        std::vector<float> crossLnWeight, crossLnBias, crossQueryBias, crossValueBias, crossOutBias;
        StepMatrix crossQuery, crossOut;
        std::vector<float> crossKeyWeight, crossValueWeight;  // float32 for sgemm over the encoder output
        std::vector<float> mlpLnWeight, mlpLnBias, fc1Bias, fc2Bias;
        StepMatrix fc1, fc2;
        std::vector<float> crossKeys;    // [audioContext, width]
        std::vector<float> crossValuesT; // [width, audioContext]
    };

    DecoderConfig config_;
    StepMatrix tokenEmbedding_;
    std::vector<float> positions_, lnPostWeight_, lnPostBias_;
    std::vector<Layer> layers_;
    std::vector<std::vector<bool>> alignmentHead_;  // [layer][head]
    std::vector<uint8_t> encoderBytes_;             // the encoder output the cross caches belong to
    DataType encoderType_ = DataType::Float16;
    bool haveEncoder_ = false;
    // Scratch.
    std::vector<float> encoderT_, crossTmp_, x_, h_, qkv_, attn_, hidden_, scores_, cacheRows_;
};

}  // namespace mlruntime::whisper

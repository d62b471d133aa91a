#pragma once

#include <cstdint>
#include <memory>
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
// The weights are read only; what a decoding loop changes (the cross-attention keys and values of
// its encoder output, the step's scratch) lives in a Context, so that several loops run their
// steps at once, each on its own context, without recomputing each other's cross-attention.
class WhisperDecoder {
public:
    WhisperDecoder(const DecoderConfig& config, const WeightsFile& file);

    const DecoderConfig& config() const noexcept { return config_; }

    // One loop's state: cross-attention keys and values computed once per distinct encoder output,
    // and scratch. One step() at a time per context.
    class Context {
    public:
        // Whether the keys and values are those of `encoder` (compared byte for byte).
        bool holds(const MultiArray& encoder) const;
        // Bytes this context takes once it holds an encoder output.
        size_t bytes() const noexcept;

    private:
        friend class WhisperDecoder;
        std::vector<std::vector<float>> crossKeys;    // per layer [audioContext, width]
        std::vector<std::vector<float>> crossValuesT; // per layer [width, audioContext]
        std::vector<uint8_t> encoderBytes;            // the encoder output the cross caches belong to
        DataType encoderType = DataType::Float16;
        bool haveEncoder = false;
        std::vector<float> encoderT, crossTmp, x, h, qkv, attn, hidden, scores, cacheRows;
    };

    // A context sized for this decoder, holding no encoder output yet.
    std::unique_ptr<Context> makeContext() const;

    // encoder: [1, width, 1, audioContext] (channel-major, as the encoder gives it), any element
    // type. Recomputes the context's cross-attention keys and values only when its element type or
    // contents differ from those it holds (compared byte for byte, so a caller may refill one array).
    void setEncoderOutput(const ThreadBudget::Lease& lease, Context& context, const MultiArray& encoder) const;

    // Runs one step on the context. Requires setEncoderOutput on it first; token and position must
    // be in range (the model checks them before).
    void step(const ThreadBudget::Lease& lease, Context& context, const DecoderStepInput& input,
              DecoderStepOutput& output) const;

private:
    struct Layer {
        std::vector<float> lnWeight, lnBias, qkvBias, outBias;
        StepMatrix qkv, out;
        std::vector<float> crossLnWeight, crossLnBias, crossQueryBias, crossValueBias, crossOutBias;
        StepMatrix crossQuery, crossOut;
        std::vector<float> crossKeyWeight, crossValueWeight;  // float32 for sgemm over the encoder output
        std::vector<float> mlpLnWeight, mlpLnBias, fc1Bias, fc2Bias;
        StepMatrix fc1, fc2;
    };

    DecoderConfig config_;
    StepMatrix tokenEmbedding_;
    std::vector<float> positions_, lnPostWeight_, lnPostBias_;
    std::vector<Layer> layers_;
    std::vector<std::vector<bool>> alignmentHead_;  // [layer][head]
};

}  // namespace mlruntime::whisper

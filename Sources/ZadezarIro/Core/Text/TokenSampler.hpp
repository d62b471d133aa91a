// Token samplers: pick the next token from one step's filtered logits and keep the running token
// and log-probability lists; close a window's sequence with the end token.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "MLRuntime/Half.hpp"
#include "MLRuntime/MultiArray.hpp"
#include "ZadezarIro/Core/DecodingOptions.hpp"

namespace zadezariro {

struct SamplingResult {
    std::vector<std::int64_t> tokens;
    std::vector<float> logProbs;  // one per token
    bool completed = false;
};

class TokenSampling {
public:
    virtual ~TokenSampling() = default;
    // The given lists with the chosen token (and its log-probability) appended; the inputs are not
    // changed. `logits` is a [1, 1, V] Float16 array.
    virtual SamplingResult update(const std::vector<std::int64_t>& tokens, const mlruntime::MultiArray& logits,
                                  const std::vector<float>& logProbs) = 0;
    // The lists closed with the end token.
    virtual SamplingResult finalize(const std::vector<std::int64_t>& tokens, const std::vector<float>& logProbs) = 0;
};

// Temperature 0: the most probable token. Any other temperature: a random choice among the topK
// most probable tokens of the temperature-scaled distribution. The recorded log-probability is the
// token's under the temperature-scaled softmax over the whole vocabulary.
//
// Not thread-safe: one decoding loop uses a sampler at a time.
class GreedyTokenSampler : public TokenSampling {
public:
    // A uniform random number in [0, 1).
    using RandomSource = std::function<float()>;

    // Stores the three values; random choices draw from the system's random source.
    GreedyTokenSampler(mlruntime::Half temperature, std::int64_t eotToken, DecodingOptions decodingOptions);
    // The same with a given random source (tests use a seeded one).
    GreedyTokenSampler(mlruntime::Half temperature, std::int64_t eotToken, DecodingOptions decodingOptions,
                       RandomSource random);

    mlruntime::Half temperature;
    std::int64_t eotToken;
    DecodingOptions decodingOptions;  // only topK is read

    // completed is true exactly when the chosen token is eotToken. Throws WhisperError(decodingFailed)
    // when the logits are empty or, at a temperature, topK lies outside 1 ... V.
    SamplingResult update(const std::vector<std::int64_t>& tokens, const mlruntime::MultiArray& logits,
                          const std::vector<float>& logProbs) override;
    // Unchanged when the list already ends in eotToken; else eotToken with 0.0 appended. Always completed.
    SamplingResult finalize(const std::vector<std::int64_t>& tokens, const std::vector<float>& logProbs) override;

private:
    RandomSource random_;
};

// A placeholder for beam search: construction is checked, update and finalize are not built and
// throw WhisperError(decodingFailed) naming the operation.
class BeamSearchTokenSampler : public TokenSampling {
public:
    // Throws WhisperError(decodingFailed, "Invalid beam size <b> or patience <p>") unless
    // beamSize × patience (as 32-bit floats, truncated) is at least 1.
    BeamSearchTokenSampler(std::int64_t beamSize, std::int64_t eotToken, float patience = 1.0f);

    std::int64_t beamSize;
    std::int64_t eotToken;
    float patience;
    std::int64_t maxCandidates() const { return maxCandidates_; }

    void reset() { finishedSequences_.clear(); }
    SamplingResult update(const std::vector<std::int64_t>& tokens, const mlruntime::MultiArray& logits,
                          const std::vector<float>& logProbs) override;
    SamplingResult finalize(const std::vector<std::int64_t>& tokens, const std::vector<float>& logProbs) override;

private:
    std::int64_t maxCandidates_;
    std::vector<float> finishedSequences_;
};

}  // namespace zadezariro

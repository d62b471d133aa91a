// What passes between the steps of decoding one audio window: the decoder's reusable input state,
// the cache arrays one prediction returns, the fallback decision and the window's result.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "MLRuntime/MultiArray.hpp"
#include "ZadezarIro/Core/DecodingOptions.hpp"
#include "ZadezarIro/Core/TranscriptionTimings.hpp"

namespace zadezariro {

// The decoding steps' view of their inputs.
class DecodingInputsType {
public:
    virtual ~DecodingInputsType() = default;
    virtual std::vector<std::int64_t>& initialPrompt() = 0;
    virtual mlruntime::MultiArray& inputIds() = 0;
    virtual mlruntime::MultiArray& cacheLength() = 0;
    virtual void reset(std::int64_t maxTokenContext) = 0;
};

// The decoder's input state for one run, changed in place by the decoding loop. With S the cache
// length, E the cache width and W the encoder width: inputIds and cacheLength [1] Int32;
// keyCache and valueCache [1, E, 1, S] Float16; alignmentWeights [S, W] Float16;
// kvCacheUpdateMask [1, S] Int32; decoderKeyPaddingMask [1, S] Float16. The arrays are handles:
// copies share storage.
//
// Not thread-safe: it belongs to one decoding run at a time.
class DecodingInputs : public DecodingInputsType {
public:
    // Stores the eight values unchanged.
    DecodingInputs(std::vector<std::int64_t> initialPrompt, mlruntime::MultiArray inputIds, mlruntime::MultiArray cacheLength,
                   mlruntime::MultiArray keyCache, mlruntime::MultiArray valueCache, mlruntime::MultiArray alignmentWeights,
                   mlruntime::MultiArray kvCacheUpdateMask, mlruntime::MultiArray decoderKeyPaddingMask);

    std::vector<std::int64_t>& initialPrompt() override { return initialPrompt_; }
    mlruntime::MultiArray& inputIds() override { return inputIds_; }
    mlruntime::MultiArray& cacheLength() override { return cacheLength_; }
    mlruntime::MultiArray& keyCache() { return keyCache_; }
    mlruntime::MultiArray& valueCache() { return valueCache_; }
    mlruntime::MultiArray& alignmentWeights() { return alignmentWeights_; }
    mlruntime::MultiArray& kvCacheUpdateMask() { return kvCacheUpdateMask_; }
    mlruntime::MultiArray& decoderKeyPaddingMask() { return decoderKeyPaddingMask_; }

    // Returns the cache length and the first n = maxTokenContext mask positions to their start
    // values: cacheLength[0] = 0; padding mask 0 at 0 and -10000 at 1 ..< n; update mask 1 at 0
    // and 0 at 1 ..< n. Positions from n on, inputIds, the prompt and the caches are left alone.
    // Throws WhisperError(prepareDecoderInputsFailed), writing nothing, when n < 1, n exceeds either
    // mask's positions, or cacheLength is empty.
    void reset(std::int64_t maxTokenContext) override;

private:
    std::vector<std::int64_t> initialPrompt_;
    mlruntime::MultiArray inputIds_;
    mlruntime::MultiArray cacheLength_;
    mlruntime::MultiArray keyCache_;
    mlruntime::MultiArray valueCache_;
    mlruntime::MultiArray alignmentWeights_;
    mlruntime::MultiArray kvCacheUpdateMask_;
    mlruntime::MultiArray decoderKeyPaddingMask_;
};

// The arrays one decoder prediction returns; shared by reference, never copied.
struct DecodingCache {
    std::optional<mlruntime::MultiArray> keyCache;
    std::optional<mlruntime::MultiArray> valueCache;
    std::optional<mlruntime::MultiArray> alignmentWeights;
};

// Whether a decoded window must be decoded again at a higher temperature, and why:
// "firstTokenLogProbThreshold", "silence" (the one reason that needs no fallback),
// "compressionRatioThreshold" or "logProbThreshold".
struct DecodingFallback {
    bool needsFallback = false;
    std::string fallbackReason;

    // The first rule that fires, in this order: the first token's log probability too low; no-speech
    // probability above noSpeechThreshold; compression ratio above compressionRatioThreshold; average
    // log probability below logProbThreshold. Comparisons are strict, NaN fires nothing, an absent
    // threshold switches its rule off. Absent when no rule fires.
    static std::optional<DecodingFallback> decide(const DecodingOptions& options, bool isFirstTokenLogProbTooLow,
                                                  float noSpeechProb, float compressionRatio, float avgLogProb);
};

// Everything decoding one window yields.
struct DecodingResult {
    std::string language;
    std::map<std::string, float> languageProbs;
    std::vector<std::int64_t> tokens;
    std::vector<std::map<std::int64_t, float>> tokenLogProbs;
    std::string text;
    float avgLogProb = 0;
    float noSpeechProb = 0;
    float temperature = 0;
    float compressionRatio = 0;
    std::optional<DecodingCache> cache;
    std::optional<TranscriptionTimings> timings;
    std::optional<DecodingFallback> fallback;

    // Empty texts and lists, zero measures, no cache, timings or fallback.
    static DecodingResult emptyResults() { return DecodingResult{}; }
};

}  // namespace zadezariro

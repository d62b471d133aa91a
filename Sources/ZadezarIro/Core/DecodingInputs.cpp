#include "ZadezarIro/Core/DecodingInputs.hpp"

#include <algorithm>

#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

DecodingInputs::DecodingInputs(std::vector<std::int64_t> initialPrompt, mlruntime::MultiArray inputIds,
                               mlruntime::MultiArray cacheLength, mlruntime::MultiArray keyCache,
                               mlruntime::MultiArray valueCache, mlruntime::MultiArray alignmentWeights,
                               mlruntime::MultiArray kvCacheUpdateMask, mlruntime::MultiArray decoderKeyPaddingMask)
    : initialPrompt_(std::move(initialPrompt)),
      inputIds_(std::move(inputIds)),
      cacheLength_(std::move(cacheLength)),
      keyCache_(std::move(keyCache)),
      valueCache_(std::move(valueCache)),
      alignmentWeights_(std::move(alignmentWeights)),
      kvCacheUpdateMask_(std::move(kvCacheUpdateMask)),
      decoderKeyPaddingMask_(std::move(decoderKeyPaddingMask)) {}

void DecodingInputs::reset(std::int64_t maxTokenContext) {
    const std::int64_t n = maxTokenContext;
    // Checked before any write: a context longer than the masks would write past their storage.
    const std::int64_t positions = std::min(kvCacheUpdateMask_.storageCount(), decoderKeyPaddingMask_.storageCount());
    if (n < 1 || n > positions || cacheLength_.storageCount() < 1) {
        throw WhisperError::prepareDecoderInputsFailed("maxTokenContext " + std::to_string(n) +
                                                       " does not fit the decoder's cache of " + std::to_string(positions) +
                                                       " positions");
    }
    cacheLength_.setValue(0, 0);
    decoderKeyPaddingMask_.setValue(0, 0);
    kvCacheUpdateMask_.setValue(0, 1);
    for (std::int64_t i = 1; i < n; ++i) {
        decoderKeyPaddingMask_.setValue(i, -10000);
        kvCacheUpdateMask_.setValue(i, 0);
    }
}

std::optional<DecodingFallback> DecodingFallback::decide(const DecodingOptions& options, bool isFirstTokenLogProbTooLow,
                                                         float noSpeechProb, float compressionRatio, float avgLogProb) {
    if (isFirstTokenLogProbTooLow) return DecodingFallback{true, "firstTokenLogProbThreshold"};
    if (options.noSpeechThreshold && noSpeechProb > *options.noSpeechThreshold) return DecodingFallback{false, "silence"};
    if (options.compressionRatioThreshold && compressionRatio > *options.compressionRatioThreshold)
        return DecodingFallback{true, "compressionRatioThreshold"};
    if (options.logProbThreshold && avgLogProb < *options.logProbThreshold) return DecodingFallback{true, "logProbThreshold"};
    return std::nullopt;
}

}  // namespace zadezariro

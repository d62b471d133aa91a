// The text decoder: the Whisper decoder model run one token at a time with a key/value cache, the
// decoder's input arrays and their prompt, the token loop of one window and language detection.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "DaroriCore/ConcurrencyUtilities.hpp"
#include "MLRuntime/Half.hpp"
#include "MLRuntime/Model.hpp"
#include "MLRuntime/MultiArray.hpp"
#include "ZadezarIro/Core/DecodingInputs.hpp"
#include "ZadezarIro/Core/DecodingOptions.hpp"
#include "ZadezarIro/Core/ModelVariant.hpp"
#include "ZadezarIro/Core/Text/LogitsFilter.hpp"
#include "ZadezarIro/Core/Text/TokenSampler.hpp"
#include "ZadezarIro/Core/TranscriptionTimings.hpp"
#include "ZadezarIro/Core/WhisperTokenizer.hpp"

namespace zadezariro {

class TextDecoderInputType {
public:
    virtual ~TextDecoderInputType() = default;
};

class TextDecoderOutputType {
public:
    virtual ~TextDecoderOutputType() = default;
};

// The seven decoder inputs of one step (handles: they share storage with the arrays given).
struct TextDecoderMLMultiArrayInputType : TextDecoderInputType {
    TextDecoderMLMultiArrayInputType(mlruntime::MultiArray inputIds, mlruntime::MultiArray cacheLength,
                                     mlruntime::MultiArray keyCache, mlruntime::MultiArray valueCache,
                                     mlruntime::MultiArray kvCacheUpdateMask, mlruntime::MultiArray encoderOutputEmbeds,
                                     mlruntime::MultiArray decoderKeyPaddingMask)
        : inputIds(std::move(inputIds)), cacheLength(std::move(cacheLength)), keyCache(std::move(keyCache)),
          valueCache(std::move(valueCache)), kvCacheUpdateMask(std::move(kvCacheUpdateMask)),
          encoderOutputEmbeds(std::move(encoderOutputEmbeds)), decoderKeyPaddingMask(std::move(decoderKeyPaddingMask)) {}

    mlruntime::MultiArray inputIds;
    mlruntime::MultiArray cacheLength;
    mlruntime::MultiArray keyCache;
    mlruntime::MultiArray valueCache;
    mlruntime::MultiArray kvCacheUpdateMask;
    mlruntime::MultiArray encoderOutputEmbeds;
    mlruntime::MultiArray decoderKeyPaddingMask;
};

struct TextDecoderMLMultiArrayOutputType : TextDecoderOutputType {
    TextDecoderMLMultiArrayOutputType(std::optional<mlruntime::MultiArray> logits, std::optional<DecodingCache> cache)
        : logits(std::move(logits)), cache(std::move(cache)) {}

    std::optional<mlruntime::MultiArray> logits;
    std::optional<DecodingCache> cache;
};

// Called after every decoding step; answering false (after the prompt) stops the window.
using DecodingProgressCallback = std::function<std::optional<bool>(const TranscriptionProgress&)>;

// A replaceable engine component that decodes text. The encoder output is a multi-array; a null
// array stands for an output of another type.
class TextDecoding {
public:
    virtual ~TextDecoding() = default;

    virtual std::shared_ptr<const WhisperTokenizer> tokenizer() const = 0;
    virtual void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) = 0;
    virtual bool isModelMultilingual() const = 0;
    virtual void setModelMultilingual(bool multilingual) = 0;
    virtual bool supportsWordTimestamps() const = 0;
    virtual std::optional<std::int64_t> logitsSize() const = 0;
    // Filters configured by the engine's user, applied before the built-in ones.
    virtual std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters() const = 0;
    virtual void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) = 0;
    virtual std::optional<std::int64_t> kvCacheEmbedDim() const = 0;
    virtual std::optional<std::int64_t> kvCacheMaxSequenceLength() const = 0;
    virtual std::optional<std::int64_t> windowSize() const = 0;
    virtual std::optional<std::int64_t> embedSize() const = 0;

    virtual std::unique_ptr<TextDecoderOutputType> predictLogits(const TextDecoderInputType& input) = 0;

    // The decoder inputs for the model's dimensions, with `prompt` as initial prompt: zero caches
    // and alignment weights, update mask 1 at 0 (else 0), padding mask 0 at 0 (else -10000).
    // Throws WhisperError(prepareDecoderInputsFailed) with "Unable to determine kvCacheEmbedDim",
    // "Unable to determine kvCacheMaxSequenceLength" or "Unable to determine encoderOutputDim".
    virtual DecodingInputs prepareDecoderInputs(const std::vector<std::int64_t>& prompt);

    // Writes the window's prompt (start of transcript; language and task on a multilingual model;
    // timestamps or not; the last 111 prompt tokens after start-of-previous; the prefix) into
    // `inputs` and returns them. Throws WhisperError tokenizerUnavailable without a tokenizer and
    // prepareDecoderInputsFailed ("Unable to cast decoderInputs to DecodingInputs") for other inputs,
    // before writing anything.
    virtual DecodingInputsType& prefillDecoderInputs(DecodingInputsType& inputs, const std::optional<DecodingOptions>& options);

    virtual DecodingResult decodeText(const mlruntime::MultiArray& encoderOutput, DecodingInputsType& inputs,
                                      TokenSampling& sampler, const DecodingOptions& options,
                                      const DecodingProgressCallback& callback = nullptr) = 0;
    virtual DecodingResult detectLanguage(const mlruntime::MultiArray& encoderOutput, DecodingInputsType& inputs,
                                          TokenSampling& sampler, const DecodingOptions& options,
                                          mlruntime::Half temperature) = 0;

    // Copies one step's key and value slices ([1, E, 1, n]) into the caches ([1, E, 1, S]) at
    // positions insertAtIndex ..< insertAtIndex + n of every channel, in place. Throws
    // WhisperError(decodingFailed), writing nothing, when a shape is not four-dimensional, the slices
    // have fewer channels than the caches or the positions reach past the cache.
    static void updateKVCache(mlruntime::MultiArray& keyTensor, const mlruntime::MultiArray& keySlice,
                              mlruntime::MultiArray& valueTensor, const mlruntime::MultiArray& valueSlice,
                              std::int64_t insertAtIndex);
    // Copies one step's alignment weights ([1, W]) into row insertAtIndex + 1 of `alignmentTensor`
    // ([S, W]). Throws WhisperError(decodingFailed), writing nothing, when that row is outside the
    // tensor or the slice is narrower than it.
    static void updateAlignmentWeights(mlruntime::MultiArray& alignmentTensor, const mlruntime::MultiArray& alignmentSlice,
                                       std::int64_t insertAtIndex);
};

// The one decoder implementation, on the runtime's decoder models.
//
// Thread-safety: the model, the tokenizer and the filters are each kept under a lock; several
// windows may decode on one decoder at once, each with its own DecodingInputs and sampler.
class TextDecoder : public TextDecoding, public WhisperMLModel {
public:
    // The smallest cache the token loop needs: it writes masks up to position 223.
    static constexpr std::int64_t MIN_CACHE_LENGTH = 224;

    TextDecoder() = default;

    std::shared_ptr<mlruntime::Model> model() const override { return model_.get(); }
    void setModel(std::shared_ptr<mlruntime::Model> model) override { model_.set(std::move(model)); }
    // Loads like WhisperMLModel, but refuses (WhisperError modelsUnavailable, model left as it was)
    // a decoder whose key cache holds fewer than MIN_CACHE_LENGTH positions.
    void loadModel(const std::filesystem::path& modelPath, mlruntime::ComputeUnits computeUnits, bool prewarmMode) override;
    using WhisperMLModel::loadModel;
    // Drops the model and the language filter; tokenizer and filters stay.
    void unloadModel() override;

    std::shared_ptr<const WhisperTokenizer> tokenizer() const override { return tokenizer_.get(); }
    void setTokenizer(std::shared_ptr<const WhisperTokenizer> t) override { tokenizer_.set(std::move(t)); }
    bool isModelMultilingual() const override { return isModelMultilingual_.get(); }
    void setModelMultilingual(bool multilingual) override { isModelMultilingual_.set(multilingual); }
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters() const override { return logitsFilters_.get(); }
    void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> f) override { logitsFilters_.set(std::move(f)); }

    // Read from the model's description; absent without a model or the feature.
    bool supportsWordTimestamps() const override;
    std::optional<std::int64_t> logitsSize() const override;
    std::optional<std::int64_t> kvCacheEmbedDim() const override;
    std::optional<std::int64_t> kvCacheMaxSequenceLength() const override;
    std::optional<std::int64_t> windowSize() const override;
    std::optional<std::int64_t> embedSize() const override;

    // One prediction. Throws WhisperError(transcriptionFailed, "Input must be
    // TextDecoderMLMultiArrayInputType") for other inputs; without a model returns an output with no
    // logits and no cache. Outputs the model lacks are absent in the result. A cancelled task throws
    // cancellation::CancellationError before the prediction.
    std::unique_ptr<TextDecoderOutputType> predictLogits(const TextDecoderInputType& input) override;
    // The same prediction with the seven arrays given one by one: the logits and the cache updates,
    // or absent without a model. Throws cancellation::CancellationError before predicting once the
    // thread's task is cancelled, and passes the runtime's prediction errors on.
    virtual std::optional<TextDecoderMLMultiArrayOutputType> predictLogits(
        const mlruntime::MultiArray& inputIds, const mlruntime::MultiArray& cacheLength, const mlruntime::MultiArray& keyCache,
        const mlruntime::MultiArray& valueCache, const mlruntime::MultiArray& kvCacheUpdateMask,
        const mlruntime::MultiArray& encoderOutputEmbeds, const mlruntime::MultiArray& decoderKeyPaddingMask);

    // The token loop of one window (see the .cpp for the rules). Mutates `inputs` in place; throws
    // WhisperError tokenizerUnavailable, prepareDecoderInputsFailed ("Initial prompt must not be
    // empty", "DecodingInputsType must be DecodingInputs", "Input must be MLMultiArray"),
    // decodingLogitsFailed ("Unable to decode logits"), decodingFailed (sampler gave nothing; the
    // model gave no cache updates), the runtime's prediction errors, and
    // cancellation::CancellationError before any step once the thread's task is cancelled.
    DecodingResult decodeText(const mlruntime::MultiArray& encoderOutput, DecodingInputsType& inputs, TokenSampling& sampler,
                              const DecodingOptions& options, const DecodingProgressCallback& callback = nullptr) override;

    // One step from the start-of-transcript token restricted to language tokens: the language and
    // the log-probabilities of the language tokens sampled. The caches are not updated; the
    // temperature argument is not used (the sampler carries its own).
    DecodingResult detectLanguage(const mlruntime::MultiArray& encoderOutput, DecodingInputsType& inputs,
                                  TokenSampling& sampler, const DecodingOptions& options, mlruntime::Half temperature) override;

    // The filters of one window, in order: the configured ones, then blank suppression, token
    // suppression (ids below specialTokenBegin) and the timestamp rules, as the options ask.
    std::vector<std::shared_ptr<LogitsFiltering>> createLogitsFilters(const DecodingOptions& options,
                                                                      std::int64_t initialPromptIndex,
                                                                      const WhisperTokenizer& tokenizer) const;

private:
    std::shared_ptr<LanguageLogitsFilter> languageFilter(const WhisperTokenizer& tokenizer, std::int64_t logitsSize);

    darori::Protected<std::shared_ptr<mlruntime::Model>> model_;
    darori::Protected<std::shared_ptr<const WhisperTokenizer>> tokenizer_;
    darori::Protected<bool> isModelMultilingual_{false};
    darori::Protected<std::optional<std::vector<std::shared_ptr<LogitsFiltering>>>> logitsFilters_{
        std::vector<std::shared_ptr<LogitsFiltering>>{}};
    darori::EarlyStopActor earlyStopActor_;
    std::mutex languageFilterMutex_;
    std::shared_ptr<LanguageLogitsFilter> languageLogitsFilter_;  // guarded by languageFilterMutex_
};

}  // namespace zadezariro

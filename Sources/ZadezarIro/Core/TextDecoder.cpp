#include "ZadezarIro/Core/TextDecoder.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>

#include "Cancellation/Cancellation.hpp"
#include "DaroriCore/Logging.hpp"
#include "DaroriCore/ModelUtilities.hpp"
#include "DaroriCore/MultiArrayHelpers.hpp"
#include "DaroriCore/NumberText.hpp"
#include "DaroriCore/UUID.hpp"
#include "ZadezarIro/Core/Constants.hpp"
#include "ZadezarIro/Core/ModelFeatures.hpp"
#include "ZadezarIro/Utilities/TextUtilities.hpp"
#include "ZadezarIro/Utilities/TranscriptionUtilities.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

using mlruntime::Half;
using mlruntime::MultiArray;

namespace {

constexpr std::int64_t MAX_SAMPLED_TOKENS = Constants::maxTokenContext - 1;  // 223

std::vector<int> asInts(const std::vector<std::int64_t>& ids) { return {ids.begin(), ids.end()}; }

std::string decodeOne(const WhisperTokenizer& tokenizer, std::int64_t token) {
    return tokenizer.decode({static_cast<int>(token)});
}

std::string trimSpecialCharacters(const std::string& text) {
    const auto first = text.find_first_not_of(Constants::specialTokenCharacters);
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(Constants::specialTokenCharacters);
    return text.substr(first, last - first + 1);
}

// The id of a special token's text, or absent when the vocabulary lacks it (some tokenizers answer
// a missing text with the id of "<|endoftext|>", their unknown token).
std::optional<std::int64_t> specialTokenId(const WhisperTokenizer& tokenizer, const std::string& text) {
    auto id = tokenizer.convertTokenToId(text);
    if (!id || (*id == tokenizer.specialTokens().endToken && text != "<|endoftext|>")) return std::nullopt;
    return *id;
}

void setInt(MultiArray& array, std::int64_t offset, std::int64_t value) { array.setValue(offset, static_cast<double>(value)); }

void debugCaches(DecodingInputs& inputs) {
    if (!darori::Logging::isLoggingEnabled(darori::Logging::LogLevel::debug)) return;
    using darori::fixedText;
    darori::Logging::debug("--------------- DECODER INPUTS DEBUG ---------------");
    darori::Logging::debug("Cache Length: " + fixedText(inputs.cacheLength().value(0), 0, 2) +
                           " Input Token: " + fixedText(inputs.inputIds().value(0), 0, 4));
    darori::Logging::debug("Key Cache | Val Cache | Align Cache | Update Mask | Decoder Mask | Position");
    auto at = [](const MultiArray& array, std::int64_t offset) {
        return offset < array.storageCount() ? array.value(offset) : std::nan("");
    };
    const auto& alignment = inputs.alignmentWeights();
    const std::int64_t rowStride = alignment.rank() >= 1 ? alignment.strides()[0] : 0;
    for (std::int64_t i = 0; i < 4; ++i) {
        darori::Logging::debug(fixedText(at(inputs.keyCache(), i), 6, 9) + " | " + fixedText(at(inputs.valueCache(), i), 6, 9) +
                               " | " + fixedText(at(alignment, i * rowStride), 6, 9) + " | " +
                               fixedText(at(inputs.kvCacheUpdateMask(), i), 0, 11) + " | " +
                               fixedText(at(inputs.decoderKeyPaddingMask(), i), 0, 12) + " | " + std::to_string(i));
    }
}

void checkFourDimensional(const MultiArray& array, const char* what) {
    if (array.rank() < 4) throw WhisperError::decodingFailed(std::string("Cache array ") + what + " must have four dimensions");
}

}  // namespace

// MARK: - Inputs

DecodingInputs TextDecoding::prepareDecoderInputs(const std::vector<std::int64_t>& prompt) {
    const auto embedDim = kvCacheEmbedDim();
    if (!embedDim) throw WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheEmbedDim");
    const auto sequenceLength = kvCacheMaxSequenceLength();
    if (!sequenceLength) throw WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheMaxSequenceLength");
    const auto encoderDim = windowSize();
    if (!encoderDim) throw WhisperError::prepareDecoderInputsFailed("Unable to determine encoderOutputDim");
    const std::int64_t E = *embedDim, S = *sequenceLength, W = *encoderDim;
    using mlruntime::DataType;
    auto inputIds = darori::makeMultiArray({1}, DataType::Int32, int32_t{0});
    auto cacheLength = darori::makeMultiArray({1}, DataType::Int32, int32_t{0});
    auto keyCache = darori::makeMultiArray({1, E, 1, S}, DataType::Float16, Half(0.0f));
    auto valueCache = darori::makeMultiArray({1, E, 1, S}, DataType::Float16, Half(0.0f));
    auto alignmentWeights = darori::makeMultiArray({S, W}, DataType::Float16, Half(0.0f));
    auto updateMask = darori::makeMultiArray({1, S}, DataType::Int32, int32_t{0});
    updateMask.typedData<int32_t>()[0] = 1;
    auto paddingMask = darori::makeMultiArray({1, S}, DataType::Float16, Half(-10000.0f));
    paddingMask.typedData<Half>()[0] = Half(0.0f);
    return DecodingInputs(prompt, inputIds, cacheLength, keyCache, valueCache, alignmentWeights, updateMask, paddingMask);
}

DecodingInputsType& TextDecoding::prefillDecoderInputs(DecodingInputsType& inputsType, const std::optional<DecodingOptions>& options) {
    const auto tokenizerHandle = tokenizer();
    if (!tokenizerHandle) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    auto* inputs = dynamic_cast<DecodingInputs*>(&inputsType);
    if (!inputs) throw WhisperError::prepareDecoderInputsFailed("Unable to cast decoderInputs to DecodingInputs");
    const auto& tokenizer = *tokenizerHandle;
    const auto& special = tokenizer.specialTokens();

    std::vector<std::int64_t> prompt{special.startOfTranscriptToken};
    if (options) {
        if (isModelMultilingual()) {
            const std::string language = options->language.value_or(std::string(Constants::defaultLanguageCode));
            prompt.push_back(specialTokenId(tokenizer, "<|" + language + "|>").value_or(special.englishToken));
            const bool translate = options->task == DecodingTask::translate;
            prompt.push_back(specialTokenId(tokenizer, translate ? "<|translate|>" : "<|transcribe|>").value_or(special.transcribeToken));
        }
        prompt.push_back(options->withoutTimestamps ? special.noTimestampsToken : special.timeTokenBegin);
        if (options->promptTokens) {
            const auto& given = *options->promptTokens;
            const size_t keep = std::min<size_t>(given.size(), 111);
            std::vector<std::int64_t> previous{special.startOfPreviousToken};
            for (auto it = given.end() - static_cast<std::ptrdiff_t>(keep); it != given.end(); ++it)
                if (*it < special.specialTokenBegin) previous.push_back(*it);
            if (previous.size() > 1) prompt.insert(prompt.begin(), previous.begin(), previous.end());
        }
        if (options->prefixTokens) {
            const auto n = static_cast<std::int64_t>(prompt.size());
            const std::int64_t keep = std::max<std::int64_t>(0, n <= 110 ? 112 : 222 - n);
            const auto& given = *options->prefixTokens;
            const size_t take = std::min<size_t>(given.size(), static_cast<size_t>(keep));
            for (auto it = given.end() - static_cast<std::ptrdiff_t>(take); it != given.end(); ++it)
                if (*it < special.specialTokenBegin) prompt.push_back(*it);
        }
    }
    inputs->initialPrompt() = prompt;
    inputs->kvCacheUpdateMask().setValue(0, 1);
    inputs->decoderKeyPaddingMask().setValue(0, 0);
    return *inputs;
}

// MARK: - Cache updates

void TextDecoding::updateKVCache(MultiArray& keyTensor, const MultiArray& keySlice, MultiArray& valueTensor,
                                 const MultiArray& valueSlice, std::int64_t insertAtIndex) {
    checkFourDimensional(keyTensor, "key_cache");
    checkFourDimensional(valueTensor, "value_cache");
    checkFourDimensional(keySlice, "key_cache_updates");
    checkFourDimensional(valueSlice, "value_cache_updates");
    const std::int64_t channels = keyTensor.shape()[1];
    const std::int64_t positions = keySlice.shape()[3];
    if (valueTensor.shape()[1] != channels || keySlice.shape()[1] < channels || valueSlice.shape()[1] < channels ||
        valueSlice.shape()[3] < positions)
        throw WhisperError::decodingFailed("Cache updates do not match the cache's channels");
    if (insertAtIndex < 0 || insertAtIndex + positions > keyTensor.shape()[3] || insertAtIndex + positions > valueTensor.shape()[3])
        throw WhisperError::decodingFailed("Cache position " + std::to_string(insertAtIndex) + " is outside the cache of " +
                                           std::to_string(keyTensor.shape()[3]) + " positions");
    const auto& ks = keyTensor.strides();
    const auto& vs = valueTensor.strides();
    const auto& kss = keySlice.strides();
    const auto& vss = valueSlice.strides();
    const bool allHalf = keyTensor.dataType() == mlruntime::DataType::Float16 &&
                         valueTensor.dataType() == mlruntime::DataType::Float16 &&
                         keySlice.dataType() == mlruntime::DataType::Float16 &&
                         valueSlice.dataType() == mlruntime::DataType::Float16;
    for (std::int64_t c = 0; c < channels; ++c)
        for (std::int64_t i = 0; i < positions; ++i) {
            const std::int64_t keyAt = c * ks[1] + (insertAtIndex + i) * ks[3];
            const std::int64_t valueAt = c * vs[1] + (insertAtIndex + i) * vs[3];
            const std::int64_t keyFrom = c * kss[1] + i * kss[3];
            const std::int64_t valueFrom = c * vss[1] + i * vss[3];
            if (allHalf) {
                keyTensor.typedData<Half>()[keyAt] = keySlice.typedData<Half>()[keyFrom];
                valueTensor.typedData<Half>()[valueAt] = valueSlice.typedData<Half>()[valueFrom];
            } else {
                keyTensor.setValue(keyAt, keySlice.value(keyFrom));
                valueTensor.setValue(valueAt, valueSlice.value(valueFrom));
            }
        }
}

void TextDecoding::updateAlignmentWeights(MultiArray& alignmentTensor, const MultiArray& alignmentSlice, std::int64_t insertAtIndex) {
    if (alignmentTensor.rank() != 2 || alignmentSlice.rank() < 2)
        throw WhisperError::decodingFailed("Alignment weights must be two-dimensional");
    const std::int64_t row = insertAtIndex + 1;
    const std::int64_t columns = alignmentTensor.shape()[1];
    if (row < 0 || row >= alignmentTensor.shape()[0])
        throw WhisperError::decodingFailed("Alignment row " + std::to_string(row) + " is outside the " +
                                           std::to_string(alignmentTensor.shape()[0]) + " rows");
    if (alignmentSlice.shape()[1] < columns) throw WhisperError::decodingFailed("Alignment weights are narrower than the window");
    const auto& ts = alignmentTensor.strides();
    const auto& ss = alignmentSlice.strides();
    for (std::int64_t i = 0; i < columns; ++i) alignmentTensor.setValue(row * ts[0] + i * ts[1], alignmentSlice.value(i * ss[1]));
}

// MARK: - Model

void TextDecoder::loadModel(const std::filesystem::path& modelPath, mlruntime::ComputeUnits computeUnits, bool prewarmMode) {
    auto loaded = mlruntime::Model::load(modelPath, computeUnits);
    const auto length = darori::ModelUtilities::getModelInputDimension(loaded.get(), "key_cache", 3);
    if (length && *length < MIN_CACHE_LENGTH)
        throw WhisperError::modelsUnavailable("Text decoder cache holds " + std::to_string(*length) + " positions; at least " +
                                              std::to_string(MIN_CACHE_LENGTH) + " are needed");
    setModel(prewarmMode ? nullptr : std::move(loaded));
}

void TextDecoder::unloadModel() {
    setModel(nullptr);
    std::lock_guard guard(languageFilterMutex_);
    languageLogitsFilter_.reset();
}

bool TextDecoder::supportsWordTimestamps() const {
    return darori::ModelUtilities::getModelOutputDimension(model().get(), "alignment_heads_weights", 0).has_value();
}
std::optional<std::int64_t> TextDecoder::logitsSize() const {
    return darori::ModelUtilities::getModelOutputDimension(model().get(), "logits", 2);
}
std::optional<std::int64_t> TextDecoder::kvCacheEmbedDim() const {
    return darori::ModelUtilities::getModelInputDimension(model().get(), "key_cache", 1);
}
std::optional<std::int64_t> TextDecoder::kvCacheMaxSequenceLength() const {
    return darori::ModelUtilities::getModelInputDimension(model().get(), "key_cache", 3);
}
std::optional<std::int64_t> TextDecoder::windowSize() const {
    return darori::ModelUtilities::getModelInputDimension(model().get(), "encoder_output_embeds", 3);
}
std::optional<std::int64_t> TextDecoder::embedSize() const {
    return darori::ModelUtilities::getModelInputDimension(model().get(), "encoder_output_embeds", 1);
}

std::unique_ptr<TextDecoderOutputType> TextDecoder::predictLogits(const TextDecoderInputType& input) {
    const auto* arrays = dynamic_cast<const TextDecoderMLMultiArrayInputType*>(&input);
    if (!arrays) throw WhisperError::transcriptionFailed("Input must be TextDecoderMLMultiArrayInputType");
    auto output = predictLogits(arrays->inputIds, arrays->cacheLength, arrays->keyCache, arrays->valueCache,
                                arrays->kvCacheUpdateMask, arrays->encoderOutputEmbeds, arrays->decoderKeyPaddingMask);
    if (!output) return std::make_unique<TextDecoderMLMultiArrayOutputType>(std::nullopt, std::nullopt);
    return std::make_unique<TextDecoderMLMultiArrayOutputType>(std::move(*output));
}

std::optional<TextDecoderMLMultiArrayOutputType> TextDecoder::predictLogits(
    const MultiArray& inputIds, const MultiArray& cacheLength, const MultiArray& keyCache, const MultiArray& valueCache,
    const MultiArray& kvCacheUpdateMask, const MultiArray& encoderOutputEmbeds, const MultiArray& decoderKeyPaddingMask) {
    auto loaded = model();
    if (!loaded) return std::nullopt;
    TextDecoderInput features(inputIds, cacheLength, keyCache, valueCache, kvCacheUpdateMask, encoderOutputEmbeds,
                              decoderKeyPaddingMask);
    cancellation::checkCancellation();
    auto output = loaded->predict(features);
    auto array = [&](const char* name) -> std::optional<MultiArray> {
        auto value = output->featureValue(name);
        return value ? value->multiArrayValue() : std::nullopt;
    };
    DecodingCache cache{array("key_cache_updates"), array("value_cache_updates"), array("alignment_heads_weights")};
    return TextDecoderMLMultiArrayOutputType(array("logits"), std::move(cache));
}

// MARK: - Filters

std::vector<std::shared_ptr<LogitsFiltering>> TextDecoder::createLogitsFilters(const DecodingOptions& options,
                                                                               std::int64_t initialPromptIndex,
                                                                               const WhisperTokenizer& tokenizer) const {
    std::vector<std::shared_ptr<LogitsFiltering>> filters = logitsFilters().value_or(std::vector<std::shared_ptr<LogitsFiltering>>{});
    const auto& special = tokenizer.specialTokens();
    if (options.suppressBlank) filters.push_back(std::make_shared<SuppressBlankFilter>(special, initialPromptIndex));
    if (!options.suppressTokens.empty()) {
        std::vector<std::int64_t> ids;
        for (auto id : options.suppressTokens)
            if (id < special.specialTokenBegin) ids.push_back(id);
        filters.push_back(std::make_shared<SuppressTokensFilter>(ids));
    }
    if (!options.withoutTimestamps) {
        std::optional<std::int64_t> maxInitialIndex;
        if (options.maxInitialTimestamp) {
            const double steps = std::floor(static_cast<double>(*options.maxInitialTimestamp) / 0.02);
            // Not finite or beyond an integer: no limit (the index takes part in no rule).
            if (std::isfinite(steps) && std::fabs(steps) < 9.0e18) maxInitialIndex = static_cast<std::int64_t>(steps);
        }
        filters.push_back(std::make_shared<TimestampRulesFilter>(special, initialPromptIndex, maxInitialIndex, isModelMultilingual()));
    }
    return filters;
}

std::shared_ptr<LanguageLogitsFilter> TextDecoder::languageFilter(const WhisperTokenizer& tokenizer, std::int64_t logitsSize) {
    std::lock_guard guard(languageFilterMutex_);
    if (!languageLogitsFilter_ || languageLogitsFilter_->logitsDim != logitsSize ||
        languageLogitsFilter_->allLanguageTokens != tokenizer.allLanguageTokens())
        languageLogitsFilter_ = std::make_shared<LanguageLogitsFilter>(tokenizer.allLanguageTokens(), logitsSize, 0);
    return languageLogitsFilter_;
}

// MARK: - Decoding loop

DecodingResult TextDecoder::decodeText(const MultiArray& encoderOutput, DecodingInputsType& inputsType, TokenSampling& sampler,
                                       const DecodingOptions& options, const DecodingProgressCallback& callback) {
    const auto tokenizerHandle = tokenizer();
    if (!tokenizerHandle) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    const auto& tokenizer = *tokenizerHandle;
    const auto& special = tokenizer.specialTokens();
    if (inputsType.initialPrompt().empty()) throw WhisperError::prepareDecoderInputsFailed("Initial prompt must not be empty");
    auto* inputs = dynamic_cast<DecodingInputs*>(&inputsType);
    if (!inputs) throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
    if (encoderOutput.isNull()) throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");

    const std::vector<std::int64_t> prompt = inputs->initialPrompt();
    const auto P = static_cast<std::int64_t>(prompt.size());
    const auto filters = createLogitsFilters(options, P, tokenizer);

    // The loop writes masks at t + 1: never past the cache, whatever model was set.
    const std::int64_t cachePositions = inputs->kvCacheUpdateMask().shape().back();
    const std::int64_t loopCount =
        std::min({P - 1 + options.sampleLength, MAX_SAMPLED_TOKENS, cachePositions - 1, inputs->decoderKeyPaddingMask().shape().back() - 1});
    darori::Logging::debug("Running main loop for a maximum of " + std::to_string(loopCount) + " iterations");

    std::vector<std::int64_t> currentTokens = prompt;
    std::vector<float> currentLogProbs(prompt.size(), 0.0f);
    std::int64_t nextToken = prompt.back();
    const darori::UUID windowId = darori::UUID::random();
    earlyStopActor_.set(false, windowId);
    // The window's early-stop entry goes with the window, also when a step throws.
    struct EarlyStopEntry {
        // A constructor of its own: clang 14 cannot build an aggregate from parentheses (in_place).
        EarlyStopEntry(darori::EarlyStopActor& actor, const darori::UUID& id) : actor(actor), id(id) {}
        darori::EarlyStopActor& actor;
        const darori::UUID& id;
        ~EarlyStopEntry() {
            if (!actor.remove(id)) darori::Logging::error("Early stop flag not found for window: " + id.uuidString());
        }
    };
    std::optional<EarlyStopEntry> entry{std::in_place, earlyStopActor_, windowId};

    bool firstTokenTooLow = false;
    bool receivedAlignment = false;
    TranscriptionTimings timings;
    double firstTokenTime = std::numeric_limits<double>::max();

    for (std::int64_t t = 0; t < loopCount; ++t) {
        // A cancelled transcription stops within one token step.
        cancellation::checkCancellation();
        const double stepStart = TranscriptionUtilities::steadySeconds();
        if (t < P) {
            const bool isLast = t == P - 1;
            if (isLast && currentTokens[t] >= special.timeTokenBegin && nextToken >= special.timeTokenBegin) {
                currentTokens[t] = nextToken;
                darori::Logging::debug("Skipping prompt tokenIndex: " + std::to_string(t) + ", token: " + std::to_string(nextToken) +
                                       ", text: " + decodeOne(tokenizer, nextToken));
            } else {
                nextToken = currentTokens[t];
                darori::Logging::debug("Forcing prompt tokenIndex: " + std::to_string(t) + ", token: " + std::to_string(nextToken) +
                                       ", text: " + decodeOne(tokenizer, nextToken));
            }
        }
        setInt(inputs->inputIds(), 0, nextToken);
        setInt(inputs->cacheLength(), 0, t);
        if (t <= 3) debugCaches(*inputs);

        TextDecoderMLMultiArrayInputType stepInput(inputs->inputIds(), inputs->cacheLength(), inputs->keyCache(),
                                                   inputs->valueCache(), inputs->kvCacheUpdateMask(), encoderOutput,
                                                   inputs->decoderKeyPaddingMask());
        const double predictionStart = TranscriptionUtilities::steadySeconds();
        auto output = predictLogits(stepInput);
        const double predictionEnd = TranscriptionUtilities::steadySeconds();
        timings.decodingPredictions += predictionEnd - predictionStart;
        auto* arrays = dynamic_cast<TextDecoderMLMultiArrayOutputType*>(output.get());
        if (!arrays || !arrays->logits) throw WhisperError::decodingLogitsFailed("Unable to decode logits");

        const double filteringStart = TranscriptionUtilities::steadySeconds();
        MultiArray logits = *arrays->logits;
        for (const auto& filter : filters) logits = filter->filterLogits(logits, currentTokens);
        const double samplingStart = TranscriptionUtilities::steadySeconds();
        timings.decodingFiltering += samplingStart - filteringStart;
        const SamplingResult sampled = sampler.update(currentTokens, logits, currentLogProbs);
        timings.decodingSampling += TranscriptionUtilities::steadySeconds() - samplingStart;
        if (sampled.tokens.empty() || sampled.logProbs.empty())
            throw WhisperError::decodingFailed("Token sampler returned no tokens or log probabilities");
        nextToken = sampled.tokens.back();
        const float nextLogProb = sampled.logProbs.back();
        darori::Logging::debug("Predicted next tokenIndex: " + std::to_string(t + 1) + ", token: " + std::to_string(nextToken) +
                               ", text: " + decodeOne(tokenizer, nextToken));

        auto endStep = [&] {
            const double stepEnd = TranscriptionUtilities::steadySeconds();
            timings.decodingLoop += stepEnd - stepStart;
            timings.totalDecodingLoops += 1;
            timings.decodingNonPrediction += stepEnd - predictionEnd;
        };

        firstTokenTooLow = t == P - 1 && options.firstTokenLogProbThreshold && nextLogProb < *options.firstTokenLogProbThreshold;
        const bool endReached = sampled.completed && t >= P - 1;
        const bool full = static_cast<std::int64_t>(currentTokens.size()) >= MAX_SAMPLED_TOKENS;
        if (firstTokenTooLow || endReached || full) {
            endStep();
            break;
        }
        if (t >= P - 1) {
            currentTokens.push_back(nextToken);
            currentLogProbs.push_back(nextLogProb);
        }

        const double cachingStart = TranscriptionUtilities::steadySeconds();
        if (!arrays->cache || !arrays->cache->keyCache || !arrays->cache->valueCache)
            throw WhisperError::decodingFailed("Decoder output holds no key/value cache updates");
        updateKVCache(inputs->keyCache(), *arrays->cache->keyCache, inputs->valueCache(), *arrays->cache->valueCache, t);
        inputs->decoderKeyPaddingMask().setValue(t + 1, 0);
        setInt(inputs->kvCacheUpdateMask(), t, 0);
        setInt(inputs->kvCacheUpdateMask(), t + 1, 1);
        if (arrays->cache->alignmentWeights) {
            updateAlignmentWeights(inputs->alignmentWeights(), *arrays->cache->alignmentWeights, t);
            receivedAlignment = true;
        }
        timings.decodingKvCaching += TranscriptionUtilities::steadySeconds() - cachingStart;
        timings.totalKVUpdateRuns += 1;

        if (callback) {
            std::vector<std::int64_t> shown;
            for (auto token : currentTokens)
                if (!options.skipSpecialTokens || token < special.specialTokenBegin) shown.push_back(token);
            double sum = 0;
            for (float p : currentLogProbs) sum += p;
            TranscriptionProgress progress;
            progress.timings = timings;
            progress.timings.firstTokenTime = t == 0 ? TranscriptionUtilities::wallClockSeconds() : firstTokenTime;
            progress.text = tokenizer.decode(asInts(shown));
            progress.tokens = currentTokens;
            progress.avgLogprob = static_cast<float>(sum / static_cast<double>(currentLogProbs.size()));
            progress.compressionRatio = TextUtilities::compressionRatio(currentTokens);
            const auto answer = callback(progress);
            if (answer == false && t >= P - 1) {
                darori::Logging::debug("Early stopping");
                earlyStopActor_.set(true, windowId);
            }
        }

        if (t == 0) {
            firstTokenTime = TranscriptionUtilities::wallClockSeconds();
            darori::Logging::debug("Found first token at: " + TranscriptionUtilities::currentDateText());
        }
        endStep();
        if (earlyStopActor_.get(windowId)) break;
    }

    entry.reset();

    DecodingResult result;
    result.cache = DecodingCache{inputs->keyCache(), inputs->valueCache(),
                                 receivedAlignment ? std::optional<MultiArray>(inputs->alignmentWeights()) : std::nullopt};

    const SamplingResult finalized = sampler.finalize(currentTokens, currentLogProbs);
    const auto& tokens = finalized.tokens;
    size_t start = 0;
    if (auto it = std::find(tokens.begin(), tokens.end(), special.startOfTranscriptToken); it != tokens.end())
        start = static_cast<size_t>(it - tokens.begin());
    size_t end = tokens.empty() ? 0 : tokens.size() - 1;
    if (auto it = std::find(tokens.begin() + static_cast<std::ptrdiff_t>(start), tokens.end(), special.endToken); it != tokens.end())
        end = static_cast<size_t>(it - tokens.begin());
    double sum = 0;
    std::vector<std::int64_t> textTokens;
    for (size_t i = start; i < tokens.size() && i <= end; ++i) {
        const float logProb = i < finalized.logProbs.size() ? finalized.logProbs[i] : 0.0f;
        result.tokens.push_back(tokens[i]);
        result.tokenLogProbs.push_back({{tokens[i], logProb}});
        sum += logProb;
        if (tokens[i] < special.specialTokenBegin) textTokens.push_back(tokens[i]);
    }
    result.avgLogProb = result.tokens.empty() ? 0.0f : static_cast<float>(sum / static_cast<double>(result.tokens.size()));
    result.compressionRatio = TextUtilities::compressionRatio(textTokens);
    if (auto* greedy = dynamic_cast<GreedyTokenSampler*>(&sampler))
        result.temperature = static_cast<float>(std::round(static_cast<double>(greedy->temperature.toFloat()) * 1000.0) / 1000.0);
    else
        result.temperature = options.temperature;

    if (options.language) {
        result.language = *options.language;
        result.languageProbs[*options.language] = 0.0f;
    } else {
        result.language = std::string(Constants::defaultLanguageCode);
        float probability = 0.0f;
        for (size_t i = 0; i < result.tokens.size(); ++i)
            if (tokenizer.allLanguageTokens().contains(static_cast<int>(result.tokens[i]))) {
                result.language = trimSpecialCharacters(decodeOne(tokenizer, result.tokens[i]));
                probability = result.tokenLogProbs[i].begin()->second;
                break;
            }
        result.languageProbs[result.language] = probability;
    }
    result.text = tokenizer.decode(asInts(result.tokens));
    darori::Logging::debug("Completed window: " + result.text);
    result.noSpeechProb = 0.0f;
    result.fallback = DecodingFallback::decide(options, firstTokenTooLow, result.noSpeechProb, result.compressionRatio, result.avgLogProb);
    timings.firstTokenTime = firstTokenTime;
    result.timings = timings;
    return result;
}

// MARK: - Language detection

DecodingResult TextDecoder::detectLanguage(const MultiArray& encoderOutput, DecodingInputsType& inputsType, TokenSampling& sampler,
                                           const DecodingOptions&, mlruntime::Half) {
    const auto tokenizerHandle = tokenizer();
    if (!tokenizerHandle) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    const auto& tokenizer = *tokenizerHandle;
    const auto size = logitsSize();
    if (!size) throw WhisperError::modelsUnavailable("Failed to read logits size from model");
    const auto filter = languageFilter(tokenizer, *size);
    const std::vector<std::int64_t> tokens{tokenizer.specialTokens().startOfTranscriptToken};

    if (encoderOutput.isNull()) throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
    auto* inputs = dynamic_cast<DecodingInputs*>(&inputsType);
    if (!inputs) throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
    setInt(inputs->inputIds(), 0, tokens[0]);
    setInt(inputs->cacheLength(), 0, 0);
    darori::Logging::debug("Detecting language...");

    TranscriptionTimings timings;
    TextDecoderMLMultiArrayInputType stepInput(inputs->inputIds(), inputs->cacheLength(), inputs->keyCache(), inputs->valueCache(),
                                               inputs->kvCacheUpdateMask(), encoderOutput, inputs->decoderKeyPaddingMask());
    const double predictionStart = TranscriptionUtilities::steadySeconds();
    auto output = predictLogits(stepInput);
    timings.decodingPredictions = TranscriptionUtilities::steadySeconds() - predictionStart;
    auto* arrays = dynamic_cast<TextDecoderMLMultiArrayOutputType*>(output.get());
    if (!arrays || !arrays->logits) {
        darori::Logging::error("Unable to decode logits");
        throw WhisperError::decodingLogitsFailed("Unable to decode logits from the model output");
    }
    const MultiArray logits = filter->filterLogits(*arrays->logits, tokens);
    const double samplingStart = TranscriptionUtilities::steadySeconds();
    const SamplingResult sampled = sampler.update(tokens, logits, {0.0f});
    timings.decodingSampling = TranscriptionUtilities::steadySeconds() - samplingStart;
    if (sampled.tokens.empty()) throw WhisperError::decodingFailed("Token sampler returned no tokens");

    DecodingResult result;
    for (size_t i = 0; i < sampled.tokens.size() && i < sampled.logProbs.size(); ++i)
        if (tokenizer.allLanguageTokens().contains(static_cast<int>(sampled.tokens[i])))
            result.languageProbs[trimSpecialCharacters(decodeOne(tokenizer, sampled.tokens[i]))] = sampled.logProbs[i];
    std::string language = trimSpecialCharacters(decodeOne(tokenizer, sampled.tokens.back()));
    if (Constants::languageCodes().contains(language)) {
        darori::Logging::debug("Detected language: " + language);
    } else {
        darori::Logging::error("Detected language " + language + " is not supported, defaulting to " +
                               std::string(Constants::defaultLanguageCode));
        language = std::string(Constants::defaultLanguageCode);
    }
    result.language = language;
    result.timings = timings;
    return result;
}

}  // namespace zadezariro

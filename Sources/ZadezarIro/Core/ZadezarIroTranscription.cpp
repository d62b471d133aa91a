// The facade's transcription of arrays: one array directly or cut at silences, several arrays in
// batches of concurrent workers, and the run of one transcribe task.
#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>

#include "Cancellation/Cancellation.hpp"
#include "DaroriCore/ConcurrencyUtilities.hpp"
#include "ZadezarIro/Core/Audio/AudioChunker.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"
#include "ZadezarIro/Core/ZadezarIroSegments.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

using darori::Logging;

namespace {

TranscriptionOutcome failure(const WhisperError& error) { return std::make_exception_ptr(error); }

// The progress callback of one array of a batch: every report carries the array's position.
TranscriptionCallback numberedProgress(const TranscriptionCallback& callback, std::int64_t windowId) {
    if (!callback) return nullptr;
    return [callback, windowId](const TranscriptionProgress& progress) {
        TranscriptionProgress copy = progress;
        copy.windowId = windowId;
        return callback(copy);
    };
}

}  // namespace

std::unique_ptr<TranscribeTask> ZadezarIro::setupTranscribeTask(
    const TranscriptionTimings& currentTimings, std::shared_ptr<darori::Progress> progress,
    std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
    std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer) {
    return std::make_unique<TranscribeTask>(currentTimings, std::move(progress), std::move(audioProcessor),
                                            std::move(audioEncoder), std::move(featureExtractor), std::move(segmentSeeker),
                                            std::move(textDecoder), std::move(tokenizer));
}

TranscriptionResults ZadezarIro::runTranscribeTask(const std::vector<float>& audioArray,
                                                   const std::optional<DecodingOptions>& decodeOptions,
                                                   const TranscriptionCallback& callback,
                                                   const SegmentDiscoveryCallback& segmentCallback) {
    if (modelState() != darori::ModelState::loaded) loadModels(false);
    const auto currentTokenizer = tokenizer();
    if (!currentTokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    cancellation::checkCancellation();

    auto childProgress = std::make_shared<darori::Progress>();
    {
        std::lock_guard guard(mutex_);
        progress_->setTotalUnitCount(std::max<std::int64_t>(progress_->totalUnitCount(), 1));
        progress_->addChild(childProgress, 1);
    }

    auto task = setupTranscribeTask(currentTimings(), childProgress, audioProcessor(), audioEncoder(), featureExtractor(),
                                    segmentSeeker(), textDecoder(), currentTokenizer);
    task->setSegmentDiscoveryCallback(segmentCallback);

    std::shared_ptr<TranscriptionResult> result;
    try {
        result = task->run(audioArray, decodeOptions, callback);
    } catch (const cancellation::CancellationError&) {
        std::lock_guard guard(mutex_);
        progress_ = std::make_shared<darori::Progress>();
        throw;
    }
    if (decodeOptions && decodeOptions->verbose) result->logTimings();
    {
        std::lock_guard guard(mutex_);
        if (progress_->isFinished()) progress_ = std::make_shared<darori::Progress>();
    }
    return {result};
}

TranscriptionResults ZadezarIro::transcribe(const std::vector<float>& audioArray, const std::optional<DecodingOptions>& decodeOptions,
                                            const TranscriptionCallback& callback, const SegmentDiscoveryCallback& segmentCallback) {
    return transcribe(audioArray, 0, decodeOptions, callback, segmentCallback);
}

TranscriptionResults ZadezarIro::transcribe(const std::vector<float>& audioArray, std::int64_t audioArrayOffset,
                                            const std::optional<DecodingOptions>& decodeOptions,
                                            const TranscriptionCallback& callback, const SegmentDiscoveryCallback& segmentCallback) {
    const std::int64_t window = windowSamples();
    const bool chunked = static_cast<std::int64_t>(audioArray.size()) > window && decodeOptions &&
                         decodeOptions->chunkingStrategy == ChunkingStrategy::vad;

    TranscriptionResults results;
    if (!chunked) {
        SegmentDiscoveryCallback reporter = segmentCallback ? segmentCallback : segmentDiscoveryCallback();
        if (audioArrayOffset > 0 && reporter) reporter = shiftingSegments(std::move(reporter), audioArrayOffset);
        results = runTranscribeTask(audioArray, decodeOptions, callback, reporter);
    } else {
        auto detector = voiceActivityDetector();
        if (!detector) detector = std::make_shared<EnergyVAD>();
        VADAudioChunker chunker(16000, detector);
        std::vector<AudioChunk> chunks = chunker.chunkAll(audioArray, window, decodeOptions);
        Logging::debug("Found " + std::to_string(chunks.size()) + " VAD chunks");
        {
            std::lock_guard guard(mutex_);
            const auto count = static_cast<std::int64_t>(chunks.size());
            if (progress_->totalUnitCount() < count) progress_->setTotalUnitCount(count);
        }

        DecodingOptions chunkOptions = *decodeOptions;
        chunkOptions.clipTimestamps.clear();  // the chunker has applied the clip ranges
        std::vector<std::vector<float>> arrays;
        std::vector<std::int64_t> seekOffsets;
        arrays.reserve(chunks.size());
        for (auto& chunk : chunks) {
            // The results are shifted by the offsets alone, so the samples can move to the workers.
            arrays.push_back(std::move(chunk.audioSamples));
            seekOffsets.push_back(audioArrayOffset + chunk.seekOffsetIndex);
        }
        const auto outcomes = transcribeWithOptions(arrays, std::vector<std::optional<DecodingOptions>>(arrays.size(), chunkOptions),
                                                    seekOffsets, callback);
        // A cancelled caller gets the cancellation, not the first chunk that happened to notice it.
        cancellation::checkCancellation();
        results = AudioChunking::updateSeekOffsetsForResults(outcomes, chunks);
    }

    if (decodeOptions && decodeOptions->verbose) {
        Logging::info("Total Transcription Results: " + std::to_string(results.size()));
        for (std::size_t i = 0; i < results.size(); ++i) {
            Logging::debug("[Result " + std::to_string(i) + "]");
            results[i]->logSegments();
        }
    }
    return results;
}

std::vector<TranscriptionOutcome> ZadezarIro::runInBatches(std::size_t count, std::int64_t batchSize,
                                                           const std::function<TranscriptionOutcome(std::size_t)>& transcribeOne) {
    std::vector<TranscriptionOutcome> outcomes(count);
    // No batch size: one batch of every input (the threads below stay bounded by the processors).
    const std::size_t size = batchSize > 0 ? static_cast<std::size_t>(batchSize) : std::max<std::size_t>(count, 1);
    const auto processors = static_cast<std::size_t>(std::max(1, darori::ConcurrencyUtilities::activeProcessorCount()));
    const std::stop_token stop = cancellation::currentStopToken();

    for (std::size_t begin = 0; begin < count; begin += size) {
        const std::size_t end = std::min(count, begin + size);
        std::atomic<std::size_t> next{begin};
        auto work = [&] {
            cancellation::CancellationScope scope(stop);
            for (std::size_t i = next++; i < end; i = next++) {
                if (stop.stop_requested()) {
                    outcomes[i] = std::make_exception_ptr(cancellation::CancellationError());
                    continue;
                }
                try {
                    outcomes[i] = transcribeOne(i);
                } catch (...) {
                    outcomes[i] = std::current_exception();
                }
            }
        };
        // The calling thread is one of the workers; the model runtime shares its compute threads
        // among all of them, so more workers than processors would only queue.
        const std::size_t workers = std::min({end - begin, size, processors});
        std::vector<std::jthread> helpers;
        helpers.reserve(workers - 1);
        for (std::size_t w = 1; w < workers; ++w) {
            try {
                helpers.emplace_back(work);
            } catch (const std::system_error&) {
                break;  // no thread to spare: the workers already started (and this one) take the rest
            }
        }
        work();
        helpers.clear();  // joins: the batch is drained before the next one starts
    }
    return outcomes;
}

std::vector<TranscriptionOutcome> ZadezarIro::transcribeWithOptions(const std::vector<std::vector<float>>& audioArrays,
                                                                    const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
                                                                    const std::optional<std::vector<std::int64_t>>& seekOffsets,
                                                                    const TranscriptionCallback& callback) {
    const std::size_t count = audioArrays.size();
    if (decodeOptionsArray.size() != count)
        return {failure(WhisperError::transcriptionFailed("The number of audio arrays and decoding options must be balanced."))};
    if (seekOffsets && seekOffsets->size() != count)
        return {failure(WhisperError::transcriptionFailed("The number of audio arrays and seek offset indexes must be balanced."))};

    std::int64_t batchSize = 0;
    for (const auto& options : decodeOptionsArray) batchSize = std::max(batchSize, options ? options->concurrentWorkerCount : 0);

    const std::weak_ptr<ZadezarIro> weakSelf = weak_from_this();
    return runInBatches(count, batchSize, [&](std::size_t index) -> TranscriptionOutcome {
        const auto self = weakSelf.lock();
        if (!self) return failure(WhisperError::transcriptionFailed("ZadezarIro instance was deallocated"));

        SegmentDiscoveryCallback reporter;
        if (seekOffsets) {
            const std::int64_t offset = (*seekOffsets)[index];
            reporter = [weakSelf, offset](const std::vector<TranscriptionSegment>& segments) {
                const auto facade = weakSelf.lock();
                if (!facade) return;
                if (auto discovered = facade->segmentDiscoveryCallback()) discovered(shiftedSegments(segments, offset));
            };
        } else {
            reporter = self->segmentDiscoveryCallback();
        }
        return self->transcribe(audioArrays[index], decodeOptionsArray[index],
                                numberedProgress(callback, static_cast<std::int64_t>(index)), reporter);
    });
}

std::vector<TranscriptionOutcome> ZadezarIro::transcribeWithResults(const std::vector<std::vector<float>>& audioArrays,
                                                                    const std::optional<DecodingOptions>& decodeOptions,
                                                                    const TranscriptionCallback& callback) {
    return transcribeWithOptions(audioArrays, std::vector<std::optional<DecodingOptions>>(audioArrays.size(), decodeOptions),
                                 std::nullopt, callback);
}

std::vector<std::optional<TranscriptionResults>> ZadezarIro::transcribe(const std::vector<std::vector<float>>& audioArrays,
                                                                        const std::optional<DecodingOptions>& decodeOptions,
                                                                        const TranscriptionCallback& callback) {
    return toOptionalArrays(transcribeWithResults(audioArrays, decodeOptions, callback));
}

}  // namespace zadezariro

// The facade's transcription of audio files (read whole or streamed in chunks) and its language
// detection.
#include <algorithm>
#include <chrono>
#include <stop_token>

#include "Cancellation/Cancellation.hpp"
#include "DaroriCore/TextHelpers.hpp"
#include "ZadezarIro/Core/Text/TokenSampler.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"
#include "ZadezarIro/Core/ZadezarIroSegments.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

namespace fs = std::filesystem;
using darori::Logging;

namespace {

double secondsElapsedSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string plainDecimal(double value) { return darori::doubleDescription(value); }

}  // namespace

// ---- Language detection ----

LanguageDetection ZadezarIro::detectLanguage(const std::string& audioPath) {
    std::error_code ignored;
    if (!fs::exists(audioPath, ignored)) throw WhisperError::loadAudioFailed("Resource path does not exist " + audioPath);
    PCMBuffer buffer = AudioProcessor::loadAudio(audioPath, AudioInputOptions::SumChannels{}, 0.0, 30.0);
    return detectLangauge(AudioProcessor::convertBufferToArray(buffer, 1024));
}

LanguageDetection ZadezarIro::detectLangauge(const std::vector<float>& audioArray) {
    if (modelState() != darori::ModelState::loaded) loadModels(false);
    const auto decoder = textDecoder();
    if (!decoder->isModelMultilingual()) throw WhisperError::decodingFailed("Language detection not supported for this model");
    const auto currentTokenizer = tokenizer();
    if (!currentTokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");

    const DecodingOptions options = DecodingOptions::make({.verbose = Logging::isLoggingEnabled()});
    DecodingInputs inputs = decoder->prepareDecoderInputs({currentTokenizer->specialTokens().startOfTranscriptToken});

    const auto window = audioProcessor()->padOrTrim(audioArray, 0, windowSamples());
    if (!window) throw WhisperError::transcriptionFailed("Audio samples are nil");
    const auto mel = featureExtractor()->logMelSpectrogram(*window);
    if (!mel) throw WhisperError::transcriptionFailed("Mel output is nil");
    const auto encoded = audioEncoder()->encodeFeatures(*mel);
    if (!encoded) throw WhisperError::transcriptionFailed("Encoder output is nil");

    GreedyTokenSampler sampler(mlruntime::Half(0.0f), currentTokenizer->specialTokens().endToken, options);
    DecodingResult result;
    try {
        result = decoder->detectLanguage(*encoded, inputs, sampler, options, mlruntime::Half(0.0f));
    } catch (const cancellation::CancellationError&) {
        throw;
    } catch (...) {
        throw WhisperError::decodingFailed("Language detection failed");
    }
    return {result.language, result.languageProbs};
}

// ---- One file ----

TranscriptionResults ZadezarIro::transcribe(const std::string& audioPath, const std::optional<AudioInputOptions>& audioInputOptions,
                                            const std::optional<DecodingOptions>& decodeOptions,
                                            const TranscriptionCallback& callback) {
    const AudioInputOptions options = audioInputOptions.value_or(this->audioInputOptions());
    // Keeps the time since `start` as the audio loading time and logs it with the memory in use.
    const auto recordAudioTime = [this](std::chrono::steady_clock::time_point start, const std::string& line,
                                        const std::string& memoryLabel) {
        const double elapsed = secondsElapsedSince(start);
        {
            std::lock_guard guard(mutex_);
            currentTimings_.audioLoading = elapsed;
        }
        Logging::debug(line + plainDecimal(elapsed));
        Logging::logCurrentMemoryUsage(memoryLabel);
    };

    if (std::holds_alternative<AudioInputOptions::FullFile>(options.audioLoadingMode)) {
        reportTranscriptionState(TranscriptionState::convertingAudio);
        // The load's time excludes the state callback's.
        const auto start = std::chrono::steady_clock::now();
        auto recordLoading = [&] { recordAudioTime(start, "Audio loading and convert time: ", "Audio Loading and Convert"); };
        std::vector<float> samples;
        try {
            samples = AudioProcessor::loadAudioAsFloatArray(audioPath, options.channelMode, 0.0, std::nullopt);
        } catch (...) {
            recordLoading();
            throw;
        }
        recordLoading();

        reportTranscriptionState(TranscriptionState::transcribing);
        TranscriptionResults results;
        try {
            results = transcribe(samples, decodeOptions, callback, nullptr);
        } catch (...) {
            reportTranscriptionState(TranscriptionState::finished);
            throw;
        }
        reportTranscriptionState(TranscriptionState::finished);
        return results;
    }

    const auto& incremental = std::get<AudioInputOptions::Incremental>(options.audioLoadingMode);
    const auto start = std::chrono::steady_clock::now();
    auto recordStreaming = [&] { recordAudioTime(start, "Audio streaming and transcription time: ", "Audio Streaming"); };
    TranscriptionResults results;
    try {
        auto detector = voiceActivityDetector();
        if (!detector) detector = std::make_shared<EnergyVAD>();
        auto stream = AudioProcessor::loadFileIncrementally(audioPath, options.channelMode, incremental.chunkDurationSeconds,
                                                            incremental.maxBufferedChunks, windowSamples(), detector);
        results = transcribeFileStream(stream, decodeOptions, callback, true);
    } catch (...) {
        recordStreaming();
        throw;
    }
    recordStreaming();
    return results;
}

TranscriptionResults ZadezarIro::transcribeFileStream(AudioStream<IncrementalFileChunk>& audioStream,
                                                      const std::optional<DecodingOptions>& decodeOptions,
                                                      const TranscriptionCallback& callback, bool emitStateCallbacks) {
    if (decodeOptions && !decodeOptions->clipTimestamps.empty())
        throw WhisperError::transcriptionFailed(
            "clipTimestamps is not supported with AudioLoadingMode.incremental. Use .fullFile, or transcribe the desired range "
            "as a separate call.");

    TranscriptionResults all;
    if (emitStateCallbacks) reportTranscriptionState(TranscriptionState::transcribing);
    try {
        // A cancelled caller must not sit waiting for the reader: ending the stream wakes it.
        const std::stop_callback stopReading(cancellation::currentStopToken(), [&audioStream] { audioStream.cancel(); });
        while (auto chunk = audioStream.next()) {
            const AudioChunk& audio = chunk->audioChunk;
            TranscriptionResults chunkResults;
            try {
                // Every chunk taken is signalled, also when cancellation stops the loop before it.
                cancellation::checkCancellation();
                chunkResults = transcribe(audio.audioSamples, audio.seekOffsetIndex, decodeOptions, callback, nullptr);
            } catch (...) {
                chunk->completionSignal();
                throw;
            }
            const float offsetSeconds = static_cast<float>(audio.seekOffsetIndex) / 16000.0f;
            for (const auto& result : chunkResults) {
                result->modifySegments([&](std::vector<TranscriptionSegment>& segments) {
                    segments = shiftedSegments(segments, audio.seekOffsetIndex);
                });
                result->modifySeekTime([&](std::optional<float>& seekTime) { seekTime = offsetSeconds + seekTime.value_or(0.0f); });
            }
            all.insert(all.end(), chunkResults.begin(), chunkResults.end());
            chunk->completionSignal();
        }
        // A stream ended by cancellation is not a complete file.
        cancellation::checkCancellation();
    } catch (...) {
        audioStream.cancel();
        if (emitStateCallbacks) reportTranscriptionState(TranscriptionState::finished);
        throw;
    }

    std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
        return a->seekTime().value_or(0.0f) < b->seekTime().value_or(0.0f);
    });
    if (emitStateCallbacks) reportTranscriptionState(TranscriptionState::finished);
    return all;
}

// ---- Several files ----

std::vector<TranscriptionOutcome> ZadezarIro::transcribeWithResults(const std::vector<std::string>& audioPaths,
                                                                    const std::optional<AudioInputOptions>& audioInputOptions,
                                                                    const std::optional<DecodingOptions>& decodeOptions,
                                                                    const TranscriptionCallback& callback) {
    const AudioInputOptions options = audioInputOptions.value_or(this->audioInputOptions());

    if (std::holds_alternative<AudioInputOptions::FullFile>(options.audioLoadingMode)) {
        reportTranscriptionState(TranscriptionState::convertingAudio);
        const auto start = std::chrono::steady_clock::now();
        auto loads = AudioProcessor::loadAudio(audioPaths, options.channelMode);
        std::vector<std::vector<float>> loaded;
        for (auto& load : loads)
            if (auto* samples = std::get_if<std::vector<float>>(&load)) loaded.push_back(std::move(*samples));
        Logging::debug("Total Audio Loading and Converting Time: " + plainDecimal(secondsElapsedSince(start)));

        reportTranscriptionState(TranscriptionState::transcribing);
        const auto transcribed = transcribeWithResults(loaded, decodeOptions, callback);
        std::vector<TranscriptionOutcome> outcomes;
        std::size_t next = 0;
        for (const auto& load : loads) {
            if (const auto* error = std::get_if<std::exception_ptr>(&load))
                outcomes.emplace_back(*error);
            else
                outcomes.push_back(transcribed.at(next++));
        }
        reportTranscriptionState(TranscriptionState::finished);
        return outcomes;
    }

    const auto incremental = std::get<AudioInputOptions::Incremental>(options.audioLoadingMode);
    reportTranscriptionState(TranscriptionState::transcribing);
    const auto start = std::chrono::steady_clock::now();
    const std::weak_ptr<ZadezarIro> weakSelf = weak_from_this();
    auto outcomes = runInBatches(audioPaths.size(), decodeOptions ? decodeOptions->concurrentWorkerCount : 0,
                                 [&](std::size_t index) -> TranscriptionOutcome {
                                     const auto self = weakSelf.lock();
                                     if (!self)
                                         return std::make_exception_ptr(
                                             WhisperError::transcriptionFailed("ZadezarIro instance was deallocated"));
                                     auto detector = self->voiceActivityDetector();
                                     if (!detector) detector = std::make_shared<EnergyVAD>();
                                     auto stream = AudioProcessor::loadFileIncrementally(
                                         audioPaths[index], options.channelMode, incremental.chunkDurationSeconds,
                                         incremental.maxBufferedChunks, self->windowSamples(), detector);
                                     return self->transcribeFileStream(stream, decodeOptions, callback, false);
                                 });
    Logging::debug("Total Audio Streaming and Transcription Time: " + plainDecimal(secondsElapsedSince(start)));
    reportTranscriptionState(TranscriptionState::finished);
    return outcomes;
}

std::vector<std::optional<TranscriptionResults>> ZadezarIro::transcribe(const std::vector<std::string>& audioPaths,
                                                                        const std::optional<AudioInputOptions>& audioInputOptions,
                                                                        const std::optional<DecodingOptions>& decodeOptions,
                                                                        const TranscriptionCallback& callback) {
    return toOptionalArrays(transcribeWithResults(audioPaths, audioInputOptions, decodeOptions, callback));
}

}  // namespace zadezariro

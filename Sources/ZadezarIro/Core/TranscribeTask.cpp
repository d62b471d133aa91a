#include "ZadezarIro/Core/TranscribeTask.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <span>

#include "Cancellation/Cancellation.hpp"
#include "DaroriCore/Logging.hpp"
#include "DaroriCore/NumberText.hpp"
#include "MLRuntime/Half.hpp"
#include "ZadezarIro/Core/Audio/VoiceActivityDetector.hpp"
#include "ZadezarIro/Core/Constants.hpp"
#include "ZadezarIro/Utilities/Extensions.hpp"
#include "ZadezarIro/Utilities/LoggingCategories.hpp"
#include "ZadezarIro/Utilities/TranscriptionUtilities.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

namespace zadezariro {

using darori::Logging;
using mlruntime::Half;
using mlruntime::MultiArray;

namespace {

constexpr std::int64_t SAMPLES_PER_SECOND = 16000;



std::string samplesAsSeconds(std::int64_t samples) {
    return darori::fixedText(static_cast<double>(samples) / static_cast<double>(SAMPLES_PER_SECOND), 2);
}

// The fewest digits that read back as the same 16-bit value ("0.2" for 0.19995117).
std::string halfDescription(Half value) {
    const float f = value.toFloat();
    if (!std::isfinite(f)) return darori::floatDescription(f);
    for (int digits = 1; digits <= 8; ++digits) {
        const float rounded = darori::parseFloat(darori::generalText(static_cast<double>(f), digits)).value_or(f);
        if (Half(rounded) == value) return darori::floatDescription(rounded);
    }
    return darori::floatDescription(f);
}

// ["<|startoftranscript|>", "<|0.00|>"]: the prompt's tokens, "" for an id without a token.
std::string promptText(const std::vector<std::int64_t>& prompt, const WhisperTokenizer& tokenizer) {
    std::string text = "[";
    for (size_t i = 0; i < prompt.size(); ++i) {
        if (i > 0) text += ", ";
        text += '"';
        text += tokenizer.convertIdToToken(static_cast<int>(prompt[i])).value_or("");
        text += '"';
    }
    return text + "]";
}

// Spaces and tabs trimmed at both ends; line breaks stay.
std::string trimSpacesAndTabs(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Ends a signpost interval on every way out of a scope.
class SignpostScope {
public:
    explicit SignpostScope(std::string_view name)
        : name_(name), interval_(LoggingCategories::beginSignpost(name, LoggingCategories::TranscribeTask().signposter)) {}
    ~SignpostScope() { LoggingCategories::endSignpost(name_, interval_, LoggingCategories::TranscribeTask().signposter); }
    SignpostScope(const SignpostScope&) = delete;
    SignpostScope& operator=(const SignpostScope&) = delete;

private:
    std::string_view name_;
    darori::SignpostIntervalState interval_;
};

// Whether the engine's default energy detector hears voice anywhere in the samples.
bool holdsVoice(std::span<const float> samples) {
    static const EnergyVAD detector;
    const auto frames = detector.voiceActivity(samples);
    return std::any_of(frames.begin(), frames.end(), [](bool voiced) { return voiced; });
}

// The clip times as sample ranges inside the samples: every bound clamped to [0, contentFrames],
// an end before its start moved to the start.
std::vector<std::pair<std::int64_t, std::int64_t>> clampedSeekClips(const DecodingOptions& options, std::int64_t contentFrames) {
    auto clips = prepareSeekClips(options, contentFrames);
    for (auto& [start, end] : clips) {
        start = std::clamp<std::int64_t>(start, 0, contentFrames);
        end = std::clamp<std::int64_t>(end, start, contentFrames);
    }
    return clips;
}

}  // namespace

const std::string TranscribeTask::prependPunctuations = "\"'\u201c\u00a1\u00bf([{-";
const std::string TranscribeTask::appendPunctuations = "\"'.\u3002,\uff0c!\uff01?\uff1f:\uff1a\u201d)]}\u3001";

TranscribeTask::TranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<darori::Progress> progress,
                               std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
                               std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
                               std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer)
    : timings_(currentTimings),
      progress_(progress ? std::move(progress) : std::make_shared<darori::Progress>()),
      audioEncoder_(std::move(audioEncoder)),
      featureExtractor_(std::move(featureExtractor)),
      segmentSeeker_(std::move(segmentSeeker)),
      textDecoder_(std::move(textDecoder)),
      audioProcessor_(audioProcessor ? std::move(audioProcessor) : std::make_shared<AudioProcessor>()),
      tokenizer_(std::move(tokenizer)) {}

void TranscribeTask::windowPreprocess(const MultiArray&, std::int64_t, std::int64_t) {}

std::vector<TranscriptionSegment> TranscribeTask::windowPostProcess(std::int64_t, std::int64_t,
                                                                    std::vector<TranscriptionSegment> originalSegments) {
    return originalSegments;
}

std::shared_ptr<TranscriptionResult> TranscribeTask::run(const std::vector<float>& audioArray,
                                                         const std::optional<DecodingOptions>& decodeOptions,
                                                         const TranscriptionCallback& callback) {
    SignpostScope signpost("TranscribeAudio");
    timings_.pipelineStart = std::min(timings_.pipelineStart, TranscriptionUtilities::wallClockSeconds());
    Logging::debug("Starting pipeline at: " + TranscriptionUtilities::currentDateText());

    DecodingOptions options = decodeOptions.value_or(DecodingOptions::make());
    options.verbose = Logging::isLoggingEnabled();
    if (!std::isfinite(options.windowClipTime) || options.windowClipTime < 0)
        throw WhisperError::transcriptionFailed("Window clip time must be a finite, non-negative number of seconds, not " +
                                                darori::floatDescription(options.windowClipTime));
    if (options.maxWindowSeek && *options.maxWindowSeek < 1)
        throw WhisperError::transcriptionFailed("Max window seek must be at least 1 sample, not " +
                                                std::to_string(*options.maxWindowSeek));
    if (!tokenizer_) throw WhisperError::tokenizerUnavailable();
    if (!audioEncoder_ || !featureExtractor_ || !segmentSeeker_ || !textDecoder_) throw WhisperError::modelsUnavailable();
    const WhisperTokenizer& tokenizer = *tokenizer_;
    const SpecialTokens& special = tokenizer.specialTokens();

    const auto contentFrames = static_cast<std::int64_t>(audioArray.size());
    const auto seekClips = clampedSeekClips(options, contentFrames);
    const double firstClipStart = options.clipTimestamps.empty() ? 0.0
                                                                 : static_cast<double>(seekClips.front().first) / SAMPLES_PER_SECOND;
    timings_.inputAudioSeconds = static_cast<double>(contentFrames) / SAMPLES_PER_SECOND - firstClipStart;

    const double initStart = TranscriptionUtilities::steadySeconds();
    DecodingInputs decoderInputs = textDecoder_->prepareDecoderInputs({special.startOfTranscriptToken});
    timings_.decodingInit = TranscriptionUtilities::steadySeconds() - initStart;
    Logging::debug("Decoder init time: " + darori::doubleDescription(timings_.decodingInit));
    if (options.usePrefillPrompt) textDecoder_->prefillDecoderInputs(decoderInputs, options);
    Logging::debug("Prefill prompt: " + promptText(decoderInputs.initialPrompt(), tokenizer));
    // Word timings read the alignment rows of the window's own tokens, after any earlier prompt.
    const auto& prompt = decoderInputs.initialPrompt();
    const auto startOfTranscript = std::find(prompt.begin(), prompt.end(), special.startOfTranscriptToken);
    const std::int64_t windowTokenOffset = startOfTranscript == prompt.end() ? 0 : startOfTranscript - prompt.begin();

    std::string clipsText = "[";
    std::int64_t totalSamples = 0;
    for (size_t i = 0; i < seekClips.size(); ++i) {
        if (i > 0) clipsText += ", ";
        clipsText += "(" + std::to_string(seekClips[i].first) + ", " + std::to_string(seekClips[i].second) + ")";
        totalSamples += seekClips[i].second - seekClips[i].first;
    }
    Logging::debug("Decoding seek clips: " + clipsText + "]");
    progress_->setTotalUnitCount(totalSamples);
    progress_->setCompletedUnitCount(0);  // a task run again (the stream transcriber's) counts anew
    const double loopStart = TranscriptionUtilities::steadySeconds();

    // A window starting within this many samples of a clip's end is only decoded when it is the
    // clip's first or holds voice: a short silent tail is not worth a window, a spoken one is.
    const double margin = static_cast<double>(options.windowClipTime) * SAMPLES_PER_SECOND;
    std::optional<std::string> detectedLanguage;
    std::vector<TranscriptionSegment> allSegments;
    std::vector<std::int64_t> allTokens;
    std::int64_t windowIndex = 0;

    for (const auto& [clipStart, clipEnd] : seekClips) {
        const std::int64_t clipStartProgress = progress_->completedUnitCount();
        std::int64_t windowSamples = featureExtractor_->windowSamples().value_or(Constants::defaultWindowSamples);
        if (windowSamples < 1) windowSamples = Constants::defaultWindowSamples;
        std::int64_t seek = clipStart;
        std::int64_t windowsInClip = 0;

        while (seek < clipEnd) {
            const std::int64_t previousSeek = seek;
            const std::int64_t segmentSize = std::min(clipEnd - seek, std::min(contentFrames - seek, windowSamples));
            const std::span<const float> slice(audioArray.data() + seek, static_cast<size_t>(segmentSize));
            if (windowsInClip > 0 && static_cast<double>(clipEnd - seek) <= margin && !holdsVoice(slice)) {
                Logging::debug("Skipping silent tail at " + samplesAsSeconds(seek) + "s (" + samplesAsSeconds(clipEnd - seek) + "s)");
                break;
            }
            ++windowsInClip;
            Logging::debug("Decoding Seek: " + std::to_string(seek) + " (" + samplesAsSeconds(seek) + "s)");
            Logging::debug("Decoding Window Size: " + std::to_string(segmentSize) + " (" + samplesAsSeconds(segmentSize) + "s)");

            double stageStart = TranscriptionUtilities::steadySeconds();
            auto paddedWindow = audioProcessor_->padOrTrim(slice, 0, windowSamples);
            if (!paddedWindow) throw WhisperError::transcriptionFailed("Audio samples are nil");
            windowPreprocess(*paddedWindow, seek, segmentSize);
            timings_.audioProcessing += TranscriptionUtilities::steadySeconds() - stageStart;
            timings_.totalAudioProcessingRuns += 1;
            cancellation::checkCancellation();

            stageStart = TranscriptionUtilities::steadySeconds();
            auto melOutput = featureExtractor_->logMelSpectrogram(*paddedWindow);
            if (!melOutput) throw WhisperError::transcriptionFailed("Mel output is nil");
            timings_.logmels += TranscriptionUtilities::steadySeconds() - stageStart;
            timings_.totalLogmelRuns += 1;
            cancellation::checkCancellation();

            stageStart = TranscriptionUtilities::steadySeconds();
            auto encoderOutput = audioEncoder_->encodeFeatures(*melOutput);
            if (!encoderOutput) throw WhisperError::transcriptionFailed("Encoder output is nil");
            timings_.encoding += TranscriptionUtilities::steadySeconds() - stageStart;
            timings_.totalEncodingRuns += 1;
            paddedWindow.reset();
            melOutput.reset();

            Logging::info("Decoding " + samplesAsSeconds(seek) + "s - " + samplesAsSeconds(seek + segmentSize) + "s");
            // The window's place in the run, counted before its own fallbacks.
            const std::int64_t windowId = windowIndex++;
            TranscriptionCallback windowCallback = [this, &callback, windowId](const TranscriptionProgress& report) -> std::optional<bool> {
                if (!callback) return std::nullopt;
                TranscriptionProgress copy = report;
                copy.windowId = windowId;
                copy.timings.totalDecodingFallbacks = timings_.totalDecodingFallbacks;
                copy.timings.totalDecodingWindows = timings_.totalDecodingWindows;
                return callback(copy);
            };
            cancellation::checkCancellation();

            const DecodingResult decodingResult =
                decodeWithFallback(*encoderOutput, options, decoderInputs, detectedLanguage, windowCallback);

            const double windowingStart = TranscriptionUtilities::steadySeconds();
            auto [nextSeek, segments] = segmentSeeker_->findSeekPointAndSegments(
                decodingResult, options, static_cast<std::int64_t>(allSegments.size()), seek, segmentSize, SAMPLES_PER_SECOND,
                special.timeTokenBegin, special.specialTokenBegin, tokenizer);
            seek = std::max(nextSeek, seek);

            if (options.wordTimestamps && decodingResult.cache && decodingResult.cache->alignmentWeights) {
                const double wordsStart = TranscriptionUtilities::steadySeconds();
                auto withWords = segmentSeeker_->addWordTimestamps(
                    segments.value_or(std::vector<TranscriptionSegment>{}), *decodingResult.cache->alignmentWeights, tokenizer,
                    previousSeek, segmentSize, prependPunctuations, appendPunctuations,
                    static_cast<float>(static_cast<double>(previousSeek) / SAMPLES_PER_SECOND), options, timings_, windowTokenOffset);
                timings_.decodingWordTimestamps += TranscriptionUtilities::steadySeconds() - wordsStart;
                timings_.totalTimestampAlignmentRuns += 1;
                std::vector<TranscriptionSegment> kept;
                for (auto& segment : withWords)
                    if (segment.start < segment.end) kept.push_back(std::move(segment));
                if (!kept.empty())
                    seek = std::max(seek, static_cast<std::int64_t>(static_cast<double>(kept.back().end) * SAMPLES_PER_SECOND));
                if (options.verbose) {
                    Logging::debug("Word timestamps:");
                    for (const auto& segment : kept)
                        for (const auto& word : segment.words.value_or(std::vector<WordTiming>{}))
                        {
                            std::string line = "[";
                            line += darori::generalText(word.start, 3) + " -> " + darori::generalText(word.end, 3);
                            line += "] prob: " + darori::floatDescription(word.probability) + ", word: " + word.word;
                            Logging::debug(line);
                        }
                }
                segments = std::move(kept);
            }

            if (options.maxWindowSeek) seek = std::min(seek, previousSeek + *options.maxWindowSeek);
            // Whatever the seeker answered, the next window starts after this one's start.
            if (seek <= previousSeek) seek = previousSeek + std::min(segmentSize, options.maxWindowSeek.value_or(segmentSize));

            if (!segments) {
                // A window without segments still leaves its tokens in the decoder inputs.
                decoderInputs.reset(Constants::maxTokenContext);
                continue;
            }

            auto kept = windowPostProcess(previousSeek, segmentSize, std::move(*segments));
            if (options.verbose) {
                Logging::debug("Segments for window:");
                for (const auto& segment : kept)
                    Logging::debug("[" + darori::fixedText(segment.start, 2) + " --> " + darori::fixedText(segment.end, 2) + "] " + segment.text);
            }
            if (segmentDiscoveryCallback_) segmentDiscoveryCallback_(kept);
            for (const auto& segment : kept) allTokens.insert(allTokens.end(), segment.tokens.begin(), segment.tokens.end());
            allSegments.insert(allSegments.end(), std::make_move_iterator(kept.begin()), std::make_move_iterator(kept.end()));

            timings_.decodingWindowing += TranscriptionUtilities::steadySeconds() - windowingStart;
            timings_.totalDecodingWindows += 1;
            decoderInputs.reset(Constants::maxTokenContext);
            progress_->setCompletedUnitCount(clipStartProgress + (std::min(seek, clipEnd) - clipStart));
        }
    }

    progress_->setCompletedUnitCount(progress_->totalUnitCount());
    timings_.decodingLoop = TranscriptionUtilities::steadySeconds() - loopStart;
    timings_.fullPipeline = TranscriptionUtilities::wallClockSeconds() - timings_.pipelineStart;
    return finalizeTranscriptionResult(allTokens, allSegments, detectedLanguage, timings_);
}

std::shared_ptr<TranscriptionResult> TranscribeTask::finalizeTranscriptionResult(const std::vector<std::int64_t>& tokens,
                                                                                 const std::vector<TranscriptionSegment>& segments,
                                                                                 const std::optional<std::string>& language,
                                                                                 const TranscriptionTimings& timings) {
    std::vector<int> textTokens;
    if (tokenizer_) {
        const auto specialBegin = tokenizer_->specialTokens().specialTokenBegin;
        for (auto token : tokens)
            if (token < specialBegin) textTokens.push_back(static_cast<int>(token));
    }
    const std::string text = tokenizer_ ? trimSpacesAndTabs(tokenizer_->decode(textTokens)) : "";
    return std::make_shared<TranscriptionResult>(text, segments, language.value_or(std::string(Constants::defaultLanguageCode)),
                                                 timings, std::nullopt);
}

DecodingResult TranscribeTask::decodeWithFallback(const MultiArray& encoderSegment, const DecodingOptions& decodingOptions,
                                                  DecodingInputsType& decoderInputs, std::optional<std::string>& detectedLanguage,
                                                  const TranscriptionCallback& callback) {
    SignpostScope signpost("Decode");
    const WhisperTokenizer& tokenizer = *tokenizer_;

    // t + i × d in 16-bit arithmetic: every operand and every intermediate result is a half.
    std::vector<Half> temperatures;
    const Half base(decodingOptions.temperature), increment(decodingOptions.temperatureIncrementOnFallback);
    for (std::int64_t i = 0; i <= decodingOptions.temperatureFallbackCount; ++i) {
        const Half step(Half(static_cast<float>(i)).toFloat() * increment.toFloat());
        temperatures.push_back(Half(base.toFloat() + step.toFloat()));
    }
    std::string list = "[";
    for (size_t i = 0; i < temperatures.size(); ++i) list += (i > 0 ? ", " : "") + halfDescription(temperatures[i]);
    Logging::debug("Decoding with temperatures " + list + "]");

    std::optional<DecodingResult> result;
    for (size_t i = 0; i < temperatures.size(); ++i) {
        const Half temperature = temperatures[i];
        Logging::info("Decoding Temperature: " + halfDescription(temperature));
        const double attemptStart = TranscriptionUtilities::steadySeconds();
        GreedyTokenSampler sampler(temperature, tokenizer.specialTokens().endToken, decodingOptions);
        DecodingOptions attemptOptions = decodingOptions;

        if (textDecoder_->isModelMultilingual() && !decodingOptions.language && decodingOptions.detectLanguage) {
            std::optional<DecodingResult> detection;
            try {
                detection = textDecoder_->detectLanguage(encoderSegment, decoderInputs, sampler, decodingOptions, temperature);
            } catch (const cancellation::CancellationError&) {
                throw;
            } catch (const std::exception& error) {
                Logging::debug("Language detection failed: " + std::string(error.what()));
            }
            attemptOptions.language = detection ? std::optional<std::string>(detection->language) : std::nullopt;
            detectedLanguage = attemptOptions.language;
            if (decodingOptions.usePrefillPrompt) textDecoder_->prefillDecoderInputs(decoderInputs, attemptOptions);
            Logging::debug("Prefill prompt updated to: " + promptText(decoderInputs.initialPrompt(), tokenizer));
            if (detection && detection->timings) {
                timings_.decodingPredictions += detection->timings->decodingPredictions;
                timings_.decodingSampling += detection->timings->decodingSampling;
            }
        }

        DecodingResult attempt = textDecoder_->decodeText(encoderSegment, decoderInputs, sampler, attemptOptions, callback);
        if (!detectedLanguage) detectedLanguage = attempt.language;
        if (attempt.timings) {
            const TranscriptionTimings& t = *attempt.timings;
            timings_.firstTokenTime = std::min(timings_.firstTokenTime, t.firstTokenTime);
            timings_.decodingNonPrediction += t.decodingNonPrediction;
            timings_.decodingPredictions += t.decodingPredictions;
            timings_.decodingFiltering += t.decodingFiltering;
            timings_.decodingSampling += t.decodingSampling;
            timings_.decodingKvCaching += t.decodingKvCaching;
            timings_.totalDecodingLoops += t.totalDecodingLoops;
            timings_.totalKVUpdateRuns += t.totalKVUpdateRuns;
        }
        const bool retry = attempt.fallback && attempt.fallback->needsFallback;
        const std::string reason = retry ? attempt.fallback->fallbackReason : "";
        result = std::move(attempt);
        if (!retry) break;

        timings_.decodingFallback += TranscriptionUtilities::steadySeconds() - attemptStart;
        // One fallback is one more attempt at a higher temperature; the run's count adds them up.
        if (i + 1 < temperatures.size()) timings_.totalDecodingFallbacks += 1;
        decoderInputs.reset(Constants::maxTokenContext);
        Logging::info("Fallback #" + std::to_string(i + 1) + " (" + reason + ")");
    }

    if (!result) throw WhisperError::decodingFailed("Decoding failed");
    return std::move(*result);
}

}  // namespace zadezariro

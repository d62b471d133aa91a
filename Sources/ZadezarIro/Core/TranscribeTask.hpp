// One transcription run over one array of 16 kHz mono samples: window by window (at most one model
// window each) the samples become mel features, encoder embeddings and decoded tokens (retried at
// higher temperatures when the result looks wrong), then timed segments, optional word timings and
// the next seek point; at the end one TranscriptionResult.
//
// A task borrows the engine's components (shared references) and owns only its timings and progress.
// It is made for one run at a time: its fields are not locked, and the components it borrows must
// tolerate concurrent use when several tasks share them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DaroriCore/External/Hub/Progress.hpp"
#include "MLRuntime/MultiArray.hpp"
#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"
#include "ZadezarIro/Core/AudioEncoder.hpp"
#include "ZadezarIro/Core/DecodingInputs.hpp"
#include "ZadezarIro/Core/DecodingOptions.hpp"
#include "ZadezarIro/Core/FeatureExtractor.hpp"
#include "ZadezarIro/Core/Text/SegmentSeeker.hpp"
#include "ZadezarIro/Core/TextDecoder.hpp"
#include "ZadezarIro/Core/TranscriptionResult.hpp"
#include "ZadezarIro/Core/TranscriptionTimings.hpp"
#include "ZadezarIro/Core/WhisperTokenizer.hpp"

namespace zadezariro {

// Told every report of the decoding loop; answering false stops the decoding of the current window.
using TranscriptionCallback = DecodingProgressCallback;
// Told the segments of every window that produced some, before they are kept.
using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;

class TranscribeTask {
public:
    // The characters glued to the following word (prepended) and to the preceding one (appended)
    // when word timings are computed.
    static const std::string prependPunctuations;
    static const std::string appendPunctuations;

    // Stores the values; a null progress becomes a new Progress, a null audio processor a new
    // AudioProcessor. The segment callback starts empty.
    TranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<darori::Progress> progress,
                   std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
                   std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
                   std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer);
    virtual ~TranscribeTask() = default;
    TranscribeTask(const TranscribeTask&) = delete;
    TranscribeTask& operator=(const TranscribeTask&) = delete;

    virtual std::shared_ptr<const WhisperTokenizer> tokenizer() const { return tokenizer_; }
    virtual void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) { tokenizer_ = std::move(tokenizer); }
    virtual SegmentDiscoveryCallback segmentDiscoveryCallback() const { return segmentDiscoveryCallback_; }
    virtual void setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback) { segmentDiscoveryCallback_ = std::move(callback); }

    // Called once per window with the padded window samples, the window's first sample and its
    // length in samples. Does nothing here.
    virtual void windowPreprocess(const mlruntime::MultiArray& paddedWindow, std::int64_t seek, std::int64_t segmentSize);
    // Called once per window that produced segments; returns the segments the run keeps (here the
    // given ones, unchanged).
    virtual std::vector<TranscriptionSegment> windowPostProcess(std::int64_t seek, std::int64_t segmentSize,
                                                                std::vector<TranscriptionSegment> originalSegments);

    // Transcribes the samples with the options (the defaults when absent) and returns one result.
    // Blocks until done. Throws WhisperError transcriptionFailed for options it cannot honour (a
    // negative or non-finite windowClipTime, a maxWindowSeek below 1) and when a component gives no
    // output ("Audio samples are nil", "Mel output is nil", "Encoder output is nil");
    // decodingFailed ("Decoding failed") for a negative temperatureFallbackCount; tokenizerUnavailable
    // or modelsUnavailable when the task lacks a tokenizer or a component;
    // cancellation::CancellationError when the thread's task is cancelled (checked between the
    // stages of a window and at every decoded token); the components' own errors unchanged.
    //
    // Clip times outside the samples are clamped to them. Every clip that holds samples is
    // transcribed to its end: a clip shorter than windowClipTime gets one window, and a tail shorter
    // than windowClipTime after the last window is decoded when the default energy detector hears
    // voice in it. The seek always moves forward.
    virtual std::shared_ptr<TranscriptionResult> run(const std::vector<float>& audioArray,
                                                     const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                     const TranscriptionCallback& callback = nullptr);

    // The result of a run: the text of the tokens below specialTokenBegin (spaces and tabs trimmed at
    // both ends), the segments unchanged, the language ("en" when absent), the timings, no seek time.
    virtual std::shared_ptr<TranscriptionResult> finalizeTranscriptionResult(const std::vector<std::int64_t>& tokens,
                                                                             const std::vector<TranscriptionSegment>& segments,
                                                                             const std::optional<std::string>& language,
                                                                             const TranscriptionTimings& timings);

    const TranscriptionTimings& timings() const { return timings_; }
    const std::shared_ptr<darori::Progress>& progress() const { return progress_; }
    const std::shared_ptr<AudioProcessing>& audioProcessor() const { return audioProcessor_; }
    const std::shared_ptr<AudioEncoding>& audioEncoder() const { return audioEncoder_; }
    const std::shared_ptr<FeatureExtracting>& featureExtractor() const { return featureExtractor_; }
    const std::shared_ptr<SegmentSeeking>& segmentSeeker() const { return segmentSeeker_; }
    const std::shared_ptr<TextDecoding>& textDecoder() const { return textDecoder_; }

private:
    // Decodes one encoded window at the temperatures of the options' schedule, lowest first, until
    // an attempt needs no fallback; returns that attempt's result, or the last one.
    DecodingResult decodeWithFallback(const mlruntime::MultiArray& encoderSegment, const DecodingOptions& decodingOptions,
                                      DecodingInputsType& decoderInputs, std::optional<std::string>& detectedLanguage,
                                      const TranscriptionCallback& callback);

    TranscriptionTimings timings_;
    std::shared_ptr<darori::Progress> progress_;
    std::shared_ptr<AudioEncoding> audioEncoder_;
    std::shared_ptr<FeatureExtracting> featureExtractor_;
    std::shared_ptr<SegmentSeeking> segmentSeeker_;
    std::shared_ptr<TextDecoding> textDecoder_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<const WhisperTokenizer> tokenizer_;
    SegmentDiscoveryCallback segmentDiscoveryCallback_;
};

}  // namespace zadezariro

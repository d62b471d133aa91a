// Live transcription of the microphone while it records: the audio processor captures, and a loop
// re-transcribes the audio after the last confirmed segment whenever more than a second of new
// audio has arrived. Segments followed by enough newer ones are confirmed and kept; the newest stay
// unconfirmed and are replaced by the next pass. Everything a user interface shows lives in one
// State value; every change of it is reported to a callback with the old and the new value.
//
// Thread safety: the state is changed under one lock, from the loop's thread, from the decoding
// loop's progress reports (on the loop's thread) and from a worker thread that applies the capture
// thread's energy updates in order; the state-change callback runs under that lock (it may call
// stopStreamTranscription). Any thread may call start and stop; a second start while one runs
// returns at once. Do not destroy the transcriber while startStreamTranscription runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"
#include "ZadezarIro/Core/AudioEncoder.hpp"
#include "ZadezarIro/Core/DecodingOptions.hpp"
#include "ZadezarIro/Core/FeatureExtractor.hpp"
#include "ZadezarIro/Core/Text/SegmentSeeker.hpp"
#include "ZadezarIro/Core/TextDecoder.hpp"
#include "ZadezarIro/Core/TranscriptionResult.hpp"
#include "ZadezarIro/Core/WhisperTokenizer.hpp"

namespace zadezariro {

class AudioStreamTranscriber {
public:
    struct State {
        bool isRecording = false;
        std::int64_t currentFallbacks = 0;   // fallbacks of the run so far, from the last progress report
        std::int64_t lastBufferSize = 0;     // samples recorded (since the start) at the last pass
        float lastConfirmedSegmentEndSeconds = 0;  // where the next pass starts
        std::vector<float> bufferEnergy;     // relative energy of every captured buffer
        std::string currentText;             // the window being decoded, or "Waiting for speech..."
        std::vector<TranscriptionSegment> confirmedSegments;
        std::vector<TranscriptionSegment> unconfirmedSegments;
        std::vector<std::string> unconfirmedText;  // texts of the windows finished in the running pass
        bool operator==(const State&) const = default;
    };
    using StateChangeCallback = std::function<void(const State& oldState, const State& newState)>;

    // Stores the arguments and makes the transcription task (fresh timings, a new progress) from the
    // components. A null audio processor becomes a new AudioProcessor. Segment times are seconds
    // since the start of the recording.
    AudioStreamTranscriber(std::shared_ptr<AudioEncoding> audioEncoder, std::shared_ptr<FeatureExtracting> featureExtractor,
                           std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
                           std::shared_ptr<const WhisperTokenizer> tokenizer, std::shared_ptr<AudioProcessing> audioProcessor,
                           DecodingOptions decodingOptions, std::int64_t requiredSegmentsForConfirmation = 2,
                           float silenceThreshold = 0.3f, std::int64_t compressionCheckWindow = 60, bool useVAD = true,
                           std::optional<AudioDeviceID> inputDeviceID = std::nullopt, StateChangeCallback stateChangeCallback = nullptr);
    ~AudioStreamTranscriber();
    AudioStreamTranscriber(const AudioStreamTranscriber&) = delete;
    AudioStreamTranscriber& operator=(const AudioStreamTranscriber&) = delete;

    // Asks for the microphone, starts capture from a clean state and runs the loop on the calling
    // thread until recording stops; returns then. Returns at once when already recording, and
    // normally when access is denied ("Microphone access was not granted." logged). Throws the
    // capture's start error (recording flag reset). A failing pass is logged ("Error: " + its
    // description) and stops recording; it is not thrown.
    void startStreamTranscription();
    // Stops recording; a running pass finishes, then the loop ends.
    void stopStreamTranscription();

    // false (stop the window) when the last compressionCheckWindow tokens compress better than the
    // options' compressionRatioThreshold or the average log probability is below logProbThreshold;
    // absent thresholds switch their check off. Absent otherwise.
    static std::optional<bool> shouldStopEarly(const TranscriptionProgress& progress, const DecodingOptions& options,
                                               std::int64_t compressionCheckWindow);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace zadezariro

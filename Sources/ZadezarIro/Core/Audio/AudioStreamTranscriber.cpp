#include "ZadezarIro/Core/Audio/AudioStreamTranscriber.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <span>
#include <thread>

#include "Cancellation/Cancellation.hpp"
#include "DaroriCore/External/Hub/HubError.hpp"
#include "DaroriCore/Logging.hpp"
#include "Unicode/Unicode.hpp"
#include "ZadezarIro/Core/TranscribeTask.hpp"
#include "ZadezarIro/Utilities/TextUtilities.hpp"

namespace zadezariro {

using darori::Logging;

namespace {

constexpr double SAMPLE_RATE = 16000;
constexpr const char* WAITING_TEXT = "Waiting for speech...";

// Runs posted jobs one after another on a thread of its own. Dropping it discards the jobs not yet
// started and waits for the running one (unless dropped by that job itself).
class SerialQueue {
public:
    SerialQueue() : worker_([shared = shared_] { work(*shared); }) {}
    ~SerialQueue() {
        {
            std::lock_guard lock(shared_->mutex);
            shared_->stopping = true;
            shared_->jobs.clear();
        }
        shared_->wake.notify_all();
        if (worker_.get_id() == std::this_thread::get_id())
            worker_.detach();  // the worker owns what it still touches
        else
            worker_.join();
    }
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(std::function<void()> job) {
        {
            std::lock_guard lock(shared_->mutex);
            if (shared_->stopping) return;
            shared_->jobs.push_back(std::move(job));
        }
        shared_->wake.notify_one();
    }

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> jobs;  // guarded by mutex
        bool stopping = false;                   // guarded by mutex
    };

    static void work(Shared& shared) {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(shared.mutex);
                shared.wake.wait(lock, [&] { return shared.stopping || !shared.jobs.empty(); });
                if (shared.stopping) return;
                job = std::move(shared.jobs.front());
                shared.jobs.pop_front();
            }
            job();
        }
    }

    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::thread worker_;
};

}  // namespace

struct AudioStreamTranscriber::Impl : std::enable_shared_from_this<Impl> {
    std::shared_ptr<AudioProcessing> audioProcessor;
    DecodingOptions decodingOptions;
    std::int64_t requiredSegmentsForConfirmation;
    float silenceThreshold;
    std::int64_t compressionCheckWindow;
    bool useVAD;
    std::optional<AudioDeviceID> inputDeviceID;
    StateChangeCallback stateChangeCallback;
    std::unique_ptr<TranscribeTask> transcribeTask;  // used by the loop only

    std::recursive_mutex actor;  // the state and every change of it, with its callback
    State state;                 // guarded by actor
    bool loopRunning = false;    // guarded by actor
    // Samples dropped from the front of the processor's capture in this recording; the processor's
    // first sample is this many samples after the start of the recording. Changed by the loop only.
    std::int64_t purgedSamples = 0;
    std::atomic<bool> recording{false};  // state.isRecording, readable without the lock
    std::mutex wakeMutex;
    std::condition_variable_any wake;  // told when recording stops
    SerialQueue energyUpdates;         // the capture thread's state updates, in order

    template <class Change>
    void update(Change&& change) {
        std::lock_guard lock(actor);
        const State old = state;
        change(state);
        recording = state.isRecording;
        if (stateChangeCallback) stateChangeCallback(old, state);
    }

    State snapshot() {
        std::lock_guard lock(actor);
        return state;
    }

    void start();
    void stop();
    void transcribeCurrentBuffer();
    std::shared_ptr<TranscriptionResult> transcribeAudioSamples(const std::vector<float>& samples);
    void onProgressCallback(const TranscriptionProgress& progress);
    void pause();
    void showWaiting() {
        if (snapshot().currentText.empty()) update([](State& s) { s.currentText = WAITING_TEXT; });
    }
};

AudioStreamTranscriber::AudioStreamTranscriber(std::shared_ptr<AudioEncoding> audioEncoder,
                                               std::shared_ptr<FeatureExtracting> featureExtractor,
                                               std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
                                               std::shared_ptr<const WhisperTokenizer> tokenizer,
                                               std::shared_ptr<AudioProcessing> audioProcessor, DecodingOptions decodingOptions,
                                               std::int64_t requiredSegmentsForConfirmation, float silenceThreshold,
                                               std::int64_t compressionCheckWindow, bool useVAD,
                                               std::optional<AudioDeviceID> inputDeviceID, StateChangeCallback stateChangeCallback)
    : impl_(std::make_shared<Impl>()) {
    impl_->audioProcessor = audioProcessor ? std::move(audioProcessor) : std::make_shared<AudioProcessor>();
    impl_->decodingOptions = std::move(decodingOptions);
    impl_->requiredSegmentsForConfirmation = requiredSegmentsForConfirmation;
    impl_->silenceThreshold = silenceThreshold;
    impl_->compressionCheckWindow = compressionCheckWindow;
    impl_->useVAD = useVAD;
    impl_->inputDeviceID = inputDeviceID;
    impl_->stateChangeCallback = std::move(stateChangeCallback);
    impl_->transcribeTask = std::make_unique<TranscribeTask>(TranscriptionTimings{}, std::make_shared<darori::Progress>(),
                                                             impl_->audioProcessor, std::move(audioEncoder),
                                                             std::move(featureExtractor), std::move(segmentSeeker),
                                                             std::move(textDecoder), std::move(tokenizer));
}

AudioStreamTranscriber::~AudioStreamTranscriber() = default;

void AudioStreamTranscriber::startStreamTranscription() { impl_->start(); }

void AudioStreamTranscriber::stopStreamTranscription() { impl_->stop(); }

void AudioStreamTranscriber::Impl::start() {
    {
        std::lock_guard lock(actor);
        if (state.isRecording || loopRunning) return;
        loopRunning = true;
    }
    struct LoopEnd {
        Impl& self;
        ~LoopEnd() {
            std::lock_guard lock(self.actor);
            self.loopRunning = false;
        }
    } loopEnd{*this};

    auto* processor = dynamic_cast<AudioProcessor*>(audioProcessor.get());
    if (processor && !processor->requestRecordPermission()) {
        Logging::error("Microphone access was not granted.");
        return;
    }
    // A new recording starts from nothing: its samples start again at zero.
    purgedSamples = 0;
    update([](State& s) {
        s = State{};
        s.isRecording = true;
    });

    std::weak_ptr<Impl> weak = weak_from_this();
    try {
        audioProcessor->startRecordingLive(inputDeviceID, [weak](const std::vector<float>&) {
            auto self = weak.lock();
            if (!self) return;
            self->energyUpdates.post([weak] {
                if (auto transcriber = weak.lock())
                    transcriber->update([&](State& s) { s.bufferEnergy = transcriber->audioProcessor->relativeEnergy(); });
            });
        });
    } catch (...) {
        update([](State& s) { s.isRecording = false; });
        throw;
    }
    Logging::info("Realtime transcription has started");

    while (recording) {
        try {
            transcribeCurrentBuffer();
        } catch (...) {
            Logging::error("Error: " + darori::describeError(std::current_exception()));
            stop();
            break;
        }
    }
}

void AudioStreamTranscriber::Impl::stop() {
    update([](State& s) { s.isRecording = false; });
    audioProcessor->stopRecording();
    Logging::info("Realtime transcription has ended");
    {
        std::lock_guard lock(wakeMutex);
    }
    wake.notify_all();
}

// Waits 100 ms, less when recording stops; throws when the loop's task is cancelled.
void AudioStreamTranscriber::Impl::pause() {
    cancellation::checkCancellation();
    std::unique_lock lock(wakeMutex);
    wake.wait_for(lock, cancellation::currentStopToken(), std::chrono::milliseconds(100), [&] { return !recording.load(); });
    lock.unlock();
    cancellation::checkCancellation();
}

void AudioStreamTranscriber::Impl::transcribeCurrentBuffer() {
    const std::vector<float> buffer = audioProcessor->audioSamples();
    const std::int64_t recorded = purgedSamples + static_cast<std::int64_t>(buffer.size());
    const float newSeconds = static_cast<float>(static_cast<double>(recorded - snapshot().lastBufferSize) / SAMPLE_RATE);
    if (newSeconds <= 1.0f) {
        showWaiting();
        pause();
        return;
    }
    if (useVAD && !AudioProcessor::isVoiceDetected(audioProcessor->relativeEnergy(), newSeconds, silenceThreshold)) {
        Logging::debug("No voice detected, skipping transcribe");
        showWaiting();
        pause();
        return;
    }
    update([&](State& s) { s.lastBufferSize = recorded; });

    const auto result = transcribeAudioSamples(buffer);

    // The task's times count from the processor's first sample; the state's from the recording's.
    const float offset = static_cast<float>(static_cast<double>(purgedSamples) / SAMPLE_RATE);
    std::vector<TranscriptionSegment> segments = result->segments();
    for (auto& segment : segments) {
        segment.seek += purgedSamples;
        segment.start += offset;
        segment.end += offset;
        if (segment.words)
            for (auto& word : *segment.words) {
                word.start += offset;
                word.end += offset;
            }
    }

    const auto k = static_cast<size_t>(std::max<std::int64_t>(requiredSegmentsForConfirmation, 0));
    float confirmedEnd = 0;
    update([&](State& s) {
        s.currentText.clear();
        s.unconfirmedText.clear();
        if (segments.size() <= k) {
            s.unconfirmedSegments = segments;
        } else {
            const std::vector<TranscriptionSegment> toConfirm(segments.begin(), segments.end() - static_cast<std::ptrdiff_t>(k));
            std::vector<TranscriptionSegment> remaining(segments.end() - static_cast<std::ptrdiff_t>(k), segments.end());
            if (toConfirm.back().end > s.lastConfirmedSegmentEndSeconds) {
                s.lastConfirmedSegmentEndSeconds = toConfirm.back().end;
                const bool present = std::search(s.confirmedSegments.begin(), s.confirmedSegments.end(), toConfirm.begin(),
                                                 toConfirm.end()) != s.confirmedSegments.end();
                if (!present) s.confirmedSegments.insert(s.confirmedSegments.end(), toConfirm.begin(), toConfirm.end());
            }
            s.unconfirmedSegments = std::move(remaining);
        }
        confirmedEnd = s.lastConfirmedSegmentEndSeconds;
    });

    // Audio before the last confirmed end is never decoded again: let it go, so that a long
    // recording does not keep all its samples.
    const auto confirmedSample = static_cast<std::int64_t>(static_cast<double>(confirmedEnd) * SAMPLE_RATE);
    const std::int64_t drop = std::clamp<std::int64_t>(confirmedSample - purgedSamples, 0, static_cast<std::int64_t>(buffer.size()));
    if (drop > 0) {
        audioProcessor->dropAudioSamples(drop);
        purgedSamples += drop;
    }
}

std::shared_ptr<TranscriptionResult> AudioStreamTranscriber::Impl::transcribeAudioSamples(const std::vector<float>& samples) {
    DecodingOptions options = decodingOptions;
    const double start = static_cast<double>(snapshot().lastConfirmedSegmentEndSeconds) - static_cast<double>(purgedSamples) / SAMPLE_RATE;
    options.clipTimestamps = {static_cast<float>(std::max(start, 0.0))};
    std::weak_ptr<Impl> weak = weak_from_this();
    const std::int64_t window = compressionCheckWindow;
    return transcribeTask->run(samples, options, [weak, options, window](const TranscriptionProgress& progress) {
        if (auto self = weak.lock()) self->onProgressCallback(progress);
        return AudioStreamTranscriber::shouldStopEarly(progress, options, window);
    });
}

void AudioStreamTranscriber::Impl::onProgressCallback(const TranscriptionProgress& progress) {
    const auto fallbacks = static_cast<std::int64_t>(progress.timings.totalDecodingFallbacks);
    const std::string& text = progress.text;
    update([&](State& s) {
        if (unicode::characterCount(text) < unicode::characterCount(s.currentText)) {
            if (fallbacks == s.currentFallbacks)
                s.unconfirmedText.push_back(s.currentText);  // a new window has begun
            else
                Logging::info("Fallback occured: " + std::to_string(fallbacks));
        }
        s.currentText = text;
        s.currentFallbacks = fallbacks;
    });
}

std::optional<bool> AudioStreamTranscriber::shouldStopEarly(const TranscriptionProgress& progress, const DecodingOptions& options,
                                                            std::int64_t compressionCheckWindow) {
    if (compressionCheckWindow > 0 && options.compressionRatioThreshold &&
        static_cast<std::int64_t>(progress.tokens.size()) > compressionCheckWindow) {
        const std::vector<std::int64_t> recent(progress.tokens.end() - compressionCheckWindow, progress.tokens.end());
        if (TextUtilities::compressionRatio(recent) > *options.compressionRatioThreshold) return false;
    }
    if (progress.avgLogprob && options.logProbThreshold && *progress.avgLogprob < *options.logProbThreshold) return false;
    return std::nullopt;
}

}  // namespace zadezariro

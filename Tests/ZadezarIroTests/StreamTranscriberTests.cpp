// The stream transcriber on the simulated audio system and scripted test models: confirmed and
// unconfirmed segments, the capture let go behind the confirmed end, early stops, stop and a clean
// new start, refused access and failed starts.
#include "ZadezarIro/Core/Audio/AudioStreamTranscriber.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "AudioInput/TestAudioSystem.hpp"
#include "TranscribeTestSupport.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;
using StreamState = AudioStreamTranscriber::State;

namespace {

// Three segments per window: 0-0.5, 0.5-1 and 1-1.5 s; the next window starts 1.5 s on.
std::vector<int64_t> counting() { return script({0.0, " One.", 0.5, 0.5, " Two.", 1.0, 1.0, " Three.", 1.5}); }

// The same word sixty times.
std::vector<int64_t> repetitive() {
    std::vector<int64_t> ids{timestamp(0.0)};
    for (int i = 0; i < 60; ++i) ids.push_back(words(" la")[0]);
    ids.push_back(timestamp(5.0));
    return ids;
}

// Every state the transcriber reports, and a wait for one that satisfies a condition.
class StateLog {
public:
    AudioStreamTranscriber::StateChangeCallback callback() {
        return [this](const StreamState&, const StreamState& next) {
            std::lock_guard lock(mutex_);
            latest_ = next;
            ++changes_;
            changed_.notify_all();
        };
    }
    // The first reported state (from now on, or the latest) for which `condition` holds. The time
    // limit only turns a missing event into a failure instead of a hang.
    StreamState waitFor(const std::function<bool(const StreamState&)>& condition) {
        std::unique_lock lock(mutex_);
        const bool met = changed_.wait_for(lock, std::chrono::seconds(60), [&] { return condition(latest_); });
        EXPECT_TRUE(met) << "the state never reached the awaited condition";
        return latest_;
    }
    StreamState latest() {
        std::lock_guard lock(mutex_);
        return latest_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    StreamState latest_;
    int changes_ = 0;
};

// A microphone on the simulated audio system, 16 kHz mono, and the transcriber's loop on a thread.
struct StreamFixture {
    std::shared_ptr<audioinput::TestAudioSystem> system = std::make_shared<audioinput::TestAudioSystem>();
    std::shared_ptr<AudioProcessor> processor;
    StateLog states;
    std::unique_ptr<AudioStreamTranscriber> transcriber;
    std::thread loop;

    StreamFixture(const std::vector<int64_t>& script, DecodingOptions options, int64_t compressionCheckWindow = 60) {
        system->addDevice("Mic", {16000, 1});
        processor = std::make_shared<AudioProcessor>(system);
        auto engine = scriptedEngine(script);
        transcriber = std::make_unique<AudioStreamTranscriber>(engine.encoder, engine.extractor, engine.seeker, engine.decoder,
                                                               engine.tokenizer, processor, options, 2, 0.3f,
                                                               compressionCheckWindow, false, std::nullopt, states.callback());
    }
    ~StreamFixture() {
        if (loop.joinable()) {
            transcriber->stopStreamTranscription();
            loop.join();
        }
    }
    void start() {
        loop = std::thread([this] { transcriber->startStreamTranscription(); });
        // The loop shows this once capture runs (a new recording starts with no text).
        states.waitFor([](const StreamState& s) { return s.isRecording && s.currentText == "Waiting for speech..."; });
    }
    void stop() {
        transcriber->stopStreamTranscription();
        loop.join();
    }
    // 1.1 s of silence (the scripted decoder speaks whatever it hears) in buffers of 0.1 s.
    void playMoreThanASecond() { system->play(std::vector<float>(17600, 0.0f)); }
};

std::vector<std::pair<float, float>> times(const std::vector<TranscriptionSegment>& segments) {
    std::vector<std::pair<float, float>> out;
    for (const auto& s : segments) out.emplace_back(s.start, s.end);
    return out;
}

using Times = std::vector<std::pair<float, float>>;

}  // namespace

TEST(StreamTranscriber, PassesConfirmAllButTheNewestSegmentsAndLetTheirAudioGo) {
    StreamFixture f(counting(), DecodingOptions::make({.topK = 1}));
    f.start();
    EXPECT_EQ(f.states.latest().lastBufferSize, 0);

    // First pass over 1.1 s: three segments, the first confirmed.
    f.playMoreThanASecond();
    auto state = f.states.waitFor([](const StreamState& s) { return !s.unconfirmedSegments.empty(); });
    EXPECT_EQ(state.lastBufferSize, 17600);
    EXPECT_EQ(times(state.confirmedSegments), (Times{{0.f, 0.5f}}));
    EXPECT_EQ(times(state.unconfirmedSegments), (Times{{0.5f, 1.f}, {1.f, 1.5f}}));
    EXPECT_EQ(state.confirmedSegments[0].text, "<|startoftranscript|><|0.00|> One.<|0.50|>");
    EXPECT_FLOAT_EQ(state.lastConfirmedSegmentEndSeconds, 0.5f);
    EXPECT_TRUE(state.currentText.empty() || state.currentText == "Waiting for speech...");

    // The second pass starts at the confirmed end, 0.5 s into the recording.
    f.playMoreThanASecond();
    state = f.states.waitFor([](const StreamState& s) { return s.confirmedSegments.size() == 2; });
    EXPECT_EQ(state.lastBufferSize, 35200);
    EXPECT_EQ(times(state.confirmedSegments), (Times{{0.f, 0.5f}, {0.5f, 1.f}}));
    EXPECT_EQ(state.confirmedSegments[1].seek, 8000);
    EXPECT_EQ(times(state.unconfirmedSegments), (Times{{1.f, 1.5f}, {1.5f, 2.f}}));
    EXPECT_FLOAT_EQ(state.lastConfirmedSegmentEndSeconds, 1.0f);
    f.stop();
    // Only the audio after the confirmed end (1 s) is still held.
    EXPECT_EQ(f.processor->audioSamples().size(), 35200u - 16000u);
    EXPECT_FALSE(f.states.latest().isRecording);
    EXPECT_FALSE(f.states.latest().bufferEnergy.empty());
}

TEST(StreamTranscriber, StopThenStartBeginsClean) {
    StreamFixture f(counting(), DecodingOptions::make({.topK = 1}));
    f.start();
    f.playMoreThanASecond();
    f.states.waitFor([](const StreamState& s) { return !s.confirmedSegments.empty(); });
    f.playMoreThanASecond();
    f.states.waitFor([](const StreamState& s) { return s.confirmedSegments.size() == 2; });
    f.stop();
    EXPECT_EQ(f.system->runningEngines(), 0);

    f.start();
    auto state = f.states.latest();
    EXPECT_EQ(state.currentText, "Waiting for speech...");
    EXPECT_TRUE(state.confirmedSegments.empty());
    EXPECT_EQ(state.lastBufferSize, 0);
    EXPECT_EQ(state.lastConfirmedSegmentEndSeconds, 0.0f);
    // The new recording's first second is transcribed from its start.
    f.playMoreThanASecond();
    state = f.states.waitFor([](const StreamState& s) { return !s.unconfirmedSegments.empty(); });
    EXPECT_EQ(state.lastBufferSize, 17600);
    EXPECT_EQ(times(state.confirmedSegments), (Times{{0.f, 0.5f}}));
    EXPECT_EQ(times(state.unconfirmedSegments), (Times{{0.5f, 1.f}, {1.f, 1.5f}}));

    // A second start while recording returns at once.
    f.transcriber->startStreamTranscription();
    EXPECT_TRUE(f.states.latest().isRecording);
    f.stop();
}

TEST(StreamTranscriber, RefusedAccessAndFailedStartsLeaveItIdle) {
    StreamFixture f(counting(), DecodingOptions::make({.topK = 1}));
    f.system->setPermission(false);
    f.transcriber->startStreamTranscription();
    EXPECT_EQ(f.system->permissionRequests(), 1);
    EXPECT_EQ(f.system->runningEngines(), 0);
    EXPECT_FALSE(f.states.latest().isRecording);

    f.system->setPermission(true);
    f.system->failNextStart("device busy");
    EXPECT_THROW(f.transcriber->startStreamTranscription(), audioinput::AudioEngineError);
    EXPECT_FALSE(f.states.latest().isRecording);
}

TEST(StreamTranscriber, EarlyStopOnRepetitionAndNoCheckWithoutAThreshold) {
    struct Case {
        const char* name;
        std::optional<float> threshold;
        bool stopsEarly;
    };
    for (const Case& c : {Case{"threshold 2.4", 2.4f, true}, Case{"no threshold", std::nullopt, false}}) {
        SCOPED_TRACE(c.name);
        // Without the log-probability rule, only repetition can stop a window early.
        StreamFixture f(repetitive(),
                        DecodingOptions::make({.topK = 1, .compressionRatioThreshold = c.threshold, .logProbThreshold = std::nullopt}), 20);
        f.start();
        f.playMoreThanASecond();
        auto state = f.states.waitFor([](const StreamState& s) { return !s.unconfirmedSegments.empty(); });
        f.stop();
        ASSERT_EQ(state.unconfirmedSegments.size(), 1u);
        const auto tokens = state.unconfirmedSegments[0].tokens.size();
        if (c.stopsEarly)
            EXPECT_LT(tokens, 30u) << "stopped once the last 20 tokens repeat";
        else
            EXPECT_GE(tokens, 62u) << "the whole script: start, timestamps and sixty words";
    }

    // The rule itself.
    TranscriptionProgress progress;
    progress.tokens.assign(21, words(" la")[0]);
    progress.avgLogprob = -0.5f;
    const auto defaults = DecodingOptions::make();
    EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(progress, defaults, 20), false);
    EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(progress, defaults, 21), std::nullopt) << "not more tokens than the window";
    EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(progress, DecodingOptions::make({.compressionRatioThreshold = std::nullopt}), 20),
              std::nullopt);
    progress.avgLogprob = -2.0f;
    EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(progress, defaults, 60), false);
    EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(progress, DecodingOptions::make({.logProbThreshold = std::nullopt}), 60),
              std::nullopt);
}

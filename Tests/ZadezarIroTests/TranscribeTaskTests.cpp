// The transcribe task over scripted test models: windows and their segments for recordings of every
// length, tails and short clips, temperature fallback with its counters, window ids, progress, clip
// times, the seek limit, word timings, options out of range and cancellation.
#include "ZadezarIro/Core/TranscribeTask.hpp"

#include <cmath>
#include <limits>
#include <stop_token>
#include <thread>

#include <gtest/gtest.h>

#include "Cancellation/Cancellation.hpp"
#include "TranscribeTestSupport.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;
using mlruntime::MultiArray;

namespace {

// One segment per window, which it consumes whole: "<|0.00|> Hello world.<|1.00|>".
std::vector<int64_t> greeting() { return script({0.0, " Hello world.", 1.0}); }
// Two segments per window, the next window starting at 2.5 s into this one.
std::vector<int64_t> dialogue() { return script({0.0, " Hello world.", 1.0, 1.0, " How are you?", 2.5}); }
// The same word sixty times: a compression ratio far above 2.4.
std::vector<int64_t> repetitiveTokens() {
    std::vector<int64_t> ids{timestamp(0.0)};
    for (int i = 0; i < 60; ++i) ids.push_back(words(" la")[0]);
    ids.push_back(timestamp(5.0));
    return ids;
}

// Records where every window starts and how long it is.
class RecordingTask : public TranscribeTask {
public:
    using TranscribeTask::TranscribeTask;
    std::vector<std::pair<int64_t, int64_t>> windows;  // (seek, segment size)
    void windowPreprocess(const MultiArray& padded, int64_t seek, int64_t segmentSize) override {
        EXPECT_EQ(padded.shape(), (std::vector<int64_t>{480000}));
        windows.emplace_back(seek, segmentSize);
    }
};

std::unique_ptr<RecordingTask> recordingTask(const ScriptedEngine& engine, std::shared_ptr<darori::Progress> progress = nullptr,
                                             std::shared_ptr<SegmentSeeking> seeker = nullptr,
                                             std::shared_ptr<TextDecoding> decoder = nullptr) {
    return std::make_unique<RecordingTask>(TranscriptionTimings{}, std::move(progress), nullptr, engine.encoder, engine.extractor,
                                           seeker ? seeker : engine.seeker, decoder ? decoder : engine.decoder, engine.tokenizer);
}

std::vector<std::pair<float, float>> segmentTimes(const std::vector<TranscriptionSegment>& segments) {
    std::vector<std::pair<float, float>> out;
    for (const auto& s : segments) out.emplace_back(s.start, s.end);
    return out;
}

std::vector<std::pair<int64_t, int64_t>> seconds(std::initializer_list<std::pair<double, double>> ranges) {
    std::vector<std::pair<int64_t, int64_t>> out;
    for (auto [a, b] : ranges) out.emplace_back(std::llround(a * 16000), std::llround(b * 16000));
    return out;
}

std::string repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += (i ? " " : "") + text;
    return out;
}

template <class Body>
void expectTaskError(Body&& body, WhisperError::Kind kind, const std::string& messageStart) {
    try {
        body();
        ADD_FAILURE() << "no error, expected: " << messageStart;
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), kind);
        EXPECT_EQ(error.message().substr(0, messageStart.size()), messageStart) << error.message();
    }
}

// The engine's decoder with a hook on every decoded window.
class HookedDecoder : public TextDecoding {
public:
    explicit HookedDecoder(std::shared_ptr<TextDecoder> inner) : inner_(std::move(inner)) {}
    std::function<void(DecodingInputs&, float temperature)> beforeDecode;
    std::function<void(DecodingResult&, float temperature)> afterDecode;

    std::shared_ptr<const WhisperTokenizer> tokenizer() const override { return inner_->tokenizer(); }
    void setTokenizer(std::shared_ptr<const WhisperTokenizer> t) override { inner_->setTokenizer(std::move(t)); }
    bool isModelMultilingual() const override { return inner_->isModelMultilingual(); }
    void setModelMultilingual(bool m) override { inner_->setModelMultilingual(m); }
    bool supportsWordTimestamps() const override { return inner_->supportsWordTimestamps(); }
    std::optional<int64_t> logitsSize() const override { return inner_->logitsSize(); }
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters() const override { return inner_->logitsFilters(); }
    void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> f) override { inner_->setLogitsFilters(std::move(f)); }
    std::optional<int64_t> kvCacheEmbedDim() const override { return inner_->kvCacheEmbedDim(); }
    std::optional<int64_t> kvCacheMaxSequenceLength() const override { return inner_->kvCacheMaxSequenceLength(); }
    std::optional<int64_t> windowSize() const override { return inner_->windowSize(); }
    std::optional<int64_t> embedSize() const override { return inner_->embedSize(); }
    std::unique_ptr<TextDecoderOutputType> predictLogits(const TextDecoderInputType& input) override { return inner_->predictLogits(input); }
    DecodingInputs prepareDecoderInputs(const std::vector<int64_t>& prompt) override { return inner_->prepareDecoderInputs(prompt); }
    DecodingInputsType& prefillDecoderInputs(DecodingInputsType& inputs, const std::optional<DecodingOptions>& options) override {
        return inner_->prefillDecoderInputs(inputs, options);
    }
    DecodingResult decodeText(const MultiArray& encoderOutput, DecodingInputsType& inputs, TokenSampling& sampler,
                              const DecodingOptions& options, const DecodingProgressCallback& callback) override {
        const float temperature = dynamic_cast<GreedyTokenSampler&>(sampler).temperature.toFloat();
        if (beforeDecode) beforeDecode(dynamic_cast<DecodingInputs&>(inputs), temperature);
        auto result = inner_->decodeText(encoderOutput, inputs, sampler, options, callback);
        if (afterDecode) afterDecode(result, temperature);
        return result;
    }
    DecodingResult detectLanguage(const MultiArray& encoderOutput, DecodingInputsType& inputs, TokenSampling& sampler,
                                  const DecodingOptions& options, mlruntime::Half temperature) override {
        return inner_->detectLanguage(encoderOutput, inputs, sampler, options, temperature);
    }

private:
    std::shared_ptr<TextDecoder> inner_;
};

// The engine's seeker, with its answers changed by a hook.
class HookedSeeker : public SegmentSeeker {
public:
    std::function<void(int64_t& nextSeek, std::optional<std::vector<TranscriptionSegment>>& segments)> hook;
    std::pair<int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
        const DecodingResult& result, const DecodingOptions& options, int64_t count, int64_t seek, int64_t size, int64_t rate,
        int64_t timeToken, int64_t specialToken, const WhisperTokenizer& tokenizer) override {
        auto answer = SegmentSeeker::findSeekPointAndSegments(result, options, count, seek, size, rate, timeToken, specialToken, tokenizer);
        if (hook) hook(answer.first, answer.second);
        return answer;
    }
};

}  // namespace

TEST(TranscribeTask, RecordingsOfEveryLengthGiveTheScriptedSegments) {
    struct Case {
        const char* name;
        std::vector<int64_t> script;
        double seconds;
        std::vector<std::pair<int64_t, int64_t>> windows;
        std::vector<std::pair<float, float>> segments;
        std::string text;
    };
    const std::vector<Case> cases = {
        // Shorter than the one-second clip margin: still one window.
        {"half a second", greeting(), 0.5, seconds({{0, 0.5}}), {{0.f, 1.f}}, "Hello world."},
        // Each window starts where the one before it ended its last segment.
        {"five seconds", dialogue(), 5.0, seconds({{0, 5}, {2.5, 2.5}}), {{0.f, 1.f}, {1.f, 2.5f}, {2.5f, 3.5f}, {3.5f, 5.f}},
         "Hello world. How are you? Hello world. How are you?"},
        {"45 seconds", greeting(), 45.0, seconds({{0, 30}, {30, 15}}), {{0.f, 1.f}, {30.f, 31.f}}, repeated("Hello world.", 2)},
        {"three minutes", greeting(), 180.0, seconds({{0, 30}, {30, 30}, {60, 30}, {90, 30}, {120, 30}, {150, 30}}),
         {{0.f, 1.f}, {30.f, 31.f}, {60.f, 61.f}, {90.f, 91.f}, {120.f, 121.f}, {150.f, 151.f}}, repeated("Hello world.", 6)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto engine = scriptedEngine(c.script);
        auto progress = std::make_shared<darori::Progress>();
        auto task = recordingTask(engine, progress);
        std::vector<std::vector<TranscriptionSegment>> told;
        task->setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>& s) { told.push_back(s); });
        const auto samples = tone(c.seconds);
        auto result = task->run(samples, DecodingOptions::make({.topK = 1}));

        EXPECT_EQ(task->windows, c.windows);
        const auto segments = result->segments();
        EXPECT_EQ(segmentTimes(segments), c.segments);
        EXPECT_EQ(result->text(), c.text);
        EXPECT_EQ(result->language(), "en");
        for (size_t i = 0; i < segments.size(); ++i) EXPECT_EQ(segments[i].id, static_cast<int64_t>(i));
        EXPECT_EQ(told.size(), c.windows.size()) << "the segment callback hears every window";
        const auto timings = result->timings();
        EXPECT_EQ(timings.totalDecodingWindows, static_cast<double>(c.windows.size()));
        EXPECT_EQ(timings.totalEncodingRuns, static_cast<double>(c.windows.size()));
        EXPECT_EQ(timings.totalDecodingFallbacks, 0.0);
        EXPECT_DOUBLE_EQ(timings.inputAudioSeconds, c.seconds);
        EXPECT_GT(timings.fullPipeline, 0.0);
        EXPECT_EQ(progress->totalUnitCount(), static_cast<int64_t>(samples.size()));
        EXPECT_EQ(progress->completedUnitCount(), progress->totalUnitCount());
    }
}

TEST(TranscribeTask, ShortClipsAndSpokenTailsAreTranscribedSilentTailsSkipped) {
    auto engine = scriptedEngine(greeting());
    auto withSilence = [](double voiced, double silent) {
        auto samples = tone(voiced);
        samples.resize(samples.size() + static_cast<size_t>(std::llround(silent * 16000)), 0.0f);
        return samples;
    };
    struct Case {
        const char* name;
        std::vector<float> samples;
        std::vector<std::pair<int64_t, int64_t>> windows;
    };
    const std::vector<Case> cases = {
        {"empty", {}, {}},
        {"one sample", tone(1.0 / 16000), {{0, 1}}},
        {"exactly the margin", tone(1.0), {{0, 16000}}},
        {"silent second", std::vector<float>(16000, 0.0f), {{0, 16000}}},
        {"one past the margin", tone(16001.0 / 16000), {{0, 16001}}},
        // The last 0.9 s after a full window: decoded when voiced, skipped when silent.
        {"spoken tail", tone(30.9), seconds({{0, 30}, {30, 0.9}})},
        {"silent tail", withSilence(30.0, 0.9), seconds({{0, 30}})},
        {"spoken tail after a silent stretch", [&] {
             auto s = withSilence(30.0, 0.5);
             auto t = tone(0.4);
             s.insert(s.end(), t.begin(), t.end());
             return s;
         }(),
         seconds({{0, 30}, {30, 0.9}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto task = recordingTask(engine);
        auto result = task->run(c.samples, DecodingOptions::make({.topK = 1}));
        EXPECT_EQ(task->windows, c.windows);
        EXPECT_EQ(result->segments().size(), c.windows.size());
        if (c.windows.empty()) {
            EXPECT_EQ(result->text(), "");
            EXPECT_EQ(result->language(), "en");
        }
    }
}

TEST(TranscribeTask, RepetitiveWindowsFallBackThroughTheWholeScheduleAndTheCountAddsUp) {
    auto engine = scriptedEngine(repetitiveTokens());
    LogCapture log(darori::Logging::LogLevel::info);
    std::vector<TranscriptionProgress> reports;
    auto task = recordingTask(engine);
    auto result = task->run(tone(45.0), DecodingOptions::make({.topK = 1}), [&](const TranscriptionProgress& p) {
        reports.push_back(p);
        return std::nullopt;
    });

    std::vector<std::string> temperatures, fallbacks;
    for (const auto& line : log.lines) {
        if (line.find("Decoding Temperature: ") != std::string::npos) temperatures.push_back(line.substr(line.find(": ") + 2));
        if (line.find("Fallback #") != std::string::npos) fallbacks.push_back(line.substr(line.find("Fallback #")));
    }
    // The shortest texts of the 16-bit values 0, 0.19995117, 0.39990234, 0.5996094, 0.7998047 and 1.
    const std::vector<std::string> schedule = {"0.0", "0.2", "0.4", "0.5996", "0.8", "1.0"};
    std::vector<std::string> twice = schedule;
    twice.insert(twice.end(), schedule.begin(), schedule.end());
    EXPECT_EQ(temperatures, twice);
    ASSERT_EQ(fallbacks.size(), 12u);
    EXPECT_EQ(fallbacks[0], "Fallback #1 (compressionRatioThreshold)");
    EXPECT_EQ(fallbacks[5], "Fallback #6 (compressionRatioThreshold)");

    // Every attempt asked for a retry: the last one's segments are kept.
    const auto segments = result->segments();
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_EQ(segments[0].temperature, 1.0f);
    EXPECT_GT(segments[0].compressionRatio, 2.4f);
    const auto timings = result->timings();
    EXPECT_EQ(timings.totalDecodingFallbacks, 10.0) << "five retries per window";
    EXPECT_EQ(timings.totalDecodingWindows, 2.0);
    EXPECT_GT(timings.decodingFallback, 0.0);

    // Window ids stay the window's place in the run; reports count the run's fallbacks so far.
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().windowId, 0);
    EXPECT_EQ(reports.back().windowId, 1);
    for (const auto& r : reports) EXPECT_GE(r.windowId, 0);
    EXPECT_EQ(reports.front().timings.totalDecodingFallbacks, 0.0);
    EXPECT_EQ(reports.back().timings.totalDecodingFallbacks, 10.0);
}

TEST(TranscribeTask, FallbackStopsAtTheFirstAcceptedTemperature) {
    struct Case {
        const char* name;
        float failBelow;  // attempts at lower temperatures ask for a retry
        int64_t fallbackCount;
        std::vector<float> attempts;
        double fallbacks;
        float keptTemperature;
    };
    const std::vector<Case> cases = {
        {"accepted at once", 0.0f, 5, {0.0f}, 0, 0.0f},
        {"fourth temperature", 0.5f, 5, {0.0f, 0.19995117f, 0.39990234f, 0.5996094f}, 3, 0.6f},
        {"no fallback allowed", 0.5f, 0, {0.0f}, 0, 0.0f},
    };
    auto engine = scriptedEngine(greeting());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto decoder = std::make_shared<HookedDecoder>(engine.decoder);
        std::vector<float> attempts;
        std::vector<float> cacheLengthsAtStart;
        decoder->beforeDecode = [&](DecodingInputs& inputs, float) { cacheLengthsAtStart.push_back(inputs.cacheLength().toFloats()[0]); };
        decoder->afterDecode = [&](DecodingResult& result, float temperature) {
            attempts.push_back(temperature);
            if (temperature < c.failBelow) result.fallback = DecodingFallback{true, "logProbThreshold"};
        };
        auto task = recordingTask(engine, nullptr, nullptr, decoder);
        auto result = task->run(tone(5.0), DecodingOptions::make({.temperatureFallbackCount = c.fallbackCount, .topK = 1}));
        EXPECT_EQ(attempts, c.attempts);
        EXPECT_EQ(result->timings().totalDecodingFallbacks, c.fallbacks);
        ASSERT_EQ(result->segments().size(), 1u);
        EXPECT_EQ(result->segments()[0].temperature, c.keptTemperature);
        for (float length : cacheLengthsAtStart) EXPECT_EQ(length, 0.0f) << "every attempt starts from reset inputs";
    }
}

TEST(TranscribeTask, WindowsWithoutSegmentsAndSeekersThatStandStill) {
    auto engine = scriptedEngine(greeting());
    auto seeker = std::make_shared<HookedSeeker>();
    int calls = 0;
    // The first window is silence; every answer points back at the window's own start or before it.
    seeker->hook = [&](int64_t& next, std::optional<std::vector<TranscriptionSegment>>& segments) {
        if (calls++ == 0) segments.reset();
        next = 0;
    };
    auto decoder = std::make_shared<HookedDecoder>(engine.decoder);
    std::vector<std::vector<float>> paddingAtStart;
    decoder->beforeDecode = [&](DecodingInputs& inputs, float) {
        auto mask = inputs.decoderKeyPaddingMask().toFloats();
        paddingAtStart.emplace_back(mask.begin(), mask.begin() + 20);
    };
    auto task = recordingTask(engine, nullptr, seeker, decoder);
    int told = 0;
    task->setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>&) { ++told; });
    auto result = task->run(tone(45.0), DecodingOptions::make({.topK = 1}));

    EXPECT_EQ(task->windows, seconds({{0, 30}, {30, 15}})) << "a seek that does not advance moves one window on";
    EXPECT_EQ(segmentTimes(result->segments()), (std::vector<std::pair<float, float>>{{30.f, 31.f}}));
    EXPECT_EQ(told, 1) << "no callback for the silent window";
    EXPECT_EQ(result->timings().totalDecodingWindows, 1.0);
    ASSERT_EQ(paddingAtStart.size(), 2u);
    EXPECT_EQ(paddingAtStart[1], paddingAtStart[0]) << "the window after a silent one decodes from reset inputs";
    EXPECT_EQ(paddingAtStart[1][5], -10000.0f);
}

TEST(TranscribeTask, ClipTimesMaxWindowSeekAndProgress) {
    auto engine = scriptedEngine(greeting());
    struct Case {
        const char* name;
        double seconds;
        DecodingOptions options;
        std::vector<std::pair<int64_t, int64_t>> windows;
        std::vector<std::pair<float, float>> segments;
        int64_t progressTotal;
        double inputSeconds;
    };
    const std::vector<Case> cases = {
        {"one clip", 60, DecodingOptions::make({.topK = 1, .clipTimestamps = {10, 20}}), seconds({{10, 10}}), {{10.f, 11.f}}, 160000, 50},
        {"two clips", 60, DecodingOptions::make({.topK = 1, .clipTimestamps = {0, 5, 40, 45}}), seconds({{0, 5}, {40, 5}}),
         {{0.f, 1.f}, {40.f, 41.f}}, 160000, 60},
        {"open clip", 45, DecodingOptions::make({.topK = 1, .clipTimestamps = {20}}), seconds({{20, 25}}), {{20.f, 21.f}}, 400000, 25},
        // Times outside the recording are clamped to it.
        {"clip past the end", 30, DecodingOptions::make({.topK = 1, .clipTimestamps = {25, 70}}), seconds({{25, 5}}), {{25.f, 26.f}}, 80000, 5},
        {"negative start", 5, DecodingOptions::make({.topK = 1, .clipTimestamps = {-3, 2}}), seconds({{0, 2}}), {{0.f, 1.f}}, 32000, 5},
        {"start past the end", 5, DecodingOptions::make({.topK = 1, .clipTimestamps = {100}}), {}, {}, 0, 0},
        {"end before start", 5, DecodingOptions::make({.topK = 1, .clipTimestamps = {4, 2}}), {}, {}, 0, 1},
        // At most 10 s forward per window, though each window's segment says 30 s.
        {"max window seek", 45, DecodingOptions::make({.topK = 1, .maxWindowSeek = 160000}),
         seconds({{0, 30}, {10, 30}, {20, 25}, {30, 15}, {40, 5}}), {{0.f, 1.f}, {10.f, 11.f}, {20.f, 21.f}, {30.f, 31.f}, {40.f, 41.f}},
         720000, 45},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto progress = std::make_shared<darori::Progress>();
        auto task = recordingTask(engine, progress);
        std::vector<int64_t> completedBefore;
        task->setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>&) { completedBefore.push_back(progress->completedUnitCount()); });
        auto result = task->run(tone(c.seconds), c.options);
        EXPECT_EQ(task->windows, c.windows);
        EXPECT_EQ(segmentTimes(result->segments()), c.segments);
        EXPECT_EQ(progress->totalUnitCount(), c.progressTotal);
        EXPECT_EQ(progress->completedUnitCount(), c.progressTotal);
        for (auto done : completedBefore) EXPECT_LE(done, c.progressTotal);
        EXPECT_NEAR(result->timings().inputAudioSeconds, c.inputSeconds, 1e-6);
    }

    // A task run a second time counts its progress from zero again.
    auto progress = std::make_shared<darori::Progress>();
    auto task = recordingTask(engine, progress);
    std::vector<int64_t> completedBefore;
    task->setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>&) { completedBefore.push_back(progress->completedUnitCount()); });
    task->run(tone(45), DecodingOptions::make({.topK = 1}));
    completedBefore.clear();
    task->run(tone(45), DecodingOptions::make({.topK = 1}));
    EXPECT_EQ(completedBefore, (std::vector<int64_t>{0, 480000}));
}

TEST(TranscribeTask, OptionsOutOfRangeAreRefused) {
    auto engine = scriptedEngine(greeting());
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    for (float clip : {-1.0f, nan, inf})
        expectTaskError([&] { engine.task()->run(tone(2), DecodingOptions::make({.windowClipTime = clip})); },
                           WhisperError::Kind::transcriptionFailed, "Window clip time must be a finite, non-negative number");
    for (int64_t limit : {0, -160000})
        expectTaskError([&] { engine.task()->run(tone(2), DecodingOptions::make({.maxWindowSeek = limit})); },
                           WhisperError::Kind::transcriptionFailed, "Max window seek must be at least 1 sample");
    expectTaskError([&] { engine.task()->run(tone(2), DecodingOptions::make({.temperatureFallbackCount = -1})); },
                       WhisperError::Kind::decodingFailed, "Decoding failed");
    // A huge margin leaves the first window of each clip and the voiced rest.
    auto task = recordingTask(engine);
    task->run(tone(45), DecodingOptions::make({.topK = 1, .windowClipTime = 1e30f}));
    EXPECT_EQ(task->windows, seconds({{0, 30}, {30, 15}}));
}

TEST(TranscribeTask, WordTimestampsTimeTheScriptedWords) {
    auto engine = scriptedEngine(greeting());
    auto task = recordingTask(engine);
    auto result = task->run(tone(5), DecodingOptions::make({.topK = 1, .wordTimestamps = true}));
    const auto segments = result->segments();
    ASSERT_EQ(segments.size(), 1u);
    ASSERT_TRUE(segments[0].words);
    std::string joined;
    for (const auto& w : *segments[0].words) {
        joined += w.word;
        EXPECT_LE(w.start, w.end);
        EXPECT_GE(w.start, 0.0f);
    }
    EXPECT_EQ(joined, " Hello world.");
    EXPECT_EQ(result->timings().totalTimestampAlignmentRuns, 1.0);
}

TEST(TranscribeTask, CancellationStopsWithinOneTokenStep) {
    auto engine = scriptedEngine(repetitiveTokens());
    std::stop_source source;
    int reports = 0;
    bool cancelled = false;
    std::thread worker([&] {
        cancellation::CancellationScope scope(source.get_token());
        try {
            engine.task()->run(tone(45), DecodingOptions::make({.topK = 1}), [&](const TranscriptionProgress&) {
                if (++reports == 3) source.request_stop();
                return std::nullopt;
            });
        } catch (const cancellation::CancellationError&) {
            cancelled = true;
        }
    });
    worker.join();
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(reports, 3) << "no token is decoded after the request";

    // Cancelled before it starts: no window is decoded.
    std::stop_source early;
    early.request_stop();
    cancellation::CancellationScope scope(early.get_token());
    auto task = recordingTask(engine);
    EXPECT_THROW(task->run(tone(5)), cancellation::CancellationError);
    EXPECT_EQ(task->windows.size(), 1u) << "stopped after the window's audio step";
}

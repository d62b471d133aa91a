// The facade's array transcription: one array directly or cut at silences into concurrent chunks,
// several arrays in batches, failures per array, segment reports on the caller's timeline, and
// cancellation of the calling task.
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <stop_token>
#include <thread>

#include <gtest/gtest.h>

#include "Cancellation/Cancellation.hpp"
#include "DaroriCore/ConcurrencyUtilities.hpp"
#include "FacadeTestSupport.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;
namespace fs = std::filesystem;

namespace {

constexpr float FAILING_MARKER = 0.25f;

// The mel component, counting its windows; a window whose first sample is FAILING_MARKER fails.
class CountingExtractor : public FeatureExtractor {
public:
    std::optional<mlruntime::MultiArray> logMelSpectrogram(const mlruntime::MultiArray& audio) override {
        ++windows;
        if (audio.typedData<float>()[0] == FAILING_MARKER) throw WhisperError::audioProcessingFailed("unreadable array");
        return FeatureExtractor::logMelSpectrogram(audio);
    }
    std::atomic<int> windows{0};
};

// Collects segment reports from any thread.
struct SegmentLog {
    std::mutex mutex;
    std::vector<std::vector<TranscriptionSegment>> reports;
    SegmentDiscoveryCallback callback() {
        return [this](const std::vector<TranscriptionSegment>& segments) {
            std::lock_guard lock(mutex);
            reports.push_back(segments);
        };
    }
    std::vector<float> starts() {
        std::lock_guard lock(mutex);
        std::vector<float> all;
        for (const auto& report : reports)
            for (const auto& segment : report) all.push_back(segment.start);
        std::sort(all.begin(), all.end());
        return all;
    }
};

struct Facade {
    std::shared_ptr<CountingExtractor> extractor = std::make_shared<CountingExtractor>();
    std::shared_ptr<ZadezarIro> engine;
    explicit Facade(ZadezarIroConfig config = localConfig()) {
        config.featureExtractor = extractor;
        engine = ZadezarIro::create(config);
    }
};

// 34 s: speech-like tone with a short pause and a longer one at 19-22 s, where a chunk is cut.
std::vector<float> longRecording() { return concat({toneSamples(10), silence(1), toneSamples(8), silence(3), toneSamples(12)}); }

DecodingOptions vadOptions(std::int64_t workers) {
    return DecodingOptions::make({.concurrentWorkerCount = workers, .chunkingStrategy = ChunkingStrategy::vad});
}

std::vector<std::pair<std::string, std::vector<std::pair<float, float>>>> summary(const TranscriptionResults& results) {
    std::vector<std::pair<std::string, std::vector<std::pair<float, float>>>> out;
    for (const auto& result : results) {
        std::vector<std::pair<float, float>> times;
        for (const auto& segment : result->segments()) times.emplace_back(segment.start, segment.end);
        out.emplace_back(result->text(), times);
    }
    return out;
}

bool isCancellation(const TranscriptionOutcome& outcome) {
    const auto* error = std::get_if<std::exception_ptr>(&outcome);
    if (!error) return false;
    try {
        std::rethrow_exception(*error);
    } catch (const cancellation::CancellationError&) {
        return true;
    } catch (...) {
        return false;
    }
}

// Exposes the batch runner.
struct BatchRunner : ZadezarIro {
    using ZadezarIro::runInBatches;
};

}  // namespace

TEST(ArrayTranscription, AShortArrayOnAPrewarmedFacadeLoadsThenGivesTheScriptedText) {
    auto config = localConfig();
    config.prewarm = true;
    config.load = false;
    Facade facade(config);
    ASSERT_EQ(facade.engine->modelState(), darori::ModelState::prewarmed);

    SegmentLog given, instance;
    facade.engine->setSegmentDiscoveryCallback(instance.callback());
    // The offset places the array 5 s into the caller's audio for the reports only.
    const auto results = facade.engine->transcribe(toneSamples(2), 80000, std::nullopt, nullptr, given.callback());
    EXPECT_EQ(facade.engine->modelState(), darori::ModelState::loaded);
    EXPECT_EQ(facade.engine->progress()->totalUnitCount(), 0) << "a finished progress is replaced by a fresh one";
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]->text(), "Hello world.");
    ASSERT_EQ(results[0]->segments().size(), 1u);
    EXPECT_FLOAT_EQ(results[0]->segments()[0].start, 0.0f);
    EXPECT_FLOAT_EQ(results[0]->segments()[0].end, 1.0f);

    ASSERT_EQ(given.reports.size(), 1u);
    EXPECT_FLOAT_EQ(given.reports[0][0].start, 5.0f);
    EXPECT_FLOAT_EQ(given.reports[0][0].end, 6.0f);
    EXPECT_EQ(given.reports[0][0].seek, 80000);
    EXPECT_TRUE(instance.reports.empty()) << "a given segment callback replaces the instance's";
}

TEST(ArrayTranscription, ConcurrentChunksGiveTheSequentialResult) {
    Facade facade;
    const auto recording = longRecording();
    const auto sequential = facade.engine->transcribe(recording, vadOptions(1));

    SegmentLog given, instance;
    facade.engine->setSegmentDiscoveryCallback(instance.callback());
    const auto concurrent = facade.engine->transcribe(recording, 16000, vadOptions(4), nullptr, given.callback());

    ASSERT_EQ(sequential.size(), 2u) << "cut once, in the pause at 19-22 s";
    EXPECT_EQ(summary(concurrent), summary(sequential));
    EXPECT_EQ(concurrent[0]->text(), "Hello world.");
    const float cut = concurrent[1]->segments().at(0).start;
    EXPECT_GT(cut, 19.0f);
    EXPECT_LT(cut, 22.0f);
    EXPECT_FLOAT_EQ(*concurrent[1]->seekTime(), cut);

    // Chunks report to the instance's callback only, on the caller's timeline (offset 1 s).
    EXPECT_TRUE(given.reports.empty());
    EXPECT_EQ(instance.starts(), (std::vector<float>{1.0f, cut + 1.0f}));
}

TEST(ArrayTranscription, ArraysRunInBatchesAndReportTheirInputPosition) {
    struct Recording : ZadezarIro {
        explicit Recording(const ZadezarIroConfig& config) : ZadezarIro(config) {}
        using ZadezarIro::transcribe;
        std::mutex mutex;
        std::vector<std::string> events;  // "start <seconds>" and "end <seconds>"
        TranscriptionResults transcribe(const std::vector<float>& audioArray, const std::optional<DecodingOptions>& options,
                                        const TranscriptionCallback& callback, const SegmentDiscoveryCallback& segments) override {
            const std::string name = std::to_string(audioArray.size() / 16000);
            record("start " + name);
            auto results = ZadezarIro::transcribe(audioArray, options, callback, segments);
            record("end " + name);
            return results;
        }
        void record(std::string event) {
            std::lock_guard lock(mutex);
            events.push_back(std::move(event));
        }
    };
    auto facade = ZadezarIro::create<Recording>(localConfig());

    std::mutex mutex;
    std::map<std::int64_t, int> reportsPerWindowId;
    const auto outcomes = facade->transcribeWithResults(
        {toneSamples(2), toneSamples(35), toneSamples(3)}, DecodingOptions::make({.concurrentWorkerCount = 2}),
        [&](const TranscriptionProgress& progress) -> std::optional<bool> {
            std::lock_guard lock(mutex);
            ++reportsPerWindowId[progress.windowId];
            return std::nullopt;
        });

    ASSERT_EQ(outcomes.size(), 3u);
    for (const auto& outcome : outcomes) ASSERT_TRUE(std::holds_alternative<TranscriptionResults>(outcome));
    // The 35 s array decodes two windows, the others one each: its reports carry its position, 1.
    ASSERT_EQ(reportsPerWindowId.size(), 3u);
    EXPECT_GT(reportsPerWindowId[0], 0);
    EXPECT_EQ(reportsPerWindowId[1], 2 * reportsPerWindowId[0]);
    EXPECT_EQ(reportsPerWindowId[2], reportsPerWindowId[0]);
    // The third array belongs to the second batch: it starts after both of the first have ended.
    const auto& events = facade->events;
    const auto at = [&](const std::string& event) { return std::find(events.begin(), events.end(), event) - events.begin(); };
    EXPECT_GT(at("start 3"), at("end 2"));
    EXPECT_GT(at("start 3"), at("end 35"));
}

TEST(ArrayTranscription, WithoutAWorkerCountEveryInputRunsInOneBatch) {
    if (darori::ConcurrencyUtilities::activeProcessorCount() < 2) GTEST_SKIP() << "needs two workers";
    // Item 0 is held until item 19 has started: with batches of 16 item 19 would wait for item 0.
    std::mutex mutex;
    std::condition_variable changed;
    bool lastStarted = false;
    std::atomic<int> running{0}, mostRunning{0};
    const auto outcomes = BatchRunner::runInBatches(20, 0, [&](std::size_t index) -> TranscriptionOutcome {
        const int now = ++running;
        for (int most = mostRunning; now > most && !mostRunning.compare_exchange_weak(most, now);) {
        }
        {
            std::unique_lock lock(mutex);
            if (index == 0) changed.wait(lock, [&] { return lastStarted; });
            if (index == 19) lastStarted = true;
        }
        changed.notify_all();
        --running;
        return TranscriptionResults{};
    });
    EXPECT_EQ(outcomes.size(), 20u);
    EXPECT_LE(mostRunning.load(), darori::ConcurrencyUtilities::activeProcessorCount()) << "never more workers than processors";
}

TEST(ArrayTranscription, OneFailingArrayAmongThreeFailsAlone) {
    Facade facade;
    const std::vector<std::vector<float>> arrays = {toneSamples(2), std::vector<float>(32000, FAILING_MARKER), toneSamples(2)};
    const auto outcomes = facade.engine->transcribeWithResults(arrays);
    ASSERT_EQ(outcomes.size(), 3u);
    ASSERT_TRUE(std::holds_alternative<TranscriptionResults>(outcomes[0]));
    EXPECT_EQ(std::get<TranscriptionResults>(outcomes[0]).at(0)->text(), "Hello world.");
    ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(outcomes[1]));
    EXPECT_EQ(messageOf(std::get<std::exception_ptr>(outcomes[1])), "unreadable array");
    ASSERT_TRUE(std::holds_alternative<TranscriptionResults>(outcomes[2]));

    const auto optional = facade.engine->transcribe(arrays);
    ASSERT_EQ(optional.size(), 3u);
    EXPECT_TRUE(optional[0] && !optional[1] && optional[2]);
}

TEST(ArrayTranscription, UnbalancedListsGiveOneFailure) {
    ZadezarIroConfig config;
    config.download = false;
    config.verbose = false;
    auto facade = ZadezarIro::create(config);
    const std::vector<std::vector<float>> arrays = {toneSamples(1), toneSamples(1)};
    const struct {
        std::vector<std::optional<DecodingOptions>> options;
        std::optional<std::vector<std::int64_t>> offsets;
        std::string message;
    } cases[] = {
        {{std::nullopt}, std::nullopt, "The number of audio arrays and decoding options must be balanced."},
        {{std::nullopt, std::nullopt}, std::vector<std::int64_t>{0, 1, 2},
         "The number of audio arrays and seek offset indexes must be balanced."},
    };
    for (const auto& c : cases) {
        const auto outcomes = facade->transcribeWithOptions(arrays, c.options, c.offsets);
        ASSERT_EQ(outcomes.size(), 1u) << c.message;
        ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(outcomes[0]));
        EXPECT_EQ(messageOf(std::get<std::exception_ptr>(outcomes[0])), c.message);
    }
}

TEST(ArrayTranscription, CancellingTheCallerStopsABatchAndAChunkedArray) {
    Facade facade;
    std::stop_source stop;
    const auto cancelOnFirstReport = [&](const TranscriptionProgress&) -> std::optional<bool> {
        stop.request_stop();
        return std::nullopt;
    };

    std::vector<TranscriptionOutcome> outcomes;
    std::thread([&] {
        cancellation::CancellationScope scope(stop.get_token());
        // Four windows each: a worker that ignored the caller's cancellation would go on past its first.
        outcomes = facade.engine->transcribeWithResults(std::vector<std::vector<float>>(4, toneSamples(95)),
                                                        DecodingOptions::make({.concurrentWorkerCount = 2}), cancelOnFirstReport);
    }).join();
    ASSERT_EQ(outcomes.size(), 4u);
    for (const auto& outcome : outcomes) EXPECT_TRUE(isCancellation(outcome));
    EXPECT_LE(facade.extractor->windows, 2) << "only the first window of the arrays already under way ran";

    std::stop_source chunkStop;
    bool cancelled = false;
    std::thread([&] {
        cancellation::CancellationScope scope(chunkStop.get_token());
        try {
            facade.engine->transcribe(longRecording(), vadOptions(2), [&](const TranscriptionProgress&) -> std::optional<bool> {
                chunkStop.request_stop();
                return std::nullopt;
            });
        } catch (const cancellation::CancellationError&) {
            cancelled = true;
        }
    }).join();
    EXPECT_TRUE(cancelled);
}

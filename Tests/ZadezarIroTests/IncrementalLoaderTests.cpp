#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "AudioTestFiles.hpp"
#include "TestSupport.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;

namespace {

// Waits for a condition that another thread makes true; fails after a generous deadline.
template <class Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// Loud stretches of 0.7 s separated by 0.3 s of silence, 16 kHz mono float.
std::vector<float> phrases(std::size_t n) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = (i % 16000) < 11200 ? 0.2f * static_cast<float>(std::sin(i * 0.1)) : 0.0f;
    return x;
}

std::string message(const std::function<void()>& f) {
    try {
        f();
    } catch (const WhisperError& e) {
        return e.message();
    }
    return "no error";
}

}  // namespace

TEST(IncrementalLoading, ArgumentsAreCheckedBeforeAnyStream) {
    TempDir dir;
    writeMono16k(dir.path / "a.wav", std::vector<float>(100));
    const std::string path = (dir.path / "a.wav").string(), missing = (dir.path / "b.wav").string();
    auto load = [](const std::string& p, double seconds, std::int64_t slots) {
        return [=] { AudioProcessor::loadFileIncrementally(p, AudioInputOptions::SumChannels{}, seconds, slots, 480000, nullptr); };
    };
    for (double bad : {0.0, -1.0, double(INFINITY), double(NAN)})
        EXPECT_EQ(message(load(path, bad, 2)), "Incremental chunk duration must be greater than 0");
    EXPECT_EQ(message(load(path, 1, 0)), "Incremental chunk buffer size must be greater than 0");
    EXPECT_EQ(message(load(missing, 1, 2)), "Audio file not found at path: " + missing);
}

TEST(IncrementalLoading, ChunksCoverTheWholeFileInOrderAcrossReadWindows) {
    TempDir dir;
    struct Case {
        const char* name;
        std::size_t samples;
        double window;
        std::int64_t maxChunk;
        bool wholeFile;
    };
    const Case cases[] = {
        {"shorter than a window", 30000, 10.0, 480000, true},
        {"many windows", 23 * 16000 + 5000, 3.0, 5 * 16000, true},
        {"last second after a cut", 10 * 16000 + 12000, 4.0, 5 * 16000, true},
        {"chunks shorter than the padding", 2 * 16000, 0.01, 1000, false},
        {"empty", 0, 1.0, 480000, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto path = dir.path / (std::string(c.name) + ".wav");
        writeMono16k(path, phrases(c.samples));
        const auto audio = AudioProcessor::loadAudioAsFloatArray(path.string());
        auto stream = AudioProcessor::loadFileIncrementally(path.string(), AudioInputOptions::SumChannels{}, c.window, 2, c.maxChunk, nullptr);
        std::vector<float> joined;
        while (auto chunk = stream.next()) {
            EXPECT_EQ(chunk->audioChunk.seekOffsetIndex, static_cast<std::int64_t>(joined.size())) << "no gap, no overlap";
            EXPECT_LE(static_cast<std::int64_t>(chunk->audioChunk.audioSamples.size()), c.maxChunk);
            joined.insert(joined.end(), chunk->audioChunk.audioSamples.begin(), chunk->audioChunk.audioSamples.end());
            chunk->completionSignal();
        }
        // Every sample, the last second included, except a silent end after the last cut.
        ASSERT_LE(joined.size(), audio.size());
        EXPECT_TRUE(std::equal(joined.begin(), joined.end(), audio.begin()));
        EXPECT_TRUE(std::all_of(audio.begin() + static_cast<std::ptrdiff_t>(joined.size()), audio.end(), [](float x) { return x == 0; }))
            << joined.size() << " of " << audio.size() << " samples handed out";
        EXPECT_LE(audio.size() - joined.size(), 16000u);
        if (c.wholeFile) {
            EXPECT_EQ(joined.size(), audio.size());
        }
    }
}

// A last read window that holds only the file's end after chunks already went out is a tail after a
// cut: it becomes a chunk only when it holds voice.
TEST(IncrementalLoading, TheFilesLastSecondAfterACutIsKeptOnlyWithVoice) {
    TempDir dir;
    for (bool voicedEnd : {false, true}) {
        SCOPED_TRACE(voicedEnd ? "voiced end" : "silent end");
        std::vector<float> audio(64000 + 8000, voicedEnd ? 0.1f : 0.0f);
        std::fill(audio.begin(), audio.begin() + 64000, 0.1f);
        const auto path = dir.path / (voicedEnd ? "voiced.wav" : "silent.wav");
        writeMono16k(path, audio);
        // Windows of 2 s: the first fill reads 4 s, cut into two 2 s chunks; the last 0.5 s comes alone.
        auto stream = AudioProcessor::loadFileIncrementally(path.string(), AudioInputOptions::SumChannels{}, 2.0, 2, 32000, nullptr);
        std::vector<std::pair<std::int64_t, std::size_t>> chunks;
        while (auto chunk = stream.next()) {
            chunks.emplace_back(chunk->audioChunk.seekOffsetIndex, chunk->audioChunk.audioSamples.size());
            chunk->completionSignal();
        }
        std::vector<std::pair<std::int64_t, std::size_t>> expected{{0, 32000}, {32000, 32000}};
        if (voicedEnd) expected.emplace_back(64000, 8000);
        EXPECT_EQ(chunks, expected);
    }
}

TEST(IncrementalLoading, TwoSlotsHoldTheProducerUntilAChunkIsReleased) {
    TempDir dir;
    writeMono16k(dir.path / "long.wav", phrases(20 * 16000));
    auto controller = std::make_shared<IncrementalLoadController>(2);
    auto stream = AudioProcessor::loadFileIncrementally((dir.path / "long.wav").string(), AudioInputOptions::SumChannels{}, 2.0,
                                                        2 * 16000, nullptr, controller);
    auto first = stream.next(), second = stream.next();
    ASSERT_TRUE(first && second);
    ASSERT_TRUE(eventually([&] { return controller->waitingProducers() == 1; }));
    EXPECT_FALSE(stream.tryNext()) << "no third chunk while both slots are taken";
    first->completionSignal();
    first->completionSignal();  // a second call frees nothing more
    auto third = stream.next();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->audioChunk.seekOffsetIndex,
              second->audioChunk.seekOffsetIndex + static_cast<std::int64_t>(second->audioChunk.audioSamples.size()));
    ASSERT_TRUE(eventually([&] { return controller->waitingProducers() == 1; }));
    EXPECT_EQ(controller->activeChunks(), 2);
    EXPECT_FALSE(stream.tryNext());

    // Leaving the stream ends the producer: its waiting ends, and it yields nothing more.
    stream.cancel();
    EXPECT_TRUE(controller->isTerminated());
    EXPECT_TRUE(eventually([&] { return controller->waitingProducers() == 0; }));
    EXPECT_FALSE(stream.next());
}

TEST(IncrementalLoading, AReadFailureFinishesTheStreamWithTheError) {
    TempDir dir;
    std::ofstream(dir.path / "junk.wav") << "not audio at all";
    auto stream = AudioProcessor::loadFileIncrementally((dir.path / "junk.wav").string(), AudioInputOptions::SumChannels{}, 1.0, 2,
                                                        480000, nullptr);
    EXPECT_THROW(stream.next(), audioinput::AudioFileError);
}

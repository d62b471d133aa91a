#include "ZadezarIro/Core/Audio/AudioChunker.hpp"

#include <gtest/gtest.h>

#include "AudioTestFiles.hpp"
#include "TestSupport.hpp"
#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;

namespace {

// Loud noise-free "speech" (a constant above the threshold) with silent sample ranges.
std::vector<float> speech(std::size_t n, std::vector<std::pair<std::size_t, std::size_t>> silences = {}) {
    std::vector<float> x(n, 0.1f);
    for (auto [a, b] : silences) std::fill(x.begin() + a, x.begin() + b, 0.0f);
    return x;
}

std::vector<std::pair<std::int64_t, std::int64_t>> ranges(const std::vector<AudioChunk>& chunks) {
    std::vector<std::pair<std::int64_t, std::int64_t>> r;
    for (const auto& c : chunks) r.emplace_back(c.seekOffsetIndex, c.seekOffsetIndex + static_cast<std::int64_t>(c.audioSamples.size()));
    return r;
}

using Ranges = std::vector<std::pair<std::int64_t, std::int64_t>>;

DecodingOptions clips(std::vector<float> times) {
    DecodingOptions options;
    options.clipTimestamps = std::move(times);
    return options;
}

}  // namespace

TEST(VADAudioChunker, CutsAtTheMiddleOfTheLongestSilenceInTheSecondHalf) {
    VADAudioChunker chunker;
    struct Case {
        const char* name;
        std::vector<float> audio;
        std::optional<DecodingOptions> options;
        Ranges expected;
    };
    const Case cases[] = {
        {"fits", speech(480000), std::nullopt, {{0, 480000}}},
        {"silence", speech(600000, {{400000, 416000}}), std::nullopt, {{0, 408000}, {408000, 600000}}},
        {"no silence", speech(600000), std::nullopt, {{0, 480000}, {480000, 600000}}},
        {"short voiced remainder kept", speech(495000), std::nullopt, {{0, 480000}, {480000, 495000}}},
        {"short silent remainder dropped", speech(495000, {{480000, 495000}}), std::nullopt, {{0, 480000}}},
        {"one silent sample dropped", speech(480001, {{480000, 480001}}), std::nullopt, {{0, 480000}}},
        {"remainder with a voiced frame kept", speech(496000, {{480000, 494000}}), std::nullopt, {{0, 480000}, {480000, 496000}}},
        {"clip", speech(640000), clips({10, 20}), {{160000, 320000}}},
        {"clip past the end", speech(640000), clips({50}), {}},
        {"clip end clamped", speech(640000), clips({30, 60}), {{480000, 640000}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto chunks = chunker.chunkAll(c.audio, 480000, c.options);
        EXPECT_EQ(ranges(chunks), c.expected);
        for (const auto& chunk : chunks)
            EXPECT_TRUE(std::equal(chunk.audioSamples.begin(), chunk.audioSamples.end(), c.audio.begin() + chunk.seekOffsetIndex));
    }
    LogCapture log;
    chunker.chunkAll(speech(600000, {{400000, 416000}}), 480000, std::nullopt);
    EXPECT_EQ(log.lines.front(), "Found chunk from 0.00 to 25.50");
}

TEST(VADAudioChunker, SpeechFileChunksJoinWithoutGapOrOverlap) {
    TempDir dir;
    std::size_t firstEnd = 0;
    auto samples = AudioProcessor::loadAudioAsFloatArray(speechWithPause(dir.path, 1.5, &firstEnd).string());
    const auto maxLength = static_cast<std::int64_t>(samples.size()) - 8000;
    auto chunks = VADAudioChunker().chunkAll(samples, maxLength, std::nullopt);
    ASSERT_EQ(chunks.size(), 2u);
    // The cut lies in the pause between the phrases.
    EXPECT_GT(chunks[1].seekOffsetIndex, static_cast<std::int64_t>(firstEnd));
    EXPECT_LT(chunks[1].seekOffsetIndex, static_cast<std::int64_t>(firstEnd) + 24000);
    EXPECT_EQ(chunks[0].audioSamples.size(), static_cast<std::size_t>(chunks[1].seekOffsetIndex));
    EXPECT_EQ(chunks[1].seekOffsetIndex + static_cast<std::int64_t>(chunks[1].audioSamples.size()),
              static_cast<std::int64_t>(samples.size()));
}

TEST(VADAudioChunker, ClipStartingPastTheAudioFails) {
    try {
        VADAudioChunker().chunkAll(speech(640000), 480000, clips({45, 60}));
        FAIL();
    } catch (const WhisperError& e) {
        EXPECT_EQ(e.message(), "startIndex is outside the buffer size");
    }
}

TEST(AudioChunking, ShiftsResultsExactlyAndReportsAFailedChunk) {
    auto result = [](float start, float end) {
        TranscriptionSegment segment;
        segment.start = start;
        segment.end = end;
        segment.words = std::vector<WordTiming>{WordTiming{}};
        segment.words->front().start = start;
        segment.words->front().end = end;
        return std::make_shared<TranscriptionResult>("text", std::vector<TranscriptionSegment>{segment}, "en", TranscriptionTimings{});
    };
    std::vector<AudioChunk> chunks{{0, {}}, {480000, {}}, {960001, {}}};
    auto first = result(0.0f, 1.0f), second = result(1.0f, 2.5f), third = result(0.5f, 1.0f);
    std::vector<TranscriptionOutcome> ok{TranscriptionResults{first}, TranscriptionResults{second}, TranscriptionResults{third}};
    auto shifted = AudioChunking::updateSeekOffsetsForResults(ok, chunks);
    ASSERT_EQ(shifted.size(), 3u);
    EXPECT_FLOAT_EQ(second->segments()[0].start, 31.0f);
    EXPECT_FLOAT_EQ(second->segments()[0].end, 32.5f);
    EXPECT_FLOAT_EQ((*second->segments()[0].words)[0].end, 32.5f);
    EXPECT_EQ(second->segments()[0].seek, 480000);
    EXPECT_EQ(second->seekTime(), 30.0f);
    EXPECT_EQ(third->segments()[0].seek, 960001) << "the sample offset is exact, not rounded through seconds";

    LogCapture log;
    auto failure = std::make_exception_ptr(WhisperError::transcriptionFailed("boom"));
    std::vector<TranscriptionOutcome> mixed{TranscriptionResults{result(0, 1)}, failure, TranscriptionResults{result(0, 1)}};
    try {
        AudioChunking::updateSeekOffsetsForResults(mixed, chunks);
        FAIL() << "a missing chunk must not read as a complete transcription";
    } catch (const WhisperError& e) {
        EXPECT_EQ(e.message(), "boom");
    }
    EXPECT_NE(std::find(log.lines.begin(), log.lines.end(), "Error transcribing chunk 1: boom"), log.lines.end());
}

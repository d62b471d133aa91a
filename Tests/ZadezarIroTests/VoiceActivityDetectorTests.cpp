#include "ZadezarIro/Core/Audio/VoiceActivityDetector.hpp"

#include <gtest/gtest.h>

#include "AudioTestFiles.hpp"
#include "TestSupport.hpp"
#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;

TEST(EnergyVAD, FramesThresholdAndConversions) {
    EnergyVAD vad;
    EXPECT_EQ(vad.voiceActivity(std::vector<float>(16000, 0.5f)).size(), 10u);
    auto eleven = vad.voiceActivity(std::vector<float>(16001, 0.5f));
    ASSERT_EQ(eleven.size(), 11u);
    EXPECT_TRUE(eleven[10]) << "the last frame of one sample is measured on its own";
    EXPECT_TRUE(vad.voiceActivity({}).empty());
    // RMS of a constant is the constant: equal to the threshold is unvoiced, just above is voiced.
    EnergyVAD quarter(16000, std::int64_t{4}, std::int64_t{0}, 0.25f);
    EXPECT_EQ(quarter.voiceActivity(std::vector<float>{0.25f, -0.25f, 0.25f, -0.25f, 0.2501f, 0.2501f, 0.2501f, 0.2501f}),
              (std::vector<bool>{false, true}));
    // With an overlap the first frame reaches into the loud second one.
    EnergyVAD overlapping(16000, std::int64_t{4}, std::int64_t{4}, 0.1f);
    EXPECT_EQ(overlapping.voiceActivity(std::vector<float>{0, 0, 0, 0, 1, 1, 1, 1}), (std::vector<bool>{true, true}));
    EXPECT_EQ(EnergyVAD(16000, 0.1f, 0.0f, 0.02f).frameLengthSamples(), 1600);
    EXPECT_FLOAT_EQ(vad.voiceActivityIndexToSeconds(25), 2.5f);
    EXPECT_EQ(vad.voiceActivityIndexToAudioSampleIndex(3), 4800);
    EXPECT_THROW(EnergyVAD(16000, std::int64_t{0}, std::int64_t{0}, 0.02f), std::invalid_argument);
    EXPECT_THROW(VoiceActivityDetector(16000, 1600, 0).voiceActivity(std::vector<float>(10)), std::logic_error);
}

TEST(EnergyVAD, LongestSilenceAndActiveChunks) {
    EnergyVAD vad;
    struct Case {
        std::vector<bool> activity;
        std::optional<IndexRange> silence;
    };
    const Case cases[] = {
        {{true, false, false, true, false, false, true}, IndexRange{1, 3}},
        {{false, false, true}, IndexRange{0, 2}},
        {{true, false, true, false, false, false}, IndexRange{3, 6}},
        {{true, true}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(vad.findLongestSilence(c.activity), c.silence);

    std::vector<float> samples(35000, 0.0f);
    for (int frame : {3, 4, 5, 20, 21})
        for (int i = frame * 1600; i < std::min(35000, frame * 1600 + 1600); ++i) samples[i] = 0.5f;
    EXPECT_EQ(vad.calculateActiveChunks(samples), (std::vector<IndexRange>{{4800, 9600}, {32000, 35000}}));
    EXPECT_EQ(AudioProcessor::calculateNonSilentChunks(samples), vad.calculateActiveChunks(samples));
    EXPECT_TRUE(vad.calculateActiveChunks(std::vector<float>(5000, 0.0f)).empty());
}

TEST(EnergyVAD, SpeechFileIsVoicedWhereSpokenAndItsPauseIsTheLongestSilence) {
    TempDir dir;
    std::size_t firstEnd = 0;
    auto path = speechWithPause(dir.path, 2.0, &firstEnd);
    auto samples = AudioProcessor::loadAudioAsFloatArray(path.string());
    EnergyVAD vad;
    auto activity = vad.voiceActivity(samples);
    const auto pauseStart = static_cast<std::int64_t>(firstEnd) / 1600, pauseEnd = (static_cast<std::int64_t>(firstEnd) + 32000) / 1600;
    int voicedFirst = 0, voicedSecond = 0;
    for (std::int64_t i = 0; i < static_cast<std::int64_t>(activity.size()); ++i) {
        if (i < pauseStart) voicedFirst += activity[i];
        if (i > pauseEnd) voicedSecond += activity[i];
        if (i > pauseStart && i < pauseEnd) {
            EXPECT_FALSE(activity[i]) << "frame " << i << " lies in the pause";
        }
    }
    EXPECT_GT(voicedFirst, pauseStart / 2) << "most of the first phrase is voiced";
    EXPECT_GT(voicedSecond, 5);
    auto silence = vad.findLongestSilence(activity);
    ASSERT_TRUE(silence);
    EXPECT_LE(silence->startIndex, pauseStart + 1);
    EXPECT_GE(silence->endIndex, pauseEnd);
}

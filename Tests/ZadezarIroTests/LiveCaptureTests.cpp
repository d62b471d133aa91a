#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

#include <gtest/gtest.h>

#include "AudioInput/TestAudioSystem.hpp"
#include "AudioTestFiles.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;

TEST(LiveCapture, SimulatedDeviceIsConvertedTo16kMonoWithEnergies) {
    auto system = std::make_shared<audioinput::TestAudioSystem>();
    system->addDevice("Mic", {48000, 2, audioinput::SampleType::int16, true});
    AudioProcessor processor(system);
    int callbacks = 0;
    processor.startRecordingLive(std::nullopt, [&](const std::vector<float>&) { ++callbacks; });
    system->playTone(1.0, 0.001f, 440);
    system->playTone(1.0, 0.5f, 440);
    auto samples = processor.audioSamples();
    EXPECT_NEAR(static_cast<double>(samples.size()), 32000.0, 600.0) << "less only what the resampler holds back";
    EXPECT_NEAR(crossingsPerSecond(std::vector<float>(samples.begin() + 20000, samples.end() - 1000), 16000), 880.0, 6.0);
    auto energies = processor.audioEnergy();
    ASSERT_EQ(static_cast<int>(energies.size()), callbacks);
    EXPECT_EQ(energies.front().rel, 0.0f) << "the first buffer has nothing to compare with";
    EXPECT_NEAR(energies.back().avg, 0.5f / std::sqrt(2.0f), 0.01f);
    float loudest = 0;
    for (const auto& e : energies) loudest = std::max(loudest, e.rel);
    EXPECT_GT(loudest, 0.8f) << "the first loud buffers against the quiet ones before them";
    EXPECT_LT(energies.back().rel, 0.05f) << "as loud as the 20 buffers before it";

    processor.setInputSuppressed(true);
    system->playTone(0.2, 0.5f, 440);
    EXPECT_EQ(processor.audioEnergy().back(), AudioEnergy{}) << "suppressed input is recorded as zeros";
    processor.purgeAudioSamples(100);
    EXPECT_EQ(processor.audioSamples().size(), 100u);
    processor.purgeAudioSamples(1000);
    EXPECT_EQ(processor.audioSamples().size(), 100u);
    processor.purgeAudioSamples(0);
    EXPECT_TRUE(processor.audioSamples().empty());
    EXPECT_THROW(processor.setRelativeEnergyWindow(0), std::invalid_argument);
    EXPECT_THROW(processor.setMinBufferLength(0), std::invalid_argument);

    // A second start replaces the first capture instead of leaving it running.
    processor.startRecordingLive();
    EXPECT_EQ(system->runningEngines(), 1);
    EXPECT_TRUE(processor.audioSamples().empty());
    processor.pauseRecording();
    EXPECT_EQ(system->play(std::vector<float>(3200, 0.1f)), 0u);
    processor.resumeRecordingLive();
    EXPECT_GT(system->play(std::vector<float>(48000, 0.1f)), 0u);
    processor.stopRecording();
    EXPECT_EQ(system->runningEngines(), 0);
    EXPECT_FALSE(processor.audioSamples().empty()) << "stopping keeps the capture";
}

// A device that already delivers 16 kHz gives its first channel unchanged, not a mix of the channels.
TEST(LiveCapture, SixteenKilohertzInputTakesTheFirstChannelAsItIs) {
    auto system = std::make_shared<audioinput::TestAudioSystem>();
    system->addDevice("Mic", {16000, 2, audioinput::SampleType::float32, true});
    AudioProcessor processor(system);
    processor.startRecordingLive();
    std::vector<float> interleaved, left;
    for (int i = 0; i < 3200; ++i) {
        left.push_back(0.25f * static_cast<float>(std::sin(i * 0.05)));
        interleaved.push_back(left.back());
        interleaved.push_back(-0.5f);
    }
    system->play(interleaved);
    EXPECT_EQ(processor.audioSamples(), left);
}

TEST(LiveCapture, StreamEndsTheCaptureAndStartErrorsFinishIt) {
    auto system = std::make_shared<audioinput::TestAudioSystem>();
    system->addDevice("Mic", {16000, 1});
    AudioProcessor processor(system);
    {
        auto [stream, continuation] = processor.startStreamingRecordingLive();
        system->play(std::vector<float>(1600, 0.2f));
        auto buffer = stream.next();
        ASSERT_TRUE(buffer);
        EXPECT_EQ(buffer->size(), 1600u);
        EXPECT_EQ(system->runningEngines(), 1);
    }
    EXPECT_EQ(system->runningEngines(), 0) << "ending the stream stops the engine";

    system->failNextStart("device busy");
    auto [stream, continuation] = processor.startStreamingRecordingLive();
    EXPECT_THROW(stream.next(), audioinput::AudioEngineError);

    audioinput::TestAudioSystem empty;
    AudioProcessor none(std::shared_ptr<audioinput::AudioSystem>(&empty, [](auto*) {}));
    try {
        none.startRecordingLive();
        FAIL();
    } catch (const WhisperError& e) {
        EXPECT_EQ(e.message(), "Failed to create node format");
    }
}

TEST(LiveCapture, EnergyRules) {
    EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(std::vector<float>(100, std::pow(10.0f, -1.5f)), std::nullopt), 0.5f, 1e-4f);
    EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(std::vector<float>(100, 1e-2f), 1e-4f), 0.5f, 1e-4f);
    EXPECT_EQ(AudioProcessor::calculateRelativeEnergy(std::vector<float>(100, 1.0f), 1e-4f), 1.0f);
    EXPECT_EQ(AudioProcessor::calculateRelativeEnergy(std::vector<float>(100, 1e-5f), 1e-4f), 0.0f);
    std::vector<float> energies(30, 0.0f);
    energies[12] = 0.9f;  // among the 20 newest, in the first 10 of them
    EXPECT_TRUE(AudioProcessor::isVoiceDetected(energies, 2.0f, 0.3f));
    energies[12] = 0.0f;
    energies[25] = 0.9f;  // among the 10 newest: left out
    EXPECT_FALSE(AudioProcessor::isVoiceDetected(energies, 2.0f, 0.3f));
    EXPECT_TRUE(AudioProcessor::isVoiceDetected(std::vector<float>{0, 0, 0, 0, 0.5f}, 2.0f, 0.3f));
    EXPECT_FALSE(AudioProcessor::isVoiceDetected(std::vector<float>{0, 0, 0, 0, 0.3f}, 2.0f, 0.3f));
}

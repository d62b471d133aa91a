#include "Talkweft/Recorder.hpp"

#include <gtest/gtest.h>

#include "AudioInput/TestAudioSystem.hpp"
#include "CycleSupport.hpp"
#include "Platform/Headless/HeadlessLoop.hpp"

using namespace talkweft;
using audioinput::AudioFormat;
using audioinput::SampleType;

namespace {

struct RecorderTest : ::testing::Test {
    platform::headless::HeadlessLoop loop;
    audioinput::TestAudioSystem audio;
};

}  // namespace

TEST_F(RecorderTest, IdleStopAndRepeatedStart) {
    Recorder rec(audio, loop);
    EXPECT_TRUE(rec.stop().empty());
    EXPECT_THROW(rec.start(), RecorderError) << "no microphone";
    try {
        rec.start();
    } catch (const RecorderError& e) {
        EXPECT_STREQ(e.what(), "No microphone is available right now.");
    }
    EXPECT_FALSE(rec.isRunning());
    EXPECT_TRUE(rec.stop().empty());

    audio.addDevice("Mic", {16000, 1});
    rec.start();
    audio.play(std::vector<float>(1000, 0.1f));
    rec.start();  // already running: keeps the samples
    audio.play(std::vector<float>(500, 0.1f));
    EXPECT_EQ(rec.stop().size(), 1500u);
    EXPECT_TRUE(rec.stop().empty());
    rec.start();
    EXPECT_TRUE(rec.stop().empty()) << "every start begins a new recording";
}

TEST_F(RecorderTest, ConvertsAnyInputToMono16k) {
    Recorder rec(audio, loop);
    for (AudioFormat f : {AudioFormat{48000, 2, SampleType::int16, true}, AudioFormat{44100, 1, SampleType::float32, false},
                          AudioFormat{16000, 4, SampleType::int32, true}}) {
        auto id = audio.addDevice("Mic", f);
        rec.start();
        audio.playTone(1.0, 0.5f);
        audio.play({});  // a buffer of no frames adds nothing
        auto samples = rec.stop();
        EXPECT_NEAR(static_cast<double>(samples.size()), 16000, 20) << f.description();
        audio.removeDevice(id);
    }
}

TEST_F(RecorderTest, StartFailureLeavesItIdle) {
    audio.addDevice("Mic", {16000, 1});
    Recorder rec(audio, loop);
    audio.failNextStart("device busy");
    EXPECT_THROW(rec.start(), audioinput::AudioEngineError);
    EXPECT_FALSE(rec.isRunning());
    audio.play(std::vector<float>(100, 0.1f));
    EXPECT_TRUE(rec.stop().empty());
    EXPECT_EQ(audio.runningEngines(), 0);
}

TEST_F(RecorderTest, DeviceChangeReconnectsAndKeepsTheRecording) {
    cycletest::LogTail log;
    auto usb = audio.addDevice("USB", {48000, 1});
    audio.addDevice("Built-in", {44100, 2}, false);
    Recorder rec(audio, loop);
    int interrupted = 0;
    rec.onInterrupted = [&] { ++interrupted; };
    rec.start();
    audio.playTone(0.5, 0.3f);
    audio.removeDevice(usb);
    loop.runPending();  // the change is handled on the main loop
    EXPECT_TRUE(log.contains("recorder: audio device changed, reconnected"));
    audio.playTone(0.5, 0.3f);
    EXPECT_NEAR(static_cast<double>(rec.stop().size()), 16000, 20);
    EXPECT_EQ(interrupted, 0);
}

TEST_F(RecorderTest, LosingTheOnlyDeviceInterruptsOnce) {
    cycletest::LogTail log;
    auto mic = audio.addDevice("Mic", {48000, 1});
    Recorder rec(audio, loop);
    int interrupted = 0;
    rec.onInterrupted = [&] { ++interrupted; };
    rec.start();
    audio.playTone(0.5, 0.3f);
    audio.removeDevice(mic);
    loop.runPending();
    EXPECT_EQ(interrupted, 1);
    EXPECT_TRUE(log.contains("recorder: audio device changed, couldn't reconnect: No microphone is available right now."));
    EXPECT_TRUE(rec.isRunning()) << "the owner decides what happens next";
    EXPECT_GT(rec.stop().size(), 7000u) << "what was recorded before the loss is kept";
}

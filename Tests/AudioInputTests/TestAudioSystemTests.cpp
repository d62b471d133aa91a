#include "AudioInput/TestAudioSystem.hpp"

#include <gtest/gtest.h>

#include <filesystem>

using namespace audioinput;

TEST(TestAudioSystem, EngineCapturesWhatIsPlayedInTapSizedBuffers) {
    TestAudioSystem sys;
    EXPECT_FALSE(sys.defaultInputDevice());
    sys.addDevice("Mic", {48000, 2, SampleType::int16, true});
    auto engine = sys.makeEngine();
    EXPECT_EQ(engine->inputFormat().sampleRate, 48000);
    std::vector<std::uint32_t> sizes;
    AudioFormat planar{48000, 2, SampleType::float32, false};
    engine->installTap(4096, planar, [&](const AudioBuffer& b) {
        EXPECT_EQ(b.format(), planar);
        sizes.push_back(b.frameCount());
    });
    EXPECT_THROW(engine->installTap(4096, planar, {}), AudioEngineError);
    EXPECT_EQ(sys.play(std::vector<float>(200, 0.1f)), 0u) << "nothing captures before start";
    engine->start();
    EXPECT_EQ(sys.playTone(0.2, 0.3f), 9600u);
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{4096, 4096, 1408}));
    engine->removeTap();
    EXPECT_EQ(sys.play(std::vector<float>(200, 0.1f)), 0u);
}

TEST(TestAudioSystem, LosingTheDeviceStopsTheEngineAndNotifiesIt) {
    TestAudioSystem sys;
    auto usb = sys.addDevice("USB", {44100, 1});
    auto engine = sys.makeEngine();
    int changes = 0;
    engine->setConfigurationChangeHandler([&] { ++changes; });
    engine->installTap(1024, engine->outputFormat(), [](const AudioBuffer&) {});
    engine->start();
    auto builtin = sys.addDevice("Built-in", {48000, 1}, /*makeDefault=*/false);
    EXPECT_EQ(changes, 0) << "a new device that is not the default changes nothing";
    sys.removeDevice(usb);
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(engine->isRunning());
    EXPECT_EQ(engine->inputFormat().sampleRate, 48000) << "the engine follows the new default";
    sys.removeDevice(builtin);
    EXPECT_EQ(changes, 1) << "a stopped engine is not notified again";
    EXPECT_FALSE(engine->inputFormat().isValid());
    EXPECT_THROW(engine->start(), AudioEngineError);
}

TEST(TestAudioSystem, StartFailureOnCueAndPermission) {
    TestAudioSystem sys;
    sys.addDevice("Mic", {16000, 1});
    auto engine = sys.makeEngine();
    sys.failNextStart("device busy");
    EXPECT_THROW(engine->start(), AudioEngineError);
    EXPECT_NO_THROW(engine->start());
    sys.setPermission(false);
    EXPECT_FALSE(sys.requestRecordPermission());
    EXPECT_EQ(sys.permissionRequests(), 1);
}

TEST(TestAudioSystem, PlaysFiles) {
    auto path = std::filesystem::temp_directory_path() / ("audioinput-" + std::to_string(::getpid()) + ".wav");
    writeWavFile(path, {22050, 1, std::vector<float>(22050, 0.25f)});
    TestAudioSystem sys;
    sys.addDevice("Mic", {22050, 1});
    auto engine = sys.makeEngine();
    std::size_t frames = 0;
    float first = 0;
    engine->installTap(4096, engine->outputFormat(), [&](const AudioBuffer& b) {
        if (frames == 0) first = b.sample(0, 0);
        frames += b.frameCount();
    });
    engine->start();
    EXPECT_EQ(sys.playFile(path), 22050u);
    EXPECT_EQ(frames, 22050u);
    EXPECT_NEAR(first, 0.25f, 1e-3);
    sys.addDevice("Stereo", {22050, 2});
    EXPECT_THROW(sys.playFile(path), std::invalid_argument);
    EXPECT_THROW(sys.playFile("/nonexistent.wav"), AudioFileError);
    std::filesystem::remove(path);
}

#include "AudioInput/PulseAudioSystem.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "AudioInput/AudioFile.hpp"
#include "AudioInput/Converter.hpp"
#include "PulseServer.hpp"

using namespace audioinput;

namespace {

// RMS per 20 ms of 16 kHz samples.
std::vector<double> envelope(const std::vector<float>& x) {
    std::vector<double> e;
    for (std::size_t i = 0; i + 320 <= x.size(); i += 320) {
        double sum = 0;
        for (std::size_t k = i; k < i + 320; ++k) sum += static_cast<double>(x[k]) * x[k];
        e.push_back(std::sqrt(sum / 320));
    }
    return e;
}

// Best normalised correlation of `b` against `a` over lags of `b` into the capture.
double bestCorrelation(const std::vector<double>& played, const std::vector<double>& captured) {
    double best = -1;
    for (std::size_t lag = 0; lag + played.size() <= captured.size(); ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (std::size_t i = 0; i < played.size(); ++i) {
            ab += played[i] * captured[lag + i];
            aa += played[i] * played[i];
            bb += captured[lag + i] * captured[lag + i];
        }
        if (aa > 0 && bb > 0) best = std::max(best, ab / std::sqrt(aa * bb));
    }
    return best;
}

std::vector<float> to16kMono(const AudioFileData& data) {
    AudioFormat format{data.sampleRate, data.channels, SampleType::float32, true};
    Converter converter(format, 16000);
    auto out = converter.convert(AudioBuffer::fromInterleaved(format, data.interleaved));
    auto tail = converter.flush();
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

}  // namespace

TEST(PulseAudioSystem, RecordsWhatIsPlayedAndNoticesItsDeviceGoing) {
    testpulse::PulseServer server;
    ASSERT_TRUE(server.ok()) << "the private PulseAudio server did not come up";
    auto dir = std::filesystem::temp_directory_path() / ("talkweft-speech-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string speech = (dir / "speech.wav").string();
    ASSERT_EQ(std::system(("espeak-ng -w '" + speech + "' 'the quick brown fox jumps over the lazy dog'").c_str()), 0);

    PulseAudioSystem system(server.server());
    auto devices = system.inputDevices();
    auto mic = system.defaultInputDevice();
    ASSERT_TRUE(mic);
    EXPECT_NE(std::find(devices.begin(), devices.end(), *mic), devices.end());
    EXPECT_TRUE(system.requestRecordPermission());

    auto engine = system.makeEngine();
    ASSERT_TRUE(engine->setInputDevice(mic->id));
    EXPECT_FALSE(engine->setInputDevice(99999));
    AudioFormat format = engine->outputFormat();
    ASSERT_TRUE(format.isValid());
    std::mutex mutex;
    std::condition_variable changed;
    AudioFileData captured{format.sampleRate, format.channels, {}};
    bool deviceChanged = false;
    engine->installTap(1600, format, [&](const AudioBuffer& buffer) {
        std::lock_guard lock(mutex);
        for (std::uint32_t f = 0; f < buffer.frameCount(); ++f)
            for (std::uint32_t c = 0; c < format.channels; ++c) captured.interleaved.push_back(buffer.sample(f, c));
        changed.notify_all();
    });
    engine->setConfigurationChangeHandler([&] {
        std::lock_guard lock(mutex);
        deviceChanged = true;
        changed.notify_all();
    });
    engine->start();
    EXPECT_TRUE(engine->isRunning());
    ASSERT_TRUE(server.play(speech));
    // Some silence after the speech reaches the tap before the comparison.
    AudioFileData played = readAudioFile(speech);
    const std::size_t wanted = static_cast<std::size_t>((played.interleaved.size() / played.sampleRate + 0.5) * format.sampleRate) * format.channels;
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return captured.interleaved.size() >= wanted; }));
    }
    engine->pause();
    std::vector<float> recorded;
    {
        std::lock_guard lock(mutex);
        recorded = to16kMono(captured);
    }
    double correlation = bestCorrelation(envelope(to16kMono(played)), envelope(recorded));
    // The player keeps half a second buffered so a loaded machine does not make it underrun (which
    // shifts part of the envelope); silence or unrelated sound stays far below this.
    EXPECT_GT(correlation, 0.85) << "the recorded speech follows what was played";

    engine->start();
    ASSERT_TRUE(server.pactl("unload-module module-remap-source"));
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return deviceChanged; }));
    EXPECT_FALSE(engine->isRunning()) << "losing the device stops the engine";
    lock.unlock();
    engine->removeTap();
    std::filesystem::remove_all(dir);
}

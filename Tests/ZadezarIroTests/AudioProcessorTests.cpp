#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "AudioTestFiles.hpp"
#include "TestSupport.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;
namespace fs = std::filesystem;

namespace {

PCMBuffer stereo(const std::vector<float>& left, const std::vector<float>& right, double rate = 16000) {
    PCMBuffer buffer({rate, 2, audioinput::SampleType::float32, false}, static_cast<std::uint32_t>(left.size()));
    auto planes = buffer.floatChannelData();
    std::copy(left.begin(), left.end(), planes[0]);
    std::copy(right.begin(), right.end(), planes[1]);
    buffer.setFrameLength(static_cast<std::uint32_t>(left.size()));
    return buffer;
}

std::vector<float> sine(std::size_t n, float amplitude, double frequency, double rate = 16000, float phase = 0) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = amplitude * static_cast<float>(std::sin(2 * M_PI * frequency * i / rate + phase));
    return x;
}

std::vector<float> firstChannel(PCMBuffer buffer) { return AudioProcessor::convertBufferToArray(buffer); }

}  // namespace

// A 440 Hz sine at 0.5 in every common container, rate and layout becomes 16 kHz mono of the same
// length, frequency and level.
TEST(AudioProcessorFiles, EveryFormatBecomes16kMonoWithItsFrequencyAndLevel) {
    TempDir dir;
    struct Case {
        const char* name;
        const char* soxArgs;  // output options before the file name
        std::size_t lengthTolerance;
    };
    const Case cases[] = {
        {"mono16k.wav", "-r 16000 -c 1 -b 16", 0},   {"stereo16k.wav", "-r 16000 -c 2 -b 16", 0},
        {"stereo44k.wav", "-r 44100 -c 2 -b 16", 0}, {"mono48k.wav", "-r 48000 -c 1 -b 24", 0},
        {"stereo44k.flac", "-r 44100 -c 2", 0},      {"stereo48k.ogg", "-r 48000 -c 2", 320},
        {"mono44k.mp3", "-r 44100 -c 1", 1800},      {"stereo48k.aiff", "-r 48000 -c 2 -b 16", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path path = dir.path / c.name;
        run(std::string("sox -n ") + c.soxArgs + " " + quoted(path) + " synth 3 sine 440 vol 0.5");
        PCMBuffer buffer = AudioProcessor::loadAudio(path.string());
        EXPECT_EQ(buffer.format().sampleRate, 16000);
        EXPECT_EQ(buffer.format().channels, 1u);
        EXPECT_NEAR(static_cast<double>(buffer.frameLength()), 48000.0, static_cast<double>(c.lengthTolerance));
        std::vector<float> samples = firstChannel(std::move(buffer));
        // Away from the edges (encoder delay, resampler ramp).
        std::vector<float> middle(samples.begin() + 4000, samples.begin() + 40000);
        EXPECT_NEAR(crossingsPerSecond(middle, 16000), 880.0, 4.0);
        EXPECT_NEAR(rms(middle), 0.5f / std::sqrt(2.0f), 0.02f);
    }
}

TEST(AudioProcessorFiles, TimeRangesAreClippedAndEmptyPastTheEnd) {
    TempDir dir;
    std::vector<float> ramp(32000);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i) / 32000.0f;
    writeMono16k(dir.path / "ramp.wav", ramp);
    const std::string path = (dir.path / "ramp.wav").string();

    auto whole = AudioProcessor::loadAudioAsFloatArray(path);
    ASSERT_EQ(whole.size(), ramp.size());
    for (std::size_t i = 0; i < ramp.size(); i += 997) EXPECT_NEAR(whole[i], ramp[i], 2.0 / 32768) << i;
    auto tail = AudioProcessor::loadAudioAsFloatArray(path, AudioInputOptions::SumChannels{}, 1.5, 10.0);
    EXPECT_EQ(tail, std::vector<float>(whole.begin() + 24000, whole.end()));
    EXPECT_EQ(AudioProcessor::loadAudio(path, AudioInputOptions::SumChannels{}, 5.0).frameLength(), 0u);
    EXPECT_EQ(AudioProcessor::loadAudio(path, AudioInputOptions::SumChannels{}, 1.0, 0.5).frameLength(), 0u);
    EXPECT_THROW(AudioProcessor::loadAudio(path, AudioInputOptions::SumChannels{}, NAN), WhisperError);

    // Resampled: the same clipping.
    run("sox " + quoted(dir.path / "ramp.wav") + " -r 44100 " + quoted(dir.path / "ramp44.wav"));
    auto resampled = AudioProcessor::loadAudio((dir.path / "ramp44.wav").string(), AudioInputOptions::SumChannels{}, 1.0, 9.0);
    EXPECT_EQ(resampled.frameLength(), 16000u);
    EXPECT_EQ(AudioProcessor::loadAudio((dir.path / "ramp44.wav").string(), AudioInputOptions::SumChannels{}, 3.0).frameLength(), 0u);
}

TEST(AudioProcessorFiles, AFileThatEndsEarlyGivesWhatItHolds) {
    TempDir dir;
    for (const char* rate : {"16000", "44100"}) {
        SCOPED_TRACE(rate);
        fs::path path = dir.path / (std::string("cut") + rate + ".wav");
        run(std::string("sox -n -r ") + rate + " -c 1 -b 16 " + quoted(path) + " synth 2 sine 300 vol 0.3");
        // Cut the data in half while the header still states the whole length.
        const auto size = fs::file_size(path);
        fs::resize_file(path, 44 + (size - 44) / 2);
        PCMBuffer buffer = AudioProcessor::loadAudio(path.string());
        EXPECT_GT(buffer.frameLength(), 15000u);
        EXPECT_LE(buffer.frameLength(), 16100u);
    }
}

// A FLAC stream whose header leaves the length open (total samples 0) loads whole, at 16 kHz and
// through the resampler; libsndfile reports such a length as the largest count there is.
TEST(AudioProcessorFiles, AFileOfUnstatedLengthLoadsWhole) {
    TempDir dir;
    for (const char* rate : {"16000", "22050"}) {
        SCOPED_TRACE(rate);
        const fs::path path = dir.path / (std::string("open") + rate + ".flac");
        run(std::string("sox -n -r ") + rate + " -c 1 -b 16 " + quoted(path) + " synth 1.5 sine 300 vol 0.3");
        std::string bytes;
        {
            std::ifstream in(path, std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        ASSERT_EQ(bytes.substr(0, 4), "fLaC");
        ASSERT_EQ(bytes[4] & 0x7f, 0) << "the first metadata block is the stream info";
        bytes[21] = static_cast<char>(bytes[21] & 0xf0);  // the 36-bit total sample count: 0, unknown
        for (int i = 22; i < 26; ++i) bytes[i] = 0;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;

        const PCMBuffer buffer = AudioProcessor::loadAudio(path.string());
        EXPECT_EQ(buffer.frameLength(), 24000u);
        EXPECT_NEAR(rms(firstChannel(buffer)), 0.3 / std::sqrt(2.0), 0.01);
    }
}

TEST(AudioProcessorFiles, MissingAndDamagedFilesFailWithTheirMessages) {
    TempDir dir;
    const std::string missing = (dir.path / "none.wav").string();
    try {
        AudioProcessor::loadAudio(missing);
        FAIL();
    } catch (const WhisperError& e) {
        EXPECT_EQ(e.kind(), WhisperError::Kind::loadAudioFailed);
        EXPECT_EQ(e.message(), "Resource path does not exist " + missing);
    }
    std::ofstream(dir.path / "junk.wav") << "RIFF nothing like audio";
    EXPECT_THROW(AudioProcessor::loadAudio((dir.path / "junk.wav").string()), audioinput::AudioFileError);

    writeMono16k(dir.path / "ok.wav", std::vector<float>(1600, 0.25f));
    auto results = AudioProcessor::loadAudio({(dir.path / "ok.wav").string(), missing, (dir.path / "ok.wav").string()});
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(std::get<std::vector<float>>(results[0]).size(), 1600u);
    try {
        std::rethrow_exception(std::get<std::exception_ptr>(results[1]));
    } catch (const WhisperError& e) {
        EXPECT_EQ(e.message(), "Resource path does not exist " + missing);
    }
    EXPECT_EQ(std::get<std::vector<float>>(results[2]).size(), 1600u);
}

TEST(AudioProcessorMixing, ChannelModesSelectAndPeakMatch) {
    auto left = sine(1000, 0.5f, 440), right = sine(1000, 0.2f, 300);
    PCMBuffer buffer = stereo(left, right);
    using SC = AudioInputOptions::SpecificChannel;
    using Sum = AudioInputOptions::SumChannels;
    EXPECT_EQ(firstChannel(*AudioProcessor::convertToMono(buffer, SC{1})), right);
    EXPECT_EQ(firstChannel(*AudioProcessor::convertToMono(buffer, SC{5})), left) << "out of range: channel 0";
    {
        LogCapture log;
        EXPECT_EQ(firstChannel(*AudioProcessor::convertToMono(buffer, Sum{std::vector<std::int64_t>{7, 9}})), left);
        EXPECT_NE(std::find(log.lines.begin(), log.lines.end(), "No valid channel indices provided, defaulting to first channel"),
                  log.lines.end());
    }
    auto all = firstChannel(*AudioProcessor::convertToMono(buffer, Sum{}));
    EXPECT_EQ(all, firstChannel(*AudioProcessor::convertToMono(buffer, Sum{std::vector<std::int64_t>{}})));
    EXPECT_NEAR(*std::max_element(all.begin(), all.end()), 0.5f, 1e-4f) << "the sum has the loudest channel's peak";

    auto same = firstChannel(*AudioProcessor::convertToMono(stereo(left, left), Sum{}));
    EXPECT_NEAR(*std::max_element(same.begin(), same.end()), 0.5f, 1e-6f);

}

// A sum is scaled by the loudest channel's peak over its own peak, the latter taken as at least 1e-4:
// channels in near-opposite phase come out at the loudest peak, a residue below 1e-4 is raised by
// 0.5 / 1e-4 only, and silence stays silence.
TEST(AudioProcessorMixing, NearlyCancellingChannelsAreScaledUnderTheSmallPeakGuard) {
    const auto left = sine(1000, 0.5f, 440);
    struct Case {
        float residue;  // the sum's alternating leftover
        float expectedPeak;
    };
    for (const Case& c : {Case{1e-3f, 0.5f}, Case{2e-4f, 0.5f}, Case{1e-5f, 0.05f}}) {
        auto inverted = left;
        for (std::size_t i = 0; i < inverted.size(); ++i) inverted[i] = -left[i] + (i % 2 ? c.residue : -c.residue);
        auto mixed = firstChannel(*AudioProcessor::convertToMono(stereo(left, inverted), AudioInputOptions::SumChannels{}));
        float peak = 0;
        for (float x : mixed) peak = std::max(peak, std::fabs(x));
        EXPECT_NEAR(peak, c.expectedPeak, c.expectedPeak * 0.02f) << "residue " << c.residue;
    }
    const std::vector<float> silence(100, 0.0f);
    EXPECT_EQ(firstChannel(*AudioProcessor::convertToMono(stereo(silence, silence), AudioInputOptions::SumChannels{})), silence);
}

TEST(AudioProcessorBuffers, ResamplingABufferRoundsItsLengthAndKeepsTheTone) {
    PCMBuffer mono({44100, 1, audioinput::SampleType::float32, false}, 44101);
    auto tone = sine(44101, 0.4f, 1000, 44100);
    std::copy(tone.begin(), tone.end(), mono.floatChannelData()[0]);
    mono.setFrameLength(44101);
    LogCapture log;
    auto out = AudioProcessor::resampleAudio(mono, 16000, 1);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->frameLength(), 16000u) << "16000.36 rounds to 16000";
    EXPECT_NE(std::find_if(log.lines.begin(), log.lines.end(),
                           [](const std::string& l) { return l.rfind("Rounding buffer frame capacity from 16000.36", 0) == 0; }),
              log.lines.end());
    auto samples = firstChannel(std::move(*out));
    std::vector<float> middle(samples.begin() + 1000, samples.end() - 1000);
    EXPECT_NEAR(crossingsPerSecond(middle, 16000), 2000.0, 4.0);
    EXPECT_NEAR(rms(middle), 0.4f / std::sqrt(2.0f), 0.01f);
}

TEST(AudioProcessorBuffers, PadOrTrimAndBufferCopies) {
    std::vector<float> x(100);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i);
    EXPECT_FALSE(AudioProcessor::padOrTrimAudio(x, 100, 20));
    EXPECT_FALSE(AudioProcessor::padOrTrimAudio(x, -1, 20));
    auto window = AudioProcessor::padOrTrimAudio(x, 90, 20);
    ASSERT_TRUE(window);
    ASSERT_EQ(window->count(), 20);
    const float* w = window->typedData<float>();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(w[i], i < 10 ? 90.0f + i : 0.0f) << i;
    auto trimmed = AudioProcessor::padOrTrimAudio(x, 0, 30);
    EXPECT_EQ(trimmed->typedData<float>()[29], 29.0f);

    PCMBuffer buffer({16000, 1, audioinput::SampleType::float32, false}, 3000);
    const auto tone = sine(3000, 0.3f, 100);
    std::copy_n(tone.begin(), 3000, buffer.floatChannelData()[0]);
    buffer.setFrameLength(2500);
    auto copied = AudioProcessor::convertBufferToArray(buffer, 1024);
    EXPECT_EQ(copied, std::vector<float>(tone.begin(), tone.begin() + 2500));
    EXPECT_EQ(buffer.floatChannelData()[0][2499], 0.0f) << "the buffer is consumed";
    EXPECT_THROW(AudioProcessor::convertBufferToArray(buffer, 0), std::invalid_argument);

    // The image takes the samples' bytes and never reads past them.
    auto image = AudioProcessor::createWaveformImage(std::vector<float>{1.0f, -1.0f}, 2, 2);
    ASSERT_EQ(image.pixels.size(), 4u);
    EXPECT_EQ(image.pixels[0], 0x3f800000u);
    EXPECT_EQ(image.pixels[1], 0xbf800000u);
    EXPECT_EQ(image.pixels[3], 0u);
}

#include "AudioInput/Converter.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace audioinput;

namespace {

std::vector<float> sine(std::size_t frames, std::uint32_t channels, double rate, double freq, float amp) {
    std::vector<float> out(frames * channels);
    for (std::size_t i = 0; i < frames; ++i)
        for (std::uint32_t c = 0; c < channels; ++c)
            out[i * channels + c] = amp * static_cast<float>(std::sin(2 * M_PI * freq * static_cast<double>(i) / rate));
    return out;
}

double rms(const std::vector<float>& v, std::size_t skip) {
    double sum = 0;
    for (std::size_t i = skip; i < v.size(); ++i) sum += v[i] * v[i];
    return std::sqrt(sum / static_cast<double>(v.size() - skip));
}

}  // namespace

TEST(AudioBuffer, StoresEverySampleTypeAndLayout) {
    for (SampleType type : {SampleType::float32, SampleType::float64, SampleType::int16, SampleType::int32}) {
        for (bool interleaved : {false, true}) {
            AudioFormat f{44100, 2, type, interleaved};
            AudioBuffer b = AudioBuffer::fromInterleaved(f, {0.5f, -0.25f, 1.5f, -1.0f});
            ASSERT_EQ(b.frameCount(), 2u);
            EXPECT_NEAR(b.sample(0, 0), 0.5f, 1e-4);
            EXPECT_NEAR(b.sample(0, 1), -0.25f, 1e-4);
            EXPECT_NEAR(b.sample(1, 0), type == SampleType::float32 || type == SampleType::float64 ? 1.5f : 1.0f, 1e-4)
                << "integer types clip";
            EXPECT_NEAR(b.sample(1, 1), -1.0f, 1e-4);
            EXPECT_EQ(b.slice(1, 5).frameCount(), 1u);
        }
    }
}

TEST(Converter, StereoInt16At48kBecomesMono16k) {
    // Many tap-sized buffers in a row, as a microphone delivers them: the output rate holds across
    // buffer boundaries and the level of a tone survives the mixdown and resampling.
    AudioFormat f{48000, 2, SampleType::int16, true};
    Converter conv(f, 16000);
    auto all = sine(48000, 2, 48000, 440, 0.5f);
    std::vector<float> out;
    for (std::size_t pos = 0; pos < 48000; pos += 4096) {
        std::size_t n = std::min<std::size_t>(4096, 48000 - pos);
        std::vector<float> chunk(all.begin() + pos * 2, all.begin() + (pos + n) * 2);
        auto part = conv.convert(AudioBuffer::fromInterleaved(f, chunk));
        out.insert(out.end(), part.begin(), part.end());
    }
    // The resampler holds back its filter delay (about 20 ms) until the stream ends.
    EXPECT_NEAR(static_cast<double>(out.size()), 16000, 400);
    EXPECT_NEAR(rms(out, 500), 0.5 / std::sqrt(2.0), 0.01);
    auto tail = conv.flush();
    EXPECT_NEAR(static_cast<double>(out.size() + tail.size()), 16000, 2);
}

TEST(Converter, SameRateOnlyMixesDown) {
    AudioFormat f{16000, 2, SampleType::float32, false};
    Converter conv(f, 16000);
    auto out = conv.convert(AudioBuffer::fromInterleaved(f, {1.0f, 0.0f, 0.5f, 0.5f}));
    EXPECT_EQ(out, (std::vector<float>{0.5f, 0.5f}));
    EXPECT_TRUE(conv.convert(AudioBuffer(f, 0)).empty());
}

TEST(Converter, RejectsBadFormats) {
    EXPECT_THROW(Converter(AudioFormat{0, 1}, 16000), std::invalid_argument);
    EXPECT_THROW(Converter(AudioFormat{48000, 0}, 16000), std::invalid_argument);
    Converter conv(AudioFormat{48000, 1}, 16000);
    EXPECT_THROW(conv.convert(AudioBuffer(AudioFormat{44100, 1}, 10)), std::invalid_argument);
}

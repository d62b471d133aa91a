// Audio files made at test time: speech with espeak-ng, tones and conversions with sox.
#pragma once

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AudioInput/AudioFile.hpp"

namespace zadezariro::testsupport {

// Runs a shell command; fails the test when it does not exit 0.
inline void run(const std::string& command) {
    ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
}

inline std::string quoted(const std::filesystem::path& path) {
    std::string text(1, '\'');
    text.append(path.string()).push_back('\'');
    return text;
}

// Writes mono 16 kHz float samples as a 32-bit float WAV (exact round trip).
inline void writeMono16k(const std::filesystem::path& path, const std::vector<float>& samples, double rate = 16000) {
    audioinput::AudioFileData data{rate, 1, samples};
    audioinput::writeWavFile(path.string(), data);
}

// Speech, silence, speech: "hello there ..." then `pause` seconds of silence then "good morning
// ...", 16 kHz mono 16-bit. `firstEnd` receives the sample where the first phrase's file ends.
inline std::filesystem::path speechWithPause(const std::filesystem::path& dir, double pause = 2.0,
                                             std::size_t* firstEnd = nullptr) {
    auto a = dir / "a.wav", b = dir / "b.wav", a16 = dir / "a16.wav", b16 = dir / "b16.wav";
    auto silence = dir / "silence.wav", out = dir / "speech-pause.wav";
    run("espeak-ng -w " + quoted(a) + " 'hello there, how are you'");
    run("espeak-ng -w " + quoted(b) + " 'good morning everybody'");
    run("sox " + quoted(a) + " -r 16000 -c 1 -b 16 " + quoted(a16));
    run("sox " + quoted(b) + " -r 16000 -c 1 -b 16 " + quoted(b16));
    run("sox -n -r 16000 -c 1 -b 16 " + quoted(silence) + " trim 0 " + std::to_string(pause));
    run("sox " + quoted(a16) + " " + quoted(silence) + " " + quoted(b16) + " " + quoted(out));
    if (firstEnd) *firstEnd = audioinput::readAudioFile(a16.string()).interleaved.size();
    return out;
}

// Zero crossings per second of a signal: twice the frequency of a sine.
inline double crossingsPerSecond(const std::vector<float>& x, double rate) {
    int crossings = 0;
    for (std::size_t i = 1; i < x.size(); ++i)
        if ((x[i - 1] < 0) != (x[i] < 0)) ++crossings;
    return crossings / (static_cast<double>(x.size()) / rate);
}

inline float rms(const std::vector<float>& x, std::size_t from = 0, std::size_t to = SIZE_MAX) {
    to = std::min(to, x.size());
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(x[i]) * x[i];
    return to > from ? static_cast<float>(std::sqrt(sum / static_cast<double>(to - from))) : 0.0f;
}

}  // namespace zadezariro::testsupport

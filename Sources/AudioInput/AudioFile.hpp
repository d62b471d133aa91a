// Reading whole audio files (WAV, FLAC, AIFF, Ogg... whatever libsndfile reads).
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace audioinput {

struct AudioFileData {
    double sampleRate = 0;
    std::uint32_t channels = 0;
    std::vector<float> interleaved;  // frames * channels samples in [-1, 1]
};

class AudioFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the whole file. Throws AudioFileError naming the file when it cannot be opened or read.
AudioFileData readAudioFile(const std::string& path);

// Writes interleaved float samples as a 16-bit PCM WAV file. Throws AudioFileError on failure.
void writeWavFile(const std::string& path, const AudioFileData& data);

}  // namespace audioinput

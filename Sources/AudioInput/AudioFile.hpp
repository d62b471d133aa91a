// Reading whole audio files (WAV, FLAC, AIFF, Ogg... whatever libsndfile reads).
#pragma once

#include <cstdint>
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

// The most frames readAudioFile takes from one file.
inline constexpr std::uint64_t maxAudioFileFrames = (std::uint64_t{1} << 32) - 1;

// Reads the whole file block by block, so memory follows the frames the file really holds and not
// the length its header states. Throws AudioFileError naming the file when it cannot be opened,
// holds no channels or no rate, fails while decoding, delivers another number of frames than its
// header states, or holds more than maxAudioFileFrames frames. A header that leaves the length
// unknown is read to the end of the data.
AudioFileData readAudioFile(const std::string& path);

// Writes interleaved float samples as a 16-bit PCM WAV file. Throws AudioFileError on failure.
void writeWavFile(const std::string& path, const AudioFileData& data);

}  // namespace audioinput

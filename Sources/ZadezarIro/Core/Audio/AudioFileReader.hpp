// An audio file open for reading through libsndfile (WAV, AIFF, FLAC, Ogg Vorbis/Opus, MP3, ...):
// its rate, channel count and length, a read position, and reads of float frames into
// non-interleaved PCM buffers. Not thread-safe; one reader per thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AudioInput/AudioFile.hpp"
#include "ZadezarIro/Core/Audio/PCMBuffer.hpp"

namespace zadezariro {

class AudioFileReader {
public:
    // Opens the file. Throws audioinput::AudioFileError with libsndfile's reason when it cannot be
    // opened or holds no channels or no rate.
    explicit AudioFileReader(const std::string& path);
    ~AudioFileReader();
    AudioFileReader(const AudioFileReader&) = delete;
    AudioFileReader& operator=(const AudioFileReader&) = delete;

    double sampleRate() const { return sampleRate_; }
    std::uint32_t channelCount() const { return channels_; }
    // Frames the file states it holds (a truncated file may deliver fewer); counted by reading when
    // its header leaves the length open.
    std::int64_t length() const { return length_; }
    // The processing format: 32-bit float, non-interleaved, the file's rate and channels.
    audioinput::AudioFormat processingFormat() const;

    std::int64_t framePosition() const { return position_; }
    // Moves the read position (clamped to [0, length]). Throws AudioFileError when the file refuses.
    void setFramePosition(std::int64_t frame);

    // Reads up to `frames` frames (at most the buffer's capacity) into `buffer` from its first frame,
    // sets its frame length to the frames read and advances the position by them. Returns the number
    // read; 0 at the end of the data. Throws AudioFileError on a read error or a buffer whose format
    // is not the processing format.
    std::uint32_t read(PCMBuffer& buffer, std::uint32_t frames);

private:
    // The frames of a file whose header leaves its length open: read once, then back at the start.
    std::int64_t countFrames();

    struct Handle;
    std::unique_ptr<Handle> handle_;
    std::string path_;
    double sampleRate_ = 0;
    std::uint32_t channels_ = 0;
    std::int64_t length_ = 0;
    std::int64_t position_ = 0;
    std::vector<float> interleaved_;
};

}  // namespace zadezariro

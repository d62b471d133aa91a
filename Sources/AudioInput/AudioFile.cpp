#include "AudioInput/AudioFile.hpp"

#include <sndfile.h>

#include <algorithm>
#include <string>
#include <vector>

namespace audioinput {

namespace {

// Closes the file however reading ends.
struct OpenFile {
    SNDFILE* handle;
    ~OpenFile() { sf_close(handle); }
};

}  // namespace

AudioFileData readAudioFile(const std::string& path) {
    SF_INFO info{};
    SNDFILE* handle = sf_open(path.c_str(), SFM_READ, &info);
    if (!handle) throw AudioFileError("cannot open audio file " + path + ": " + sf_strerror(nullptr));
    OpenFile file{handle};
    if (info.channels <= 0 || info.samplerate <= 0)
        throw AudioFileError("cannot open audio file " + path + ": no channels or no sample rate");
    AudioFileData data;
    data.sampleRate = info.samplerate;
    data.channels = static_cast<std::uint32_t>(info.channels);

    constexpr sf_count_t blockFrames = 65536;
    std::vector<float> block(static_cast<std::size_t>(blockFrames) * data.channels);
    std::uint64_t frames = 0;
    for (;;) {
        const sf_count_t got = sf_readf_float(handle, block.data(), blockFrames);
        if (got <= 0) break;
        frames += static_cast<std::uint64_t>(got);
        if (frames > maxAudioFileFrames)
            throw AudioFileError("cannot read audio file " + path + ": more than " + std::to_string(maxAudioFileFrames) + " frames");
        data.interleaved.insert(data.interleaved.end(), block.begin(), block.begin() + got * info.channels);
    }
    if (sf_error(handle) != SF_ERR_NO_ERROR)
        throw AudioFileError("cannot read audio file " + path + ": " + sf_strerror(handle));
    // SF_COUNT_MAX stands for a length the header leaves open.
    if (info.frames != SF_COUNT_MAX && static_cast<std::uint64_t>(std::max<sf_count_t>(info.frames, 0)) != frames)
        throw AudioFileError("cannot read audio file " + path + ": it holds " + std::to_string(frames) + " of the " +
                             std::to_string(info.frames) + " frames its header states");
    return data;
}

void writeWavFile(const std::string& path, const AudioFileData& data) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(data.sampleRate);
    info.channels = static_cast<int>(data.channels);
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) throw AudioFileError("cannot create audio file " + path + ": " + sf_strerror(nullptr));
    sf_count_t frames = data.channels ? static_cast<sf_count_t>(data.interleaved.size() / data.channels) : 0;
    sf_count_t written = sf_writef_float(file, data.interleaved.data(), frames);
    sf_close(file);
    if (written != frames) throw AudioFileError("cannot write audio file " + path);
}

}  // namespace audioinput

#include "AudioInput/AudioFile.hpp"

#include <sndfile.h>

namespace audioinput {

AudioFileData readAudioFile(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) throw AudioFileError("cannot open audio file " + path + ": " + sf_strerror(nullptr));
    AudioFileData data;
    data.sampleRate = info.samplerate;
    data.channels = static_cast<std::uint32_t>(info.channels);
    data.interleaved.resize(static_cast<std::size_t>(info.frames) * info.channels);
    sf_count_t read = sf_readf_float(file, data.interleaved.data(), info.frames);
    sf_close(file);
    if (read != info.frames) throw AudioFileError("cannot read audio file " + path);
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

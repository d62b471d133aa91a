#include "ZadezarIro/Core/Audio/AudioFileReader.hpp"

#include <sndfile.h>

#include <algorithm>

namespace zadezariro {

struct AudioFileReader::Handle {
    SNDFILE* file = nullptr;
    ~Handle() {
        if (file) sf_close(file);
    }
};

AudioFileReader::AudioFileReader(const std::string& path) : handle_(std::make_unique<Handle>()), path_(path) {
    SF_INFO info{};
    handle_->file = sf_open(path.c_str(), SFM_READ, &info);
    if (!handle_->file)
        throw audioinput::AudioFileError("cannot open audio file " + path + ": " + sf_strerror(nullptr));
    if (info.channels <= 0 || info.samplerate <= 0)
        throw audioinput::AudioFileError("cannot open audio file " + path + ": no channels or no sample rate");
    sampleRate_ = info.samplerate;
    channels_ = static_cast<std::uint32_t>(info.channels);
    length_ = std::max<sf_count_t>(info.frames, 0);
    // A stream header may leave the length open (libsndfile then reports the largest count):
    // count the frames by reading them once, so that ranges and the length limit see the real one.
    if (info.frames == SF_COUNT_MAX) length_ = countFrames();
    // Integer data read as float lands in [-1, 1); float files are taken as they are.
    sf_command(handle_->file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
}

AudioFileReader::~AudioFileReader() = default;

std::int64_t AudioFileReader::countFrames() {
    // Counting stops past the longest file the loader takes (2^32 frames); it refuses longer ones.
    constexpr sf_count_t LIMIT = sf_count_t{1} << 32, BLOCK = 65536;
    std::vector<float> block(static_cast<std::size_t>(BLOCK) * channels_);
    sf_count_t total = 0;
    for (sf_count_t got; total <= LIMIT && (got = sf_readf_float(handle_->file, block.data(), BLOCK)) > 0;) total += got;
    if (sf_seek(handle_->file, 0, SEEK_SET) < 0) {
        // Some streams cannot seek back: open the file again at its start.
        SF_INFO info{};
        SNDFILE* again = sf_open(path_.c_str(), SFM_READ, &info);
        if (!again) throw audioinput::AudioFileError("cannot read audio file " + path_ + " again: " + sf_strerror(nullptr));
        sf_close(handle_->file);
        handle_->file = again;
    }
    return total;
}

audioinput::AudioFormat AudioFileReader::processingFormat() const {
    return {sampleRate_, channels_, audioinput::SampleType::float32, false};
}

void AudioFileReader::setFramePosition(std::int64_t frame) {
    frame = std::clamp<std::int64_t>(frame, 0, length_);
    if (sf_seek(handle_->file, frame, SEEK_SET) < 0)
        throw audioinput::AudioFileError("cannot seek in audio file " + path_ + ": " + sf_strerror(handle_->file));
    position_ = frame;
}

std::uint32_t AudioFileReader::read(PCMBuffer& buffer, std::uint32_t frames) {
    if (!(buffer.format() == processingFormat()))
        throw audioinput::AudioFileError("buffer format " + buffer.format().description() + " differs from the file's");
    frames = std::min(frames, buffer.frameCapacity());
    interleaved_.resize(static_cast<std::size_t>(frames) * channels_);
    sf_count_t got = frames ? sf_readf_float(handle_->file, interleaved_.data(), frames) : 0;
    if (got < 0 || (got == 0 && sf_error(handle_->file) != SF_ERR_NO_ERROR && position_ < length_))
        throw audioinput::AudioFileError("cannot read audio file " + path_ + ": " + sf_strerror(handle_->file));
    auto planes = buffer.floatChannelData();
    for (sf_count_t f = 0; f < got; ++f)
        for (std::uint32_t c = 0; c < channels_; ++c) planes[c][f] = interleaved_[f * channels_ + c];
    buffer.setFrameLength(static_cast<std::uint32_t>(got));
    position_ += got;
    return static_cast<std::uint32_t>(got);
}

}  // namespace zadezariro

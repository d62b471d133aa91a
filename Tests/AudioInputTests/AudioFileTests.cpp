#include "AudioInput/AudioFile.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

using namespace audioinput;
namespace fs = std::filesystem;

namespace {

struct AudioFileScratch {
    fs::path path;
    AudioFileScratch() {
        std::string pattern = (fs::temp_directory_path() / "audiofile-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~AudioFileScratch() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

std::vector<float> ramp16(std::size_t n) {
    std::vector<float> x(n);
    // Values a 16-bit file holds exactly.
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(static_cast<int>(i % 2000) - 1000) / 32768.0f;
    return x;
}

// A 16-bit mono FLAC of the samples.
void writeFlac(const fs::path& path, const std::vector<float>& samples) {
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 1;
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    ASSERT_EQ(sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size())), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
}

// Rewrites the 36-bit total sample count of a FLAC's stream info (0 = unknown) and keeps the first
// `keep` bytes of the file (all when 0).
void restateFlacLength(const fs::path& path, std::uint64_t totalSamples, std::size_t keep = 0) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 42u);
    ASSERT_EQ(bytes.substr(0, 4), "fLaC");
    ASSERT_EQ(bytes[4] & 0x7f, 0) << "the first metadata block is the stream info";
    bytes[21] = static_cast<char>((bytes[21] & 0xf0) | ((totalSamples >> 32) & 0x0f));
    for (int i = 0; i < 4; ++i) bytes[22 + i] = static_cast<char>((totalSamples >> (24 - 8 * i)) & 0xff);
    if (keep) bytes.resize(keep);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

// Frames are taken as the file holds them, across read blocks and channels.
TEST(ReadAudioFile, ReadsEveryFrameOfALongMultiChannelFile) {
    AudioFileScratch dir;
    const auto path = (dir.path / "long.wav").string();
    const std::vector<float> interleaved = ramp16(2 * 150001);
    writeWavFile(path, {16000, 2, interleaved});
    const AudioFileData data = readAudioFile(path);
    EXPECT_EQ(data.sampleRate, 16000);
    EXPECT_EQ(data.channels, 2u);
    EXPECT_EQ(data.interleaved, interleaved);
}

// A length the header leaves open is read to the end of the data; a stated length that the data
// does not hold is a damaged file, reported without allocating for the stated length.
TEST(ReadAudioFile, HeaderLengthsDoNotDecideWhatIsAllocated) {
    AudioFileScratch dir;
    const auto samples = ramp16(5000);
    const auto unknown = dir.path / "unknown.flac";
    writeFlac(unknown, samples);
    restateFlacLength(unknown, 0);
    EXPECT_EQ(readAudioFile(unknown.string()).interleaved, samples);

    struct Case {
        const char* name;
        std::size_t keep;
    } cases[] = {{"full data", 0}, {"stream info only (42 bytes)", 42}};
    for (const auto& c : cases) {
        const auto path = dir.path / (std::string(c.name) + ".flac");
        writeFlac(path, samples);
        restateFlacLength(path, 10'287'656'993ULL, c.keep);
        try {
            readAudioFile(path.string());
            ADD_FAILURE() << c.name << ": read";
        } catch (const AudioFileError& e) {
            EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos) << c.name << ": " << e.what();
        }
    }
}

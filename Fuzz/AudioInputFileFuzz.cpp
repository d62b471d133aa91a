// The AudioInput file reader given a file of arbitrary bytes: it reads it or throws AudioFileError,
// never crashes, never lets another error escape, and never returns a partial frame.
#include <cstdint>
#include <string>

#include "AudioInput/AudioFile.hpp"
#include "FuzzInput.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::writeScratchFile(data, size, "audioinputfuzz");
    if (path.empty()) return 0;
    try {
        const audioinput::AudioFileData read = audioinput::readAudioFile(path);
        FUZZ_CHECK(read.channels > 0 && read.sampleRate > 0 && read.interleaved.size() % read.channels == 0);
    } catch (const audioinput::AudioFileError&) {
    }
    return 0;
}

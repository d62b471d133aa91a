// The audio file loader given a file of arbitrary bytes: it must load it or throw, never crash.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/talkweft-audiofuzz-" + std::to_string(getpid()) + ".bin";
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    } else {
        return 0;
    }
    try {
        auto samples = zadezariro::AudioProcessor::loadAudioAsFloatArray(path, zadezariro::AudioInputOptions::SumChannels{}, 0.0, 30.0);
        (void)samples;
    } catch (const std::exception&) {
    }
    return 0;
}

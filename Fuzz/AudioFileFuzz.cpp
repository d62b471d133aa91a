// The audio file loader given a file of arbitrary bytes: it must load it or throw, never crash.
#include <cstdint>
#include <string>

#include "FuzzInput.hpp"
#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::writeScratchFile(data, size, "audiofuzz");
    if (path.empty()) return 0;
    try {
        auto samples = zadezariro::AudioProcessor::loadAudioAsFloatArray(path, zadezariro::AudioInputOptions::SumChannels{}, 0.0, 30.0);
        (void)samples;
    } catch (const std::exception&) {
    }
    return 0;
}

// The default speech model in a support folder, present but damaged: preparing it fails at once,
// without the hub, so a started talkweft reaches "Speech model failed to load" quickly.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace talkweft::testing_support {

inline void writeDamagedSpeechModel(const std::filesystem::path& supportFolder) {
    const std::filesystem::path model =
        supportFolder / "Models/zadezariro/models/zevidirev/zadezariro-coreml/openai_whisper-large-v3-v20240930_626MB";
    std::filesystem::create_directories(model);
    std::ofstream(model / "config.json") << "{}";
    for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder"}) {
        const std::filesystem::path part = model / (std::string(name) + ".mlmodelc");
        std::filesystem::create_directories(part);
        std::ofstream(part / "model.json") << "damaged";
        std::ofstream(part / "weights.bin") << "damaged";
    }
}

}  // namespace talkweft::testing_support

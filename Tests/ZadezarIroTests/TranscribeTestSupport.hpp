// Helpers of the transcription tests: the engine's components loaded from a test model folder of
// width 384 whose decoder speaks a token script, scripts in the English vocabulary, and audio.
#pragma once

#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DecodingTestSupport.hpp"
#include "ZadezarIro/Core/AudioEncoder.hpp"
#include "ZadezarIro/Core/FeatureExtractor.hpp"
#include "ZadezarIro/Core/Text/SegmentSeeker.hpp"
#include "ZadezarIro/Core/TextDecoder.hpp"
#include "ZadezarIro/Core/TranscribeTask.hpp"

namespace zadezariro::testsupport {

// The components of one engine over a scripted model folder.
struct ScriptedEngine {
    std::shared_ptr<FeatureExtractor> extractor = std::make_shared<FeatureExtractor>();
    std::shared_ptr<AudioEncoder> encoder = std::make_shared<AudioEncoder>();
    std::shared_ptr<TextDecoder> decoder = std::make_shared<TextDecoder>();
    std::shared_ptr<SegmentSeeker> seeker = std::make_shared<SegmentSeeker>();
    std::shared_ptr<const WhisperTokenizer> tokenizer = englishTokenizer();

    std::unique_ptr<TranscribeTask> task(std::shared_ptr<darori::Progress> progress = nullptr) const {
        return std::make_unique<TranscribeTask>(TranscriptionTimings{}, std::move(progress), nullptr, encoder, extractor, seeker,
                                                decoder, tokenizer);
    }
};

// Width 384 and the English vocabulary like the tiny model, with one encoder layer so that a
// window encodes quickly. Folders are written once per script and shared by the test program.
inline ScriptedEngine scriptedEngine(const std::vector<std::int64_t>& script) {
    static std::mutex mutex;
    static TempDir root;
    static std::map<std::vector<std::int64_t>, std::filesystem::path> folders;
    std::filesystem::path folder;
    {
        std::lock_guard lock(mutex);
        auto& known = folders[script];
        if (known.empty()) {
            known = root.path / std::to_string(folders.size());
            mlruntime::testmodels::FolderOptions options;
            options.size = *mlruntime::testmodels::namedSize("tiny");
            options.size.layers = 1;
            options.scripted = true;
            options.script = script;
            mlruntime::testmodels::writeModelFolder(known, options);
        }
        folder = known;
    }
    ScriptedEngine engine;
    engine.extractor->loadModel(folder / "MelSpectrogram.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    engine.encoder->loadModel(folder / "AudioEncoder.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    engine.decoder->loadModel(folder / "TextDecoder.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    engine.decoder->setTokenizer(engine.tokenizer);
    return engine;
}

// The id of a timestamp token at `seconds` from the window start.
inline std::int64_t timestamp(double seconds) {
    return englishTokenizer()->specialTokens().timeTokenBegin + std::llround(seconds / 0.02);
}

// The ids of a text in the English vocabulary (no special tokens).
inline std::vector<std::int64_t> words(const std::string& text) {
    std::vector<std::int64_t> ids;
    const auto begin = englishTokenizer()->specialTokens().specialTokenBegin;
    for (int id : englishTokenizer()->encode(text))
        if (id < begin) ids.push_back(id);
    return ids;
}

// Pieces of a script in order: timestamps (seconds) and texts.
struct ScriptPiece {
    ScriptPiece(double seconds) : ids{timestamp(seconds)} {}
    ScriptPiece(const char* text) : ids{words(text)} {}
    std::vector<std::int64_t> ids;
};
inline std::vector<std::int64_t> script(std::initializer_list<ScriptPiece> pieces) {
    std::vector<std::int64_t> ids;
    for (const auto& piece : pieces) ids.insert(ids.end(), piece.ids.begin(), piece.ids.end());
    return ids;
}

// `seconds` of a 440 Hz tone at amplitude 0.3 (voice to the energy detector).
inline std::vector<float> tone(double seconds, float amplitude = 0.3f) {
    std::vector<float> samples(static_cast<size_t>(std::llround(seconds * 16000)));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = amplitude * std::sin(2.0f * static_cast<float>(M_PI) * 440.0f * static_cast<float>(i) / 16000.0f);
    return samples;
}

}  // namespace zadezariro::testsupport

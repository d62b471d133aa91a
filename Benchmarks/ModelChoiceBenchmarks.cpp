// Choosing a speech model: for each Whisper model's shape, the time from the dictation chord's
// release to the text in the focused field for a 5 s utterance, and the memory the loaded model
// takes. Each shape is a generated checkpoint in the hub's standard layout (random weights, the
// published widths, depths, vocabularies and weight types), imported through the same conversion as
// `talkweft --import-model` and run by the whole application on the simulated desktop on the real
// clock, with the real engine.
//
// Random weights decide nothing about the words, so the decoding is held to the length of a
// 20-word sentence (25 tokens, no temperature fallback): every shape decodes as many tokens as the
// utterance would give. Everything else is the application's own path.
//
// The shapes to run are the arguments after "--shapes=" (comma separated; default
// tiny,base,small); the checkpoint and model of each are written below $TMPDIR and removed after
// it, so medium and large-v3 need some 7 GB of disk and as much memory, one at a time.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

#include "MLRuntime/WhisperTestModels.hpp"
#include "DictationDesktop.hpp"
#include "Talkweft/Controller.hpp"
#include "Talkweft/Paths.hpp"
#include "Talkweft/SettingsStore.hpp"
#include "Talkweft/Transcriber.hpp"
#include "ZadezarIro/Core/ModelImport.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"

using namespace talkweft;
namespace fs = std::filesystem;
namespace testmodels = mlruntime::testmodels;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int64_t UTTERANCE_TOKENS = 25;  // a 20-word sentence
const fs::path TOKENIZER_FIXTURE = fs::path(TALKWEFT_SOURCE_DIR) / "../shared/fixtures/tokenizer-en";
fs::path root;

struct Shape {
    testmodels::ModelSize size;
    mlruntime::DataType weights;  // as published
};

// The published shapes (large-v3-turbo: large-v3's encoder, a 4-layer decoder), each with the
// English-only vocabulary of the tokenizer fixture (one or two rows fewer than the multilingual
// ones: the same cost).
const std::map<std::string, Shape>& shapes() {
    using mlruntime::DataType;
    static const std::map<std::string, Shape> all{
        {"tiny", {{"tiny", 80, 384, 6, 4, 51864}, DataType::Float32}},
        {"base", {{"base", 80, 512, 8, 6, 51864}, DataType::Float32}},
        {"small", {{"small", 80, 768, 12, 12, 51864}, DataType::Float32}},
        {"medium", {{"medium", 80, 1024, 16, 24, 51864}, DataType::Float32}},
        {"large-v3", {{"large-v3", 128, 1280, 20, 32, 51864}, DataType::Float16}},
        {"large-v3-turbo", {{"large-v3-turbo", 128, 1280, 20, 32, 51864, 4}, DataType::Float16}},
    };
    return all;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The process's resident memory, in MB.
double residentMB() {
    std::ifstream in("/proc/self/statm");
    long pages = 0, resident = 0;
    in >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// The real engine, its decoding held to the utterance's length; keeps the timings of its last
// transcription.
class UtteranceEngine : public benchmarks::TimedEngine {
public:
    using TimedEngine::TimedEngine;

protected:
    void adjust(std::optional<zadezariro::DecodingOptions>& options) const override {
        if (options) {
            options->sampleLength = UTTERANCE_TOKENS;
            options->temperatureFallbackCount = 0;
        }
    }
};

// Writes the shape's checkpoint, imports it as the model `name`, removes the checkpoint.
void importShape(const Shape& shape, const std::string& name) {
    testmodels::CheckpointOptions options;
    options.size = shape.size;
    options.weightType = shape.weights;
    options.talkative = true;
    options.tokenizerFolder = TOKENIZER_FIXTURE;
    const fs::path checkpoint = root / ("checkpoint-" + name);
    testmodels::writeCheckpoint(checkpoint, options);
    zadezariro::ModelImport::Options importOptions;
    importOptions.base = Paths::models();
    zadezariro::ModelImport::importModel(checkpoint.string(), name, importOptions);
    // The tokenizer beside the model, where the engine looks for it.
    const fs::path tokenizer = Paths::models() / "models/openai/whisper-tiny.en";
    fs::create_directories(tokenizer);
    for (const char* file : {"tokenizer.json", "tokenizer_config.json"})
        fs::copy_file(TOKENIZER_FIXTURE / file, tokenizer / file, fs::copy_options::overwrite_existing);
    fs::remove_all(checkpoint);
}

void BM_ReleaseToText(benchmark::State& state, const std::string& shapeName) {
    const Shape& shape = shapes().at(shapeName);
    // Named as tiny.en so that the engine finds the English tokenizer; the shape is the checkpoint's.
    const std::string model = "openai_whisper-tiny.en";
    const auto importStart = Clock::now();
    importShape(shape, model);
    const double importSeconds = secondsSince(importStart);

    benchmarks::DictationDesktop session;
    auto& desktop = session.desktop;
    auto& audio = session.audio;
    auto& field = session.field;
    desktop.loop().setRunUntilLimit(std::chrono::minutes(10));

    SettingsStore settings(desktop.defaults());
    settings.update([&](Settings& s) {
        s.dictateChord = {ModKey::rightOption};
        s.captureScreenshot = false;
        s.whisperModel = model;
        s.language = "en";
    });
    std::shared_ptr<UtteranceEngine> engine;
    auto transcriber = std::make_shared<WhisperTranscriber>(model, Paths::models(), [&engine](const zadezariro::ZadezarIroConfig& config) {
        engine = zadezariro::ZadezarIro::create<UtteranceEngine>(config);
        return engine;
    });
    const double before = residentMB();
    const auto loadStart = Clock::now();
    {
        Controller controller(settings, transcriber);
        controller.store.root = root / "History";
        controller.hotkeys.start();
        controller.prepareTranscriber();
        controller.waitForIdle();
        const double loadSeconds = secondsSince(loadStart);
        const double loaded = residentMB();
        if (!engine) {
            state.SkipWithError("the engine did not load");
            return;
        }
        double transcribeSeconds = 0;
        zadezariro::TranscriptionTimings timings;
        int landed = 0;
        std::vector<double> times;
        for (auto _ : state) {
            field->setText("");
            desktop.keyboard().sendFlags(modKeyMask(ModKey::rightOption));
            audio.playTone(5.0, 0.3f);
            desktop.loop().advance(platform::seconds(5.0));
            const auto released = Clock::now();
            desktop.keyboard().sendFlags(0);
            // The cycle ends with the paste (or, for text the application drops, with its note).
            desktop.loop().runUntil([&] { return !field->text().empty() || (!controller.isBusy() && secondsSince(released) > 0.05); });
            times.push_back(secondsSince(released));
            state.SetIterationTime(times.back());
            if (!field->text().empty()) ++landed;
            controller.waitForIdle();
            std::lock_guard lock(engine->mutex);
            transcribeSeconds = engine->seconds;
            timings = engine->timings;
        }
        std::sort(times.begin(), times.end());
        state.counters["median_ms"] = times.empty() ? 0 : 1000 * times[times.size() / 2];
        state.counters["pasted"] = landed;
        state.counters["import_s"] = importSeconds;
        state.counters["load_s"] = loadSeconds;
        state.counters["memory_MB"] = loaded - before;
        state.counters["transcribe_s"] = transcribeSeconds;
        state.counters["encoding_s"] = timings.encoding;
        state.counters["decoding_s"] = timings.decodingLoop - timings.logmels - timings.encoding;
        state.counters["tokens"] = timings.totalDecodingLoops;
    }
    engine.reset();
    transcriber.reset();
    fs::remove_all(Paths::models());
}

}  // namespace

int main(int argc, char** argv) {
    root = fs::temp_directory_path() / ("model-choice-bench-" + std::to_string(getpid()));
    for (const char* dir : {"SUPPORT", "LOG", "CONFIG", "SCREENSHOTS"})
        setenv(("TALKWEFT_" + std::string(dir) + "_DIR").c_str(), (root / dir).c_str(), 1);
    std::string list = "tiny,base,small";
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--shapes=", 9) == 0) list = argv[i] + 9;
        else rest.push_back(argv[i]);
    }
    std::stringstream names(list);
    for (std::string name; std::getline(names, name, ',');) {
        if (!shapes().count(name)) {
            std::fprintf(stderr, "unknown shape %s\n", name.c_str());
            return 2;
        }
        benchmark::RegisterBenchmark(("ReleaseToText/5s/" + name).c_str(), BM_ReleaseToText, name)
            ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(root);
    return 0;
}

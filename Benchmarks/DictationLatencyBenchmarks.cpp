// The application's latency from the dictation chord's release to the text landing in the focused
// field, for a 5 s utterance of 20 words: the whole application on the simulated desktop with the
// real speech engine on a width-512, 6-layer model (base.en's shape, random encoder weights) whose
// decoder speaks the sentence from a token script. The desktop runs on the real clock, so the
// application's own waits (its selection and paste polls) count; the simulated paste delay is 0.
// Beside the latency, in the same run, the engine's share of it: the wall time of the
// transcription call and the engine's own timings of it (mel, encoding, decoding loop). Medians of
// seven cycles.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "DaroriCore/HubApiWrapper.hpp"
#include "DaroriCore/TokenizerWrapper.hpp"
#include "MLRuntime/WhisperTestModels.hpp"
#include "DictationDesktop.hpp"
#include "Talkweft/Controller.hpp"
#include "Talkweft/Paths.hpp"
#include "Talkweft/SettingsStore.hpp"
#include "Talkweft/Transcriber.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"

using namespace talkweft;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* MODEL = "openai_whisper-base.en";
constexpr const char* SENTENCE =
    " Please send the quarterly report to the whole team before Friday so that we can review every number together today.";
const fs::path TOKENIZER_FIXTURE = fs::path(TALKWEFT_SOURCE_DIR) / "../shared/fixtures/tokenizer-en";
fs::path root;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

using benchmarks::TimedEngine;

// The 20-word sentence framed by the timestamps 0.00 and 5.00, in the English vocabulary's ids.
std::vector<int64_t> sentenceScript() {
    darori::HubApiWrapper hub{root / "hub"};
    const auto tokenizer = darori::AutoTokenizerWrapper::fromModelFolder(TOKENIZER_FIXTURE, hub, true);
    const int64_t timeTokenBegin = 51864 - 1501;
    std::vector<int64_t> script{timeTokenBegin};
    for (int id : tokenizer.encode(SENTENCE, false)) script.push_back(id);
    script.push_back(timeTokenBegin + 250);
    return script;
}

void writeModel() {
    mlruntime::testmodels::FolderOptions options;
    options.size = *mlruntime::testmodels::namedSize("base");
    options.size.vocab = 51864;  // English-only, as base.en
    options.scripted = true;
    options.script = sentenceScript();
    mlruntime::testmodels::writeModelFolder(Paths::models() / "models/zevidirev/zadezariro-coreml" / MODEL, options);
    const fs::path tokenizer = Paths::models() / "models/openai/whisper-base.en";
    fs::create_directories(tokenizer);
    for (const char* file : {"tokenizer.json", "tokenizer_config.json"})
        fs::copy_file(TOKENIZER_FIXTURE / file, tokenizer / file, fs::copy_options::overwrite_existing);
}

void BM_ReleaseToPaste(benchmark::State& state) {
    benchmarks::DictationDesktop session;
    auto& desktop = session.desktop;
    auto& audio = session.audio;
    auto& field = session.field;

    SettingsStore settings(desktop.defaults());
    settings.update([](Settings& s) {
        s.dictateChord = {ModKey::rightOption};
        s.captureScreenshot = false;
        s.whisperModel = MODEL;
    });
    std::shared_ptr<TimedEngine> engine;
    auto transcriber = std::make_shared<WhisperTranscriber>(
        MODEL, Paths::models(), [&engine](const zadezariro::ZadezarIroConfig& config) {
            engine = zadezariro::ZadezarIro::create<TimedEngine>(config);
            return engine;
        });
    Controller controller(settings, transcriber);
    controller.store.root = root / "History";
    controller.hotkeys.start();
    controller.prepareTranscriber();
    controller.waitForIdle();
    if (!engine) {
        state.SkipWithError("the engine did not load");
        return;
    }

    const std::string expected = std::string(SENTENCE).substr(1);
    double transcribeSeconds = 0;
    zadezariro::TranscriptionTimings timings;
    for (auto _ : state) {
        field->setText("");
        desktop.keyboard().sendFlags(modKeyMask(ModKey::rightOption));
        audio.playTone(5.0, 0.3f);
        desktop.loop().advance(platform::seconds(5.0));
        const auto released = Clock::now();
        desktop.keyboard().sendFlags(0);
        const bool landed = desktop.loop().runUntil([&] { return field->text().find(expected) != std::string::npos; });
        state.SetIterationTime(secondsSince(released));
        if (!landed) {
            state.SkipWithError(("the text did not land; the field holds: " + field->text()).c_str());
            break;
        }
        controller.waitForIdle();
        std::lock_guard lock(engine->mutex);
        transcribeSeconds = engine->seconds;
        timings = engine->timings;
    }
    // The engine's share of the last cycle (seconds).
    state.counters["transcribe_s"] = transcribeSeconds;
    state.counters["mel_s"] = timings.logmels;
    state.counters["encoding_s"] = timings.encoding;
    // The task's window loop, less mel and encoding: the decoding of the tokens.
    state.counters["decoding_s"] = timings.decodingLoop - timings.logmels - timings.encoding;
}

}  // namespace

int main(int argc, char** argv) {
    // The application's folders go below one temporary folder, away from the user's own.
    root = fs::temp_directory_path() / ("dictation-bench-" + std::to_string(getpid()));
    for (const char* dir : {"SUPPORT", "LOG", "CONFIG", "SCREENSHOTS"})
        setenv(("TALKWEFT_" + std::string(dir) + "_DIR").c_str(), (root / dir).c_str(), 1);
    writeModel();
    benchmark::RegisterBenchmark("ReleaseToPaste/5s-20-words/512x6", BM_ReleaseToPaste)
        ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(7)->ReportAggregatesOnly(true);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(root);
    return 0;
}

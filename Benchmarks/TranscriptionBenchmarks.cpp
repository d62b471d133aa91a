// Real-time factor of transcribing 60 s of audio through the engine facade with random-weight
// models of width 384 (4 layers) and 512 (6 layers): mel, encoding and a full 224-token decode per
// 30 s window (the end token is never chosen). Sequential: one 60 s array, its two windows one after
// another. Concurrent: the same minute as two 30 s arrays with two workers. Beside them, in the same
// run, the runtime's own predictions for the same work (two mels, two encodings and the decoder
// predictions of both windows, one after another): the difference is what the engine adds around
// the models. The counter "rtf" is processing time / audio time; medians of five runs.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <string>

#include "MLRuntime/Model.hpp"
#include "MLRuntime/WhisperArchitecture.hpp"
#include "MLRuntime/WhisperTestModels.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"

using namespace zadezariro;
using mlruntime::DataType;
using mlruntime::Half;
using mlruntime::MultiArray;
namespace fs = std::filesystem;
namespace testmodels = mlruntime::testmodels;

namespace {

constexpr double AUDIO_SECONDS = 60.0;
constexpr int64_t WINDOW_SAMPLES = mlruntime::whisper::N_SAMPLES;
fs::path root;
// Decoder predictions per window through the facade, by model size, read from the sequential
// runs; the runtime-only reference makes as many.
std::map<std::string, int64_t> predictionsPerWindow;

std::vector<float> minuteOfAudio() {
    std::vector<float> audio(static_cast<size_t>(AUDIO_SECONDS * 16000));
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = 0.3f * std::sin(static_cast<float>(i) * 0.07f) + 0.01f * static_cast<float>(i % 13);
    return audio;
}

std::shared_ptr<ZadezarIro> makeFacade(const std::string& size) {
    ZadezarIroConfig config;
    config.modelFolder = (root / size).string();
    config.tokenizerFolder = fs::path(TALKWEFT_SOURCE_DIR "/../shared/fixtures/tokenizer-en");
    config.download = false;
    config.verbose = false;
    // The end token and the ids past the English vocabulary are never chosen: every window decodes
    // its full sample length.
    std::vector<int64_t> neverChosen{50256};  // the English tokenizer's end of text
    for (int64_t id = 51864; id < testmodels::namedSize(size)->vocab; ++id) neverChosen.push_back(id);
    config.logitsFilters = std::vector<std::shared_ptr<LogitsFiltering>>{std::make_shared<SuppressTokensFilter>(neverChosen)};
    return ZadezarIro::create(config);
}

DecodingOptions fullLengthOptions(int64_t workers) {
    return DecodingOptions::make({.temperatureFallbackCount = 0, .sampleLength = 224, .topK = 1,
                                  .withoutTimestamps = true, .compressionRatioThreshold = std::nullopt,
                                  .logProbThreshold = std::nullopt, .firstTokenLogProbThreshold = std::nullopt,
                                  .noSpeechThreshold = std::nullopt, .concurrentWorkerCount = workers});
}

// Sequential: {one 60 s array}, one worker; concurrent: {two 30 s arrays}, two workers.
void BM_Facade(benchmark::State& state, std::string size, bool concurrent) {
    auto facade = makeFacade(size);
    const auto minute = minuteOfAudio();
    std::vector<std::vector<float>> arrays;
    if (concurrent) {
        arrays.emplace_back(minute.begin(), minute.begin() + WINDOW_SAMPLES);
        arrays.emplace_back(minute.begin() + WINDOW_SAMPLES, minute.end());
    } else {
        arrays.push_back(minute);
    }
    const auto options = fullLengthOptions(concurrent ? 2 : 1);
    double mel = 0, encoding = 0, loop = 0;
    double tokens = 0, windows = 0, predictions = 0;
    std::vector<double> rtf;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto outcomes = facade->transcribeWithResults(arrays, options);
        rtf.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / AUDIO_SECONDS);
        mel = encoding = loop = 0;
        tokens = windows = predictions = 0;
        for (const auto& outcome : outcomes) {
            const auto* results = std::get_if<TranscriptionResults>(&outcome);
            if (!results) {
                state.SkipWithError("a transcription failed");
                return;
            }
            for (const auto& result : *results) {
                const auto timings = result->timings();
                mel += timings.logmels;
                encoding += timings.encoding;
                loop += timings.decodingLoop;
                windows += timings.totalDecodingWindows;
                predictions += timings.totalDecodingLoops;
                for (const auto& segment : result->segments()) tokens += static_cast<double>(segment.tokens.size());
            }
        }
    }
    if (!rtf.empty()) state.counters["rtf"] = rtf.back();
    if (windows != 2) state.SkipWithError("expected two windows");
    if (!concurrent) predictionsPerWindow[size] = static_cast<int64_t>(predictions / 2);
    state.counters["tokens/window"] = tokens / 2;
    state.counters["predictions/window"] = predictions / 2;
    // The task's own timings of the last run, summed over its arrays (seconds).
    state.counters["mel_s"] = mel;
    state.counters["encoding_s"] = encoding;
    // The task's loop over its windows, less mel and encoding: the decoding of the tokens.
    state.counters["decoding_s"] = loop - mel - encoding;
}

MultiArray windowAudio() {
    const auto minute = minuteOfAudio();
    MultiArray audio({WINDOW_SAMPLES}, DataType::Float32);
    std::copy(minute.begin(), minute.begin() + WINDOW_SAMPLES, audio.typedData<float>());
    return audio;
}

void BM_RuntimeOnly(benchmark::State& state, std::string size) {
    const auto folder = root / size;
    auto mel = mlruntime::Model::load(folder / "MelSpectrogram.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    auto encoder = mlruntime::Model::load(folder / "AudioEncoder.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    auto decoder = mlruntime::Model::load(folder / "TextDecoder.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    const auto& key = *decoder->description().input("key_cache")->multiArrayConstraint;
    const int64_t positions = key.shape[3];
    const int64_t steps = std::min(predictionsPerWindow.contains(size) ? predictionsPerWindow[size] : 224, positions);
    const auto audio = windowAudio();
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int window = 0; window < 2; ++window) {
            auto features = mel->predict(mlruntime::DictionaryFeatureProvider({{"audio", audio}}))->requireMultiArray("melspectrogram_features");
            auto embeds = encoder->predict(mlruntime::DictionaryFeatureProvider({{"melspectrogram_features", features}}))
                              ->requireMultiArray("encoder_output_embeds");
            MultiArray keys(key.shape, DataType::Float16), values(key.shape, DataType::Float16);
            MultiArray update({1, positions}, DataType::Int32), padding({1, positions}, DataType::Float16);
            MultiArray ids({1}, DataType::Int32), length({1}, DataType::Int32);
            padding.fill(Half(-10000.0f));
            for (int32_t t = 0; t < steps; ++t) {
                padding.typedData<Half>()[t] = Half(0.0f);
                update.fill(int32_t{0});
                update.typedData<int32_t>()[t] = 1;
                length.typedData<int32_t>()[0] = t;
                ids.typedData<int32_t>()[0] = 440 + t;
                mlruntime::DictionaryFeatureProvider inputs({{"input_ids", ids}, {"cache_length", length}, {"key_cache", keys},
                                                             {"value_cache", values}, {"kv_cache_update_mask", update},
                                                             {"encoder_output_embeds", embeds}, {"decoder_key_padding_mask", padding}});
                benchmark::DoNotOptimize(decoder->predict(inputs));
            }
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["rtf"] = seconds / AUDIO_SECONDS;
    state.counters["predictions/window"] = static_cast<double>(steps);
}

}  // namespace

int main(int argc, char** argv) {
    root = fs::temp_directory_path() / ("transcription-bench-" + std::to_string(getpid()));
    for (const char* size : {"tiny", "base"}) {
        testmodels::FolderOptions options;
        options.size = *testmodels::namedSize(size);
        testmodels::writeModelFolder(root / size, options);
    }
    for (const auto& model : {std::pair{"384x4", "tiny"}, std::pair{"512x6", "base"}}) {
        // Named copies: clang 14 cannot capture structured bindings in a lambda.
        const std::string name = model.first, size = model.second;
        const auto add = [&](const std::string& label, auto function, auto... args) {
            benchmark::RegisterBenchmark(("Minute/" + label + "/" + name).c_str(), function, size, args...)
                ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5)->ReportAggregatesOnly(true);
        };
        add("sequential", BM_Facade, false);
        add("concurrent", BM_Facade, true);
        add("runtime-only", BM_RuntimeOnly);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(root);
    return 0;
}

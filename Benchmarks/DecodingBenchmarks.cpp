// One 30 s window through the engine's components (mel features, encoding, decoding 100 tokens
// with filters, sampling and cache updates) for widths 384 and 512, next to the runtime's own
// predictions for the same work (one mel, one encoder and 101 decoder predictions) in the same
// run: the difference is what the engine adds around the models. Medians of five windows.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "DaroriCore/HubApiWrapper.hpp"
#include "DaroriCore/TokenizerWrapper.hpp"
#include "MLRuntime/Model.hpp"
#include "MLRuntime/WhisperArchitecture.hpp"
#include "MLRuntime/WhisperTestModels.hpp"
#include "ZadezarIro/Core/AudioEncoder.hpp"
#include "ZadezarIro/Core/FeatureExtractor.hpp"
#include "ZadezarIro/Core/TextDecoder.hpp"

using namespace zadezariro;
using mlruntime::DataType;
using mlruntime::Half;
using mlruntime::MultiArray;
namespace fs = std::filesystem;
namespace testmodels = mlruntime::testmodels;

namespace {

constexpr int64_t TOKENS = 100;
fs::path root;

MultiArray testAudio() {
    MultiArray audio({mlruntime::whisper::N_SAMPLES}, DataType::Float32);
    for (int64_t i = 0; i < mlruntime::whisper::N_SAMPLES; ++i)
        audio.typedData<float>()[i] = 0.3f * std::sin(static_cast<float>(i) * 0.07f) + 0.01f * static_cast<float>(i % 13);
    return audio;
}

std::shared_ptr<const WhisperTokenizer> englishTokenizer() {
    static const fs::path folder = TALKWEFT_SOURCE_DIR "/../shared/fixtures/tokenizer-en";
    static darori::HubApiWrapper hub{root / "hub"};
    return std::make_shared<const WhisperTokenizerWrapper>(darori::AutoTokenizerWrapper::fromModelFolder(folder, hub, true), folder);
}

void BM_Window(benchmark::State& state, std::string size) {
    const auto folder = root / size;
    FeatureExtractor extractor;
    AudioEncoder encoder;
    TextDecoder decoder;
    extractor.loadModel(folder / "MelSpectrogram.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    encoder.loadModel(folder / "AudioEncoder.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    decoder.loadModel(folder / "TextDecoder.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    auto tokenizer = englishTokenizer();
    decoder.setTokenizer(tokenizer);
    // Every window decodes exactly 100 tokens: the end token (and the id past the English
    // vocabulary) are never chosen.
    const int64_t vocab = *decoder.logitsSize();
    std::vector<int64_t> neverChosen{tokenizer->specialTokens().endToken};
    for (int64_t id = 51864; id < vocab; ++id) neverChosen.push_back(id);
    decoder.setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>>{std::make_shared<SuppressTokensFilter>(neverChosen)});
    const auto options = DecodingOptions::make({.sampleLength = TOKENS, .withoutTimestamps = true, .firstTokenLogProbThreshold = std::nullopt});
    const auto audio = testAudio();
    for (auto _ : state) {
        auto features = extractor.logMelSpectrogram(audio);
        auto embeds = encoder.encodeFeatures(*features);
        auto inputs = decoder.prepareDecoderInputs({});
        decoder.prefillDecoderInputs(inputs, options);
        GreedyTokenSampler sampler(Half(0.0f), tokenizer->specialTokens().endToken, options);
        auto result = decoder.decodeText(*embeds, inputs, sampler, options);
        // start of transcript, no timestamps, the 100 tokens and the end token
        if (result.tokens.size() != static_cast<size_t>(TOKENS) + 3) state.SkipWithError("wrong token count");
    }
}

void BM_RuntimeOnly(benchmark::State& state, std::string size) {
    const auto folder = root / size;
    auto mel = mlruntime::Model::load(folder / "MelSpectrogram.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    auto encoder = mlruntime::Model::load(folder / "AudioEncoder.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    auto decoder = mlruntime::Model::load(folder / "TextDecoder.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    const auto& key = *decoder->description().input("key_cache")->multiArrayConstraint;
    const int64_t positions = key.shape[3];
    const auto audio = testAudio();
    for (auto _ : state) {
        auto features = mel->predict(mlruntime::DictionaryFeatureProvider({{"audio", audio}}))->requireMultiArray("melspectrogram_features");
        auto embeds = encoder->predict(mlruntime::DictionaryFeatureProvider({{"melspectrogram_features", features}}))
                          ->requireMultiArray("encoder_output_embeds");
        MultiArray keys(key.shape, DataType::Float16), values(key.shape, DataType::Float16);
        MultiArray update({1, positions}, DataType::Int32), padding({1, positions}, DataType::Float16);
        MultiArray ids({1}, DataType::Int32), length({1}, DataType::Int32);
        padding.fill(Half(-10000.0f));
        for (int32_t t = 0; t <= TOKENS; ++t) {
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
}

}  // namespace

int main(int argc, char** argv) {
    root = fs::temp_directory_path() / ("decoding-bench-" + std::to_string(getpid()));
    for (const char* size : {"tiny", "base"}) {
        testmodels::FolderOptions options;
        options.size = *testmodels::namedSize(size);
        testmodels::writeModelFolder(root / size, options);
    }
    for (const auto& [name, size] : {std::pair{"384x4", "tiny"}, std::pair{"512x6", "base"}}) {
        benchmark::RegisterBenchmark(("Window/engine/" + std::string(name)).c_str(), BM_Window, std::string(size))
            ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5)->ReportAggregatesOnly(true);
        benchmark::RegisterBenchmark(("Window/runtime-only/" + std::string(name)).c_str(), BM_RuntimeOnly, std::string(size))
            ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5)->ReportAggregatesOnly(true);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(root);
    return 0;
}

// Three minutes of audio through the transcribe task (six 30 s windows of a width-384 model whose
// decoder speaks a token script), next to the same six windows driven through the components by
// hand in the same run (mel features, encoding, decoding, segments): the difference is what the
// task adds around them. Medians of five runs.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "DaroriCore/HubApiWrapper.hpp"
#include "DaroriCore/TokenizerWrapper.hpp"
#include "MLRuntime/WhisperTestModels.hpp"
#include "ZadezarIro/Core/TranscribeTask.hpp"

using namespace zadezariro;
using mlruntime::Half;
namespace fs = std::filesystem;
namespace testmodels = mlruntime::testmodels;

namespace {

constexpr int64_t SAMPLES = 180 * 16000;
constexpr int64_t WINDOW = 480000;
fs::path root;

struct Components {
    std::shared_ptr<FeatureExtractor> extractor = std::make_shared<FeatureExtractor>();
    std::shared_ptr<AudioEncoder> encoder = std::make_shared<AudioEncoder>();
    std::shared_ptr<TextDecoder> decoder = std::make_shared<TextDecoder>();
    std::shared_ptr<SegmentSeeker> seeker = std::make_shared<SegmentSeeker>();
    std::shared_ptr<const WhisperTokenizer> tokenizer;

    Components() {
        static const fs::path folder = TALKWEFT_SOURCE_DIR "/../shared/fixtures/tokenizer-en";
        static darori::HubApiWrapper hub{root / "hub"};
        tokenizer = std::make_shared<const WhisperTokenizerWrapper>(darori::AutoTokenizerWrapper::fromModelFolder(folder, hub, true), folder);
        extractor->loadModel(root / "model" / "MelSpectrogram.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
        encoder->loadModel(root / "model" / "AudioEncoder.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
        decoder->loadModel(root / "model" / "TextDecoder.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
        decoder->setTokenizer(tokenizer);
    }
};

std::vector<float> testAudio() {
    std::vector<float> audio(SAMPLES);
    for (int64_t i = 0; i < SAMPLES; ++i) audio[i] = 0.3f * std::sin(static_cast<float>(i) * 0.07f) + 0.01f * static_cast<float>(i % 13);
    return audio;
}

const DecodingOptions OPTIONS = DecodingOptions::make({.topK = 1});

void BM_Task(benchmark::State& state) {
    Components c;
    const auto audio = testAudio();
    for (auto _ : state) {
        TranscribeTask task(TranscriptionTimings{}, nullptr, nullptr, c.encoder, c.extractor, c.seeker, c.decoder, c.tokenizer);
        auto result = task.run(audio, OPTIONS);
        if (result->segments().size() != 6) state.SkipWithError("expected six segments");
    }
}

void BM_ByHand(benchmark::State& state) {
    Components c;
    const auto audio = testAudio();
    const auto& special = c.tokenizer->specialTokens();
    for (auto _ : state) {
        size_t segments = 0;
        auto inputs = c.decoder->prepareDecoderInputs({special.startOfTranscriptToken});
        c.decoder->prefillDecoderInputs(inputs, OPTIONS);
        for (int64_t seek = 0; seek < SAMPLES; seek += WINDOW) {
            auto padded = AudioProcessor::padOrTrimAudio(audio, seek, WINDOW);
            auto features = c.extractor->logMelSpectrogram(*padded);
            auto embeds = c.encoder->encodeFeatures(*features);
            GreedyTokenSampler sampler(Half(0.0f), special.endToken, OPTIONS);
            auto result = c.decoder->decodeText(*embeds, inputs, sampler, OPTIONS);
            auto found = c.seeker->findSeekPointAndSegments(result, OPTIONS, 0, seek, WINDOW, 16000, special.timeTokenBegin,
                                                            special.specialTokenBegin, *c.tokenizer);
            segments += found.second ? found.second->size() : 0;
            inputs.reset(224);
        }
        if (segments != 6) state.SkipWithError("expected six segments");
    }
}

}  // namespace

int main(int argc, char** argv) {
    root = fs::temp_directory_path() / ("transcribe-bench-" + std::to_string(getpid()));
    testmodels::FolderOptions options;
    options.size = *testmodels::namedSize("tiny");
    options.scripted = true;
    testmodels::writeModelFolder(root / "model", options);
    benchmark::RegisterBenchmark("Transcribe180s/task", BM_Task)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5)->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark("Transcribe180s/components-by-hand", BM_ByHand)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5)->ReportAggregatesOnly(true);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(root);
    return 0;
}

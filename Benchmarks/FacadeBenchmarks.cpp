// Four 5-second arrays through the engine facade (mel, a 384-wide 4-layer encoder, a scripted
// decoder) with concurrentWorkerCount 4, next to the same arrays one after another (worker count 1)
// in the same run: the gain of transcribing the arrays of a batch concurrently when the model
// runtime shares one thread budget among them. Medians of three runs.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "MLRuntime/WhisperTestModels.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"

using namespace zadezariro;
namespace fs = std::filesystem;
namespace testmodels = mlruntime::testmodels;

namespace {

fs::path root;

std::vector<std::vector<float>> arrays() {
    std::vector<float> samples(5 * 16000);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = 0.3f * std::sin(static_cast<float>(i) * 0.17f);
    return std::vector<std::vector<float>>(4, samples);
}

void BM_Batch(benchmark::State& state) {
    ZadezarIroConfig config;
    config.modelFolder = (root / "model").string();
    config.tokenizerFolder = fs::path(TALKWEFT_SOURCE_DIR "/../shared/fixtures/tokenizer-en");
    config.download = false;
    config.verbose = false;
    auto facade = ZadezarIro::create(config);
    const auto inputs = arrays();
    const auto options = DecodingOptions::make({.concurrentWorkerCount = state.range(0)});
    for (auto _ : state) {
        const auto outcomes = facade->transcribeWithResults(inputs, options);
        for (const auto& outcome : outcomes)
            if (!std::holds_alternative<TranscriptionResults>(outcome)) state.SkipWithError("a transcription failed");
    }
}

}  // namespace

int main(int argc, char** argv) {
    root = fs::temp_directory_path() / ("facade-bench-" + std::to_string(getpid()));
    testmodels::FolderOptions options;
    options.size = *testmodels::namedSize("tiny");
    options.scripted = true;
    testmodels::writeModelFolder(root / "model", options);
    benchmark::RegisterBenchmark("FourArrays/sequential-reference", BM_Batch)->Arg(1)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark("FourArrays/concurrent", BM_Batch)->Arg(4)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(root);
    return 0;
}

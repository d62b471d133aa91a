// Loading and resampling a 10-minute 44.1 kHz stereo file to 16 kHz mono, beside sox doing the same
// conversion (high-quality rate, channels mixed) in the same run. Figures are medians of repetitions.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "ZadezarIro/Core/Audio/AudioProcessor.hpp"

namespace {

struct Files {
    std::filesystem::path dir, input, output;
    Files() {
        std::string pattern = (std::filesystem::temp_directory_path() / "talkweft-audiobench-XXXXXX").string();
        dir = mkdtemp(pattern.data());
        input = dir / "ten-minutes.wav";
        output = dir / "sox-out.wav";
        const std::string make = "sox -n -r 44100 -c 2 -b 16 '" + input.string() +
                                 "' synth 600 sine 300-3000 sine 440 vol 0.4 2>/dev/null";
        if (std::system(make.c_str()) != 0) std::abort();
    }
    ~Files() { std::filesystem::remove_all(dir); }
};

Files& files() {
    static Files f;
    return f;
}

void BM_LoadAndResample10MinStereo(benchmark::State& state) {
    const std::string path = files().input.string();
    for (auto _ : state) {
        auto samples = zadezariro::AudioProcessor::loadAudioAsFloatArray(path);
        benchmark::DoNotOptimize(samples.data());
        if (samples.size() != 600u * 16000u) state.SkipWithError("wrong sample count");
    }
}

void BM_SoxSameConversion(benchmark::State& state) {
    const std::string command = "sox '" + files().input.string() + "' -t f32 -r 16000 -c 1 '" + files().output.string() +
                                "' rate -h 2>/dev/null";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) state.SkipWithError("sox failed");
}

}  // namespace

BENCHMARK(BM_LoadAndResample10MinStereo)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_SoxSameConversion)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(7)->ReportAggregatesOnly(true)->UseRealTime();

BENCHMARK_MAIN();

// Model runtime figures: encoder time and its GFLOPS against a plain sgemm's GFLOPS measured in the
// same run, decoder time per token, mel time for 30 s, and resident memory after loading against
// the float32 weight bytes. Models are generated into a temporary folder at start.
#include <benchmark/benchmark.h>
#include <cblas.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "MLRuntime/Kernels.hpp"
#include "MLRuntime/Model.hpp"
#include "MLRuntime/ThreadBudget.hpp"
#include "MLRuntime/WhisperArchitecture.hpp"
#include "MLRuntime/WhisperTestModels.hpp"

using namespace mlruntime;
namespace fs = std::filesystem;

namespace {

fs::path root;

fs::path folderFor(const std::string& size) { return root / size; }


double encoderFlops(const testmodels::ModelSize& s) {
    const double d = static_cast<double>(s.width), t = 1500, frames = 3000;
    double flops = 2 * frames * 3 * s.mels * d + 2 * t * 3 * d * d;
    double layer = 2 * t * d * 3 * d + 2 * 2 * t * t * d + 2 * t * d * d + 2 * 2 * t * d * 4 * d;
    return flops + layer * static_cast<double>(s.layers);
}

// Float32 bytes of every weight of the three models.
double float32WeightBytes(const testmodels::ModelSize& s) {
    double count = 0;
    auto add = [&](const std::vector<whisper::TensorLayout>& tensors) {
        for (const auto& tensor : tensors) {
            double n = 1;
            for (auto d : tensor.shape) n *= static_cast<double>(d);
            count += n;
        }
    };
    add(whisper::melTensors({s.mels}));
    add(whisper::encoderTensors(testmodels::encoderConfig(s)));
    add(whisper::decoderTensors(testmodels::decoderConfig(s)));
    return count * 4;
}

// A field of /proc/self/status in KiB ("VmRSS:", "VmHWM:").
long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
    return 0;
}

struct LoadMemory {
    double resident = -1;  // bytes added by loading, once loaded
    double peak = -1;      // highest resident size while loading, above the start
};

// Memory taken by loading the three models, measured in a fresh child process so that nothing
// else this program did is counted.
LoadMemory loadMemory(const fs::path& folder) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return {};
    pid_t child = fork();
    if (child == 0) {
        long before = statusKiB("VmRSS:");
        std::vector<std::shared_ptr<Model>> models;
        for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder"})
            models.push_back(Model::load(folder / (std::string(name) + ".mlmodelc"), ComputeUnits::cpuOnly));
        long grown[2] = {statusKiB("VmRSS:") - before, statusKiB("VmHWM:") - before};
        ssize_t written = write(pipeEnds[1], grown, sizeof grown);
        _exit(written == sizeof grown ? 0 : 1);
    }
    long grown[2] = {-1, -1};
    if (read(pipeEnds[0], grown, sizeof grown) != sizeof grown) grown[0] = grown[1] = -1;
    waitpid(child, nullptr, 0);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    return {static_cast<double>(grown[0]) * 1024.0, static_cast<double>(grown[1]) * 1024.0};
}

void BM_PlainSgemm(benchmark::State& state) {
    // For comparison: the same sgemm with OpenBLAS's own threads on all cores.
    const int n = 2048;
    std::vector<float> a(n * n, 0.5f), b(n * n, 0.25f), c(n * n);
    openblas_set_num_threads(static_cast<int>(std::thread::hardware_concurrency()));
    for (auto _ : state)
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, n, n, n, 1.0f, a.data(), n, b.data(), n, 0.0f, c.data(), n);
    openblas_set_num_threads(1);
    double flops = 2.0 * n * n * n * static_cast<double>(state.iterations());
    state.counters["GFLOPS"] = benchmark::Counter(flops / 1e9, benchmark::Counter::kIsRate);
}

// The encoder's two kinds of work on their own, for a 30 s window at width 384.
void BM_LinearMlp(benchmark::State& state) {
    const size_t rows = 1500, in = 384, out = 1536;
    std::vector<float> a(rows * in, 0.01f), w(out * in, 0.02f), bias(out, 0.1f), c(rows * out);
    auto lease = ThreadBudget::shared().acquire();
    for (auto _ : state)
        kernels::linear(lease, a.data(), rows, in, in, w.data(), bias.data(), out, c.data(), out, kernels::Epilogue::gelu);
    double flops = 2.0 * rows * in * out * static_cast<double>(state.iterations());
    state.counters["GFLOPS"] = benchmark::Counter(flops / 1e9, benchmark::Counter::kIsRate);
}

void BM_Attention(benchmark::State& state) {
    const size_t t = 1500, heads = 6, dim = 64, d = heads * dim;
    std::vector<float> qkv(t * 3 * d, 0.01f), out(t * d);
    auto lease = ThreadBudget::shared().acquire();
    for (auto _ : state)
        kernels::attention(lease, qkv.data(), qkv.data() + d, qkv.data() + 2 * d, 3 * d, t, t, heads, dim, out.data(), d);
    double flops = 4.0 * t * t * d * static_cast<double>(state.iterations());
    state.counters["GFLOPS"] = benchmark::Counter(flops / 1e9, benchmark::Counter::kIsRate);
}

// Seconds of one plain 2048^3 sgemm: OpenBLAS's kernel on the runtime's threads (the shared budget,
// OpenBLAS single-threaded), the machine's reference rate. Measured next to each encoder run so
// that both see the same load; OpenBLAS's own thread pool is kept out of it, because its threads
// keep spinning after a call and would slow the runtime's threads down.
double plainSgemmSeconds() {
    static const size_t n = 2048;
    static std::vector<float> a(n * n, 0.5f), b(n * n, 0.25f), c(n * n);
    auto lease = ThreadBudget::shared().acquire();
    auto start = std::chrono::steady_clock::now();
    kernels::linear(lease, a.data(), n, n, n, b.data(), nullptr, n, c.data(), n);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Encoder(benchmark::State& state, std::string size) {
    auto dims = *testmodels::namedSize(size);
    auto model = Model::load(folderFor(size) / "AudioEncoder.mlmodelc", ComputeUnits::cpuOnly);
    MultiArray features({1, dims.mels, 1, 3000}, DataType::Float16);
    features.fill(Half(0.25f));
    DictionaryFeatureProvider inputs({{whisper::MEL_FEATURES, features}});
    plainSgemmSeconds();  // its buffers touched once
    double encoderSeconds = 0, referenceSeconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        referenceSeconds += plainSgemmSeconds();
        state.ResumeTiming();
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(model->predict(inputs));
        encoderSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    double iterations = static_cast<double>(state.iterations());
    double flops = encoderFlops(dims) * iterations;
    state.counters["GFLOPS"] = benchmark::Counter(flops / 1e9, benchmark::Counter::kIsRate);
    double encoderRate = encoderFlops(dims) * iterations / encoderSeconds;
    double referenceRate = 2.0 * 2048.0 * 2048.0 * 2048.0 * iterations / referenceSeconds;
    state.counters["sgemmGFLOPS"] = referenceRate / 1e9;
    state.counters["vsSgemm"] = encoderRate / referenceRate;
}

void BM_DecoderToken(benchmark::State& state, std::string size) {
    auto dims = *testmodels::namedSize(size);
    auto model = Model::load(folderFor(size) / "TextDecoder.mlmodelc", ComputeUnits::cpuOnly);
    const int64_t channels = dims.layers * dims.width;
    MultiArray encoder({1, dims.width, 1, 1500}, DataType::Float16);
    encoder.fill(Half(0.1f));
    MultiArray keys({1, channels, 1, 224}, DataType::Float16), values({1, channels, 1, 224}, DataType::Float16);
    MultiArray update({1, 224}, DataType::Int32), padding({1, 224}, DataType::Float16);
    MultiArray ids({1}, DataType::Int32), length({1}, DataType::Int32);
    // A step in the middle of a window: 64 positions filled.
    const int32_t position = 64;
    padding.fill(Half(-10000.0f));
    for (int p = 0; p <= position; ++p) padding.typedData<Half>()[p] = Half(0.0f);
    update.typedData<int32_t>()[position] = 1;
    length.typedData<int32_t>()[0] = position;
    ids.typedData<int32_t>()[0] = 440;
    DictionaryFeatureProvider inputs({{whisper::INPUT_IDS, ids},       {whisper::CACHE_LENGTH, length},
                                      {whisper::KEY_CACHE, keys},      {whisper::VALUE_CACHE, values},
                                      {whisper::UPDATE_MASK, update},  {whisper::ENCODER_OUTPUT, encoder},
                                      {whisper::PADDING_MASK, padding}});
    model->predict(inputs);  // the cross-attention keys and values of this encoder output
    for (auto _ : state) benchmark::DoNotOptimize(model->predict(inputs));
}

void BM_Mel(benchmark::State& state) {
    auto model = Model::load(folderFor("tiny") / "MelSpectrogram.mlmodelc", ComputeUnits::cpuOnly);
    MultiArray audio({whisper::N_SAMPLES}, DataType::Float32);
    for (int64_t i = 0; i < whisper::N_SAMPLES; ++i)
        audio.typedData<float>()[i] = 0.3f * std::sin(static_cast<float>(i) * 0.07f) + 0.01f * static_cast<float>(i % 13);
    DictionaryFeatureProvider inputs({{whisper::AUDIO, audio}});
    for (auto _ : state) benchmark::DoNotOptimize(model->predict(inputs));
}

}  // namespace

int main(int argc, char** argv) {
    root = fs::temp_directory_path() / ("mlruntime-bench-" + std::to_string(getpid()));
    for (const char* size : {"tiny", "base"}) {
        testmodels::FolderOptions options;
        options.size = *testmodels::namedSize(size);
        testmodels::writeModelFolder(folderFor(size), options);
    }
    ThreadBudget::shared();  // fixes OpenBLAS's thread count before anything runs

    std::printf("Memory after loading mel + encoder + decoder (half-precision files):\n");
    for (const char* size : {"tiny", "base"}) {
        auto dims = *testmodels::namedSize(size);
        LoadMemory memory = loadMemory(folderFor(size));
        double reference = float32WeightBytes(dims);
        std::printf("  %-5s width %lld, %lld layers: float32 weights %.1f MB; resident after loading %.1f MB (ratio %.2f), "
                    "peak while loading %.1f MB (ratio %.2f); target <= 1.5\n",
                    size, static_cast<long long>(dims.width), static_cast<long long>(dims.layers), reference / 1e6,
                    memory.resident / 1e6, memory.resident / reference, memory.peak / 1e6, memory.peak / reference);
    }
    std::fflush(stdout);

    benchmark::RegisterBenchmark("Kernel/LinearGelu/1500x384x1536", BM_LinearMlp)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("Kernel/Attention/1500x1500x6x64", BM_Attention)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("Encoder/384x4", BM_Encoder, std::string("tiny"))->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("Encoder/512x6", BM_Encoder, std::string("base"))->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("DecoderToken/384x4", BM_DecoderToken, std::string("tiny"))->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("DecoderToken/512x6", BM_DecoderToken, std::string("base"))->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("Mel/30s", BM_Mel)->Unit(benchmark::kMillisecond)->UseRealTime();
    // Last: OpenBLAS's own threads keep spinning for a while after it.
    benchmark::RegisterBenchmark("PlainSgemm/2048/openblas-threads", BM_PlainSgemm)->Unit(benchmark::kMillisecond)->UseRealTime();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::printf("\nvsSgemm: encoder GFLOPS divided by the GFLOPS of a plain 2048^3 sgemm on the same threads, the "
                "two run alternately (target >= 0.6).\n");
    benchmark::Shutdown();
    fs::remove_all(root);
    return 0;
}

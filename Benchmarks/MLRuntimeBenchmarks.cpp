// Model runtime figures, each printed beside a reference measured in the same run:
// - Encoder/<size>: one 30 s window through the encoder, against the same matrix products (both
//   convolutions as column products, the projections, every head's attention scores and weighted
//   values, the MLP) through OpenBLAS's own threaded sgemm, the two run alternately.
// - DecoderStep/<size>: one token, alone and with an encoder running beside it (median, 99th
//   percentile and worst step of many).
// - DecoderLoops/<size>: two decoding loops (one decoder model, two encoder outputs) at once on
//   two threads against the same predictions one after another; BudgetStepLoops: the same for
//   short holding leases of parallelFor loops on the budget alone.
// - Mel/30s, the two kernels the encoder spends most in, and a square sgemm on OpenBLAS's threads.
// - Memory added by loading the three models, measured in a freshly started copy of this program.
// Times are medians over repetitions. Models are generated into a temporary folder at start.
#include <benchmark/benchmark.h>
#include <cblas.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MLRuntime/KernelPath.hpp"
#include "MLRuntime/Kernels.hpp"
#include "MLRuntime/Model.hpp"
#include "MLRuntime/ThreadBudget.hpp"
#include "MLRuntime/WhisperArchitecture.hpp"
#include "MLRuntime/WhisperTestModels.hpp"

extern char** environ;

using namespace mlruntime;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

fs::path root;

fs::path folderFor(const std::string& size) { return root / size; }

int cores() { return ThreadBudget::shared().capacity(); }

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

// The child's side of the memory figure: loads the three models of `folder` and prints the
// resident and peak sizes they added, in KiB.
int measureLoadMemory(const fs::path& folder) {
    long before = statusKiB("VmRSS:");
    std::vector<std::shared_ptr<Model>> models;
    for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder"})
        models.push_back(Model::load(folder / (std::string(name) + ".mlmodelc"), ComputeUnits::cpuOnly));
    std::printf("%ld %ld\n", statusKiB("VmRSS:") - before, statusKiB("VmHWM:") - before);
    return 0;
}

struct LoadMemory {
    double resident = -1;  // bytes added by loading, once loaded
    double peak = -1;      // highest resident size while loading, above the start
};

// Runs this program afresh (exec, not fork: nothing this process generated or cached is counted)
// in its measuring mode and reads its answer.
LoadMemory loadMemory(const fs::path& folder) {
    int ends[2];
    if (pipe(ends) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, ends[0]);
    std::string self = fs::read_symlink("/proc/self/exe").string(), mode = "--load-memory", path = folder.string();
    char* argv[] = {self.data(), mode.data(), path.data(), nullptr};
    pid_t child = -1;
    int spawned = posix_spawn(&child, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    std::string answer;
    char buffer[256];
    for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<size_t>(n));
    close(ends[0]);
    if (spawned != 0) return {};
    int status = 0;
    waitpid(child, &status, 0);
    long resident = -1, peak = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || std::sscanf(answer.c_str(), "%ld %ld", &resident, &peak) != 2)
        return {};
    return {static_cast<double>(resident) * 1024.0, static_cast<double>(peak) * 1024.0};
}

// OpenBLAS on all cores for the references, back to one thread (the runtime's setting) after.
struct OpenBLASThreads {
    OpenBLASThreads() { openblas_set_num_threads(cores()); }
    ~OpenBLASThreads() { openblas_set_num_threads(1); }
};

// C[m, n] = A[m, k] B[n, k]^T through OpenBLAS (row-major, as the encoder's products).
void sgemm(size_t m, size_t n, size_t k, const float* a, size_t lda, const float* b, size_t ldb, float* c, size_t ldc) {
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<blasint>(m), static_cast<blasint>(n),
                static_cast<blasint>(k), 1.0f, a, static_cast<blasint>(lda), b, static_cast<blasint>(ldb), 0.0f, c,
                static_cast<blasint>(ldc));
}

// The encoder's matrix products for one window, nothing else: OpenBLAS's own threaded sgemm on
// the same shapes, every head's full 1500 x 1500 score matrix materialised.
class EncoderMatrixWork {
public:
    explicit EncoderMatrixWork(const testmodels::ModelSize& s)
        : s_(s), d_(static_cast<size_t>(s.width)), mels_(static_cast<size_t>(s.mels)),
          heads_(static_cast<size_t>(s.heads)), columns_(FRAMES * 3 * std::max(mels_, d_), 0.01f),
          conv1_(d_ * 3 * mels_, 0.02f), conv2_(d_ * 3 * d_, 0.02f), x_(FRAMES * d_), qkv_(T * 3 * d_, 0.01f),
          wqkv_(3 * d_ * d_, 0.02f), attn_(T * d_), wout_(d_ * d_, 0.02f), hidden_(T * 4 * d_),
          fc1_(4 * d_ * d_, 0.02f), fc2_(d_ * 4 * d_, 0.02f), scores_(T * T), valuesT_(d_ * T, 0.01f) {}

    void run() {
        const size_t d = d_, dh = d_ / heads_;
        sgemm(FRAMES, d, 3 * mels_, columns_.data(), 3 * mels_, conv1_.data(), 3 * mels_, x_.data(), d);
        sgemm(T, d, 3 * d, columns_.data(), 3 * d, conv2_.data(), 3 * d, x_.data(), d);
        for (int64_t layer = 0; layer < s_.layers; ++layer) {
            sgemm(T, 3 * d, d, x_.data(), d, wqkv_.data(), d, qkv_.data(), 3 * d);
            for (size_t h = 0; h < heads_; ++h) {
                sgemm(T, T, dh, qkv_.data() + h * dh, 3 * d, qkv_.data() + d + h * dh, 3 * d, scores_.data(), T);
                sgemm(T, dh, T, scores_.data(), T, valuesT_.data() + h * dh * T, T, attn_.data() + h * dh, d);
            }
            sgemm(T, d, d, attn_.data(), d, wout_.data(), d, x_.data(), d);
            sgemm(T, 4 * d, d, x_.data(), d, fc1_.data(), d, hidden_.data(), 4 * d);
            sgemm(T, d, 4 * d, hidden_.data(), 4 * d, fc2_.data(), 4 * d, x_.data(), d);
        }
        benchmark::DoNotOptimize(x_.data());
    }

private:
    static constexpr size_t T = 1500, FRAMES = 3000;
    testmodels::ModelSize s_;
    size_t d_, mels_, heads_;
    std::vector<float> columns_, conv1_, conv2_, x_, qkv_, wqkv_, attn_, wout_, hidden_, fc1_, fc2_, scores_, valuesT_;
};

double median(std::vector<double> samples) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    size_t middle = samples.size() / 2;
    return samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

// Each iteration runs one encoder window, then the same matrix products on OpenBLAS's threads, so
// that both meet the same machine load; the reported time is the encoder's. OpenBLAS's threads
// keep spinning for a while after their last call: a pause lets them sleep before our threads run.
void BM_Encoder(benchmark::State& state, std::string size) {
    auto s = *testmodels::namedSize(size);
    auto model = Model::load(folderFor(size) / "AudioEncoder.mlmodelc", ComputeUnits::cpuOnly);
    MultiArray features({1, s.mels, 1, 3000}, DataType::Float16);
    features.fill(Half(0.25f));
    DictionaryFeatureProvider inputs({{whisper::MEL_FEATURES, features}});
    EncoderMatrixWork reference(s);
    model->predict(inputs);  // scratch touched once
    std::vector<double> ours, openblas;
    for (auto _ : state) {
        auto start = Clock::now();
        benchmark::DoNotOptimize(model->predict(inputs));
        double encoder = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(encoder);
        ours.push_back(encoder * 1e3);
        {
            OpenBLASThreads threads;
            start = Clock::now();
            reference.run();
            openblas.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    state.counters["median_ms"] = median(ours);
    state.counters["openblas_median_ms"] = median(openblas);
    state.counters["vs_openblas"] = median(openblas) / median(ours);
    state.counters["GFLOPS"] = encoderFlops(s) / (median(ours) / 1e3) / 1e9;
}

// A decoder fed the way the engine feeds it: one token in the middle of a window.
struct DecoderStepInputs {
    MultiArray encoder, keys, values, update, padding, ids, length;
    DictionaryFeatureProvider provider;

    explicit DecoderStepInputs(const testmodels::ModelSize& s)
        : encoder({1, s.width, 1, 1500}, DataType::Float16),
          keys({1, s.layers * s.width, 1, 224}, DataType::Float16),
          values({1, s.layers * s.width, 1, 224}, DataType::Float16),
          update({1, 224}, DataType::Int32), padding({1, 224}, DataType::Float16), ids({1}, DataType::Int32),
          length({1}, DataType::Int32), provider(std::map<std::string, FeatureValue>{}) {
        const int32_t position = 64;
        encoder.fill(Half(0.1f));
        padding.fill(Half(-10000.0f));
        for (int p = 0; p <= position; ++p) padding.typedData<Half>()[p] = Half(0.0f);
        update.typedData<int32_t>()[position] = 1;
        length.typedData<int32_t>()[0] = position;
        ids.typedData<int32_t>()[0] = 440;
        provider = DictionaryFeatureProvider({{whisper::INPUT_IDS, ids},      {whisper::CACHE_LENGTH, length},
                                              {whisper::KEY_CACHE, keys},     {whisper::VALUE_CACHE, values},
                                              {whisper::UPDATE_MASK, update}, {whisper::ENCODER_OUTPUT, encoder},
                                              {whisper::PADDING_MASK, padding}});
    }
};

double percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    size_t index = static_cast<size_t>(std::ceil(fraction * static_cast<double>(samples.size()))) - 1;
    return samples[std::min(index, samples.size() - 1)];
}

// Decoder steps one after another, each timed on its own; with `besideEncoder` another thread
// runs encoder windows back to back meanwhile, as a second transcription would.
void BM_DecoderStep(benchmark::State& state, std::string size, bool besideEncoder) {
    auto s = *testmodels::namedSize(size);
    auto decoder = Model::load(folderFor(size) / "TextDecoder.mlmodelc", ComputeUnits::cpuOnly);
    DecoderStepInputs inputs(s);
    decoder->predict(inputs.provider);  // the cross-attention keys and values of this encoder output
    std::atomic<bool> stop{false};
    std::atomic<int> windows{0};
    std::thread encoding;
    if (besideEncoder) {
        auto encoder = Model::load(folderFor(size) / "AudioEncoder.mlmodelc", ComputeUnits::cpuOnly);
        encoding = std::thread([&stop, &windows, &s, encoder] {
            MultiArray features({1, s.mels, 1, 3000}, DataType::Float16);
            features.fill(Half(0.25f));
            DictionaryFeatureProvider mel({{whisper::MEL_FEATURES, features}});
            while (!stop.load()) {
                encoder->predict(mel);
                ++windows;
            }
        });
        while (windows.load() == 0) std::this_thread::yield();  // the encoder is warm and running
    }
    std::vector<double> milliseconds;
    milliseconds.reserve(static_cast<size_t>(state.max_iterations));
    for (auto _ : state) {
        auto start = Clock::now();
        benchmark::DoNotOptimize(decoder->predict(inputs.provider));
        milliseconds.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    stop = true;
    if (encoding.joinable()) encoding.join();
    state.counters["median_ms"] = percentile(milliseconds, 0.5);
    state.counters["p99_ms"] = percentile(milliseconds, 0.99);
    state.counters["max_ms"] = percentile(milliseconds, 1.0);
    if (besideEncoder) state.counters["windows"] = windows.load();
}

// Runs `runLoop(0 .. count-1)` one after another on this thread, or each on a thread of its own.
template <typename RunLoop>
void runStepLoops(int count, bool atOnce, RunLoop& runLoop) {
    if (!atOnce) {
        for (int loop = 0; loop < count; ++loop) runLoop(loop);
        return;
    }
    std::vector<std::thread> threads;
    for (int loop = 0; loop < count; ++loop) threads.emplace_back([&runLoop, loop] { runLoop(loop); });
    for (auto& thread : threads) thread.join();
}

// Decoding loops at once, as concurrent transcriptions run them: `loops` threads each run
// `steps` predictions on one decoder model, each loop with its own encoder output. Beside it
// (loops 1) the same predictions of both loops one after another on one thread. Reports the
// wall time of all the loops and the summed time of each loop's predictions.
void BM_DecoderLoops(benchmark::State& state, std::string size, int loops) {
    constexpr int STEPS = 100, LOOPS_COMPARED = 2;
    auto s = *testmodels::namedSize(size);
    auto decoder = Model::load(folderFor(size) / "TextDecoder.mlmodelc", ComputeUnits::cpuOnly);
    std::vector<std::unique_ptr<DecoderStepInputs>> inputs;
    for (int loop = 0; loop < LOOPS_COMPARED; ++loop) {
        inputs.push_back(std::make_unique<DecoderStepInputs>(s));
        inputs.back()->encoder.fill(Half(0.1f + 0.05f * static_cast<float>(loop)));
    }
    for (auto& input : inputs) decoder->predict(input->provider);  // warm
    double summed = 0;
    for (auto _ : state) {
        std::vector<double> loopSeconds(LOOPS_COMPARED, 0);
        auto runLoop = [&](int loop) {
            auto start = Clock::now();
            for (int step = 0; step < STEPS; ++step) benchmark::DoNotOptimize(decoder->predict(inputs[loop]->provider));
            loopSeconds[static_cast<size_t>(loop)] = std::chrono::duration<double>(Clock::now() - start).count();
        };
        // Sequential transcriptions: each loop's steps run on while its window lasts.
        runStepLoops(LOOPS_COMPARED, loops > 1, runLoop);
        summed = 0;
        for (double seconds : loopSeconds) summed += seconds;
    }
    state.counters["summed_loop_ms"] = summed * 1e3;
    state.counters["steps_per_loop"] = STEPS;
}

// The budget alone: `loops` threads each take a holding lease per step and run a few short
// parallelFor loops in it, as decoder steps do; beside it the same steps on one thread.
void BM_BudgetStepLoops(benchmark::State& state, int loops) {
    constexpr int STEPS = 2000, LOOPS_COMPARED = 2, KERNELS = 20;
    auto& budget = ThreadBudget::shared();
    const int wanted = std::max(4, budget.capacity() / 2);
    std::vector<std::vector<float>> data(LOOPS_COMPARED, std::vector<float>(64 * 1024, 1.0f));
    for (auto _ : state) {
        auto runLoop = [&](int loop) {
            auto& values = data[static_cast<size_t>(loop)];
            for (int step = 0; step < STEPS; ++step) {
                auto lease = budget.acquire(wanted);
                for (int kernel = 0; kernel < KERNELS; ++kernel)
                    lease.parallelFor(values.size(), 2048, [&](size_t begin, size_t end) {
                        for (size_t i = begin; i < end; ++i) values[i] = values[i] * 0.999f + 0.001f;
                    });
            }
        };
        runStepLoops(LOOPS_COMPARED, loops > 1, runLoop);
    }
    state.counters["steps_per_loop"] = STEPS;
}

void BM_Mel(benchmark::State& state) {
    auto model = Model::load(folderFor("tiny") / "MelSpectrogram.mlmodelc", ComputeUnits::cpuOnly);
    MultiArray audio({whisper::N_SAMPLES}, DataType::Float32);
    for (int64_t i = 0; i < whisper::N_SAMPLES; ++i)
        audio.typedData<float>()[i] = 0.3f * std::sin(static_cast<float>(i) * 0.07f) + 0.01f * static_cast<float>(i % 13);
    DictionaryFeatureProvider inputs({{whisper::AUDIO, audio}});
    for (auto _ : state) benchmark::DoNotOptimize(model->predict(inputs));
}

// The encoder's two kinds of work on their own, for a 30 s window at width 384.
void BM_LinearMlp(benchmark::State& state) {
    const size_t rows = 1500, in = 384, out = 1536;
    std::vector<float> a(rows * in, 0.01f), w(out * in, 0.02f), bias(out, 0.1f), c(rows * out);
    auto lease = ThreadBudget::shared().acquire();
    for (auto _ : state)
        kernels::linear(lease, a.data(), rows, in, in, w.data(), bias.data(), out, c.data(), out, kernels::Epilogue::gelu);
    state.counters["GFLOPS"] = benchmark::Counter(2.0 * rows * in * out * static_cast<double>(state.iterations()) / 1e9,
                                                  benchmark::Counter::kIsRate);
}

void BM_Attention(benchmark::State& state) {
    const size_t t = 1500, heads = 6, dim = 64, d = heads * dim;
    std::vector<float> qkv(t * 3 * d, 0.01f), out(t * d);
    auto lease = ThreadBudget::shared().acquire();
    for (auto _ : state)
        kernels::attention(lease, qkv.data(), qkv.data() + d, qkv.data() + 2 * d, 3 * d, t, t, heads, dim, out.data(), d);
    state.counters["GFLOPS"] =
        benchmark::Counter(4.0 * t * t * d * static_cast<double>(state.iterations()) / 1e9, benchmark::Counter::kIsRate);
}

// The machine's matrix-multiply rate: a square sgemm on OpenBLAS's own threads.
void BM_Sgemm(benchmark::State& state) {
    const size_t n = 2048;
    std::vector<float> a(n * n, 0.5f), b(n * n, 0.25f), c(n * n);
    OpenBLASThreads threads;
    for (auto _ : state) sgemm(n, n, n, a.data(), n, b.data(), n, c.data(), n);
    state.counters["GFLOPS"] = benchmark::Counter(2.0 * n * n * n * static_cast<double>(state.iterations()) / 1e9,
                                                  benchmark::Counter::kIsRate);
}

std::string cpuModel() {
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line))
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown CPU";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--load-memory") == 0) return measureLoadMemory(argv[2]);

    root = fs::temp_directory_path() / ("mlruntime-bench-" + std::to_string(getpid()));
    for (const char* size : {"tiny", "base"}) {
        testmodels::FolderOptions options;
        options.size = *testmodels::namedSize(size);
        testmodels::writeModelFolder(folderFor(size), options);
    }
    ThreadBudget::shared();  // fixes OpenBLAS's thread count before anything runs

    const char* parallel[] = {"sequential", "pthreads", "OpenMP"};
    int mode = openblas_get_parallel();
    std::printf("Machine: %s, %d usable cores; kernel path %s\n", cpuModel().c_str(), cores(),
                kernelPathName(kernelPath()));
    std::printf("OpenBLAS: %s; kernels for %s; %s threading\n", openblas_get_config(), openblas_get_corename(),
                mode >= 0 && mode <= 2 ? parallel[mode] : "unknown");
    std::printf("Memory added by loading mel + encoder + decoder (half-precision files), in a fresh process:\n");
    for (const char* size : {"tiny", "base"}) {
        auto dims = *testmodels::namedSize(size);
        LoadMemory memory = loadMemory(folderFor(size));
        double reference = float32WeightBytes(dims);
        std::printf("  %-5s width %lld, %lld layers: float32 weights %.1f MB; resident %.1f MB (ratio %.2f), "
                    "peak %.1f MB (ratio %.2f)\n",
                    size, static_cast<long long>(dims.width), static_cast<long long>(dims.layers), reference / 1e6,
                    memory.resident / 1e6, memory.resident / reference, memory.peak / 1e6, memory.peak / reference);
    }
    std::fflush(stdout);

    auto repeated = [](benchmark::internal::Benchmark* b, int iterations, int repetitions) {
        b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(iterations)->Repetitions(repetitions)
            ->ReportAggregatesOnly(true);
    };
    repeated(benchmark::RegisterBenchmark("Kernel/LinearGelu/1500x384x1536", BM_LinearMlp), 20, 15);
    repeated(benchmark::RegisterBenchmark("Kernel/Attention/1500x1500x6x64", BM_Attention), 10, 15);
    repeated(benchmark::RegisterBenchmark("Mel/30s", BM_Mel), 5, 15);
    for (const char* size : {"tiny", "base"}) {
        auto s = *testmodels::namedSize(size);
        std::string shape = std::to_string(s.width) + "x" + std::to_string(s.layers);
        benchmark::RegisterBenchmark(("Encoder/" + shape + "/vs-openblas-matrix-work").c_str(), BM_Encoder,
                                     std::string(size))
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(21);
        for (bool beside : {false, true})
            benchmark::RegisterBenchmark(
                ("DecoderStep/" + shape + (beside ? "/beside-encoder" : "/alone")).c_str(), BM_DecoderStep,
                std::string(size), beside)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->Iterations(beside ? 2000 : 1000);
    }
    for (const char* size : {"tiny", "base"}) {
        auto s = *testmodels::namedSize(size);
        std::string shape = std::to_string(s.width) + "x" + std::to_string(s.layers);
        for (int loops : {1, 2})
            benchmark::RegisterBenchmark(("DecoderLoops/" + shape + (loops == 1 ? "/one-after-another" : "/two-at-once")).c_str(),
                                         BM_DecoderLoops, std::string(size), loops)
                ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5)->ReportAggregatesOnly(true);
    }
    for (int loops : {1, 2})
        repeated(benchmark::RegisterBenchmark(loops == 1 ? "BudgetStepLoops/one-after-another" : "BudgetStepLoops/two-at-once",
                                              BM_BudgetStepLoops, loops), 1, 5);
    // Last: OpenBLAS's own threads keep spinning for a while after their calls.
    repeated(benchmark::RegisterBenchmark("Sgemm/2048/openblas", BM_Sgemm), 5, 15);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::printf("\nEncoder: medians of a whole window (median_ms) and of its matrix products alone on OpenBLAS's "
                "threads (openblas_median_ms), run alternately; vs_openblas > 1: the encoder is faster.\n"
                "DecoderStep: per-step median, 99th percentile and worst.\n");
    benchmark::Shutdown();
    fs::remove_all(root);
    return 0;
}

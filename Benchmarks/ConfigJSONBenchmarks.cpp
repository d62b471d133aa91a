// Loading the English speech-model tokenizer's tokenizer.json (1.7 MB, a 50k-entry "vocab" object)
// into a Config, and the whole tokenizer from its folder. Set beside, in the same run: nlohmann::json
// (std::map objects) and nlohmann::ordered_json (insertion-ordered objects) parsing the same bytes,
// and the ordered tree converted to a Config, the route configuration files took before the
// direct reading into a Config.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "DaroriCore/External/Hub/BOMPreservingJSON.hpp"
#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/HubApiWrapper.hpp"
#include "DaroriCore/TokenizerWrapper.hpp"

using namespace darori;

namespace {

const std::filesystem::path FIXTURE = std::filesystem::path(TALKWEFT_SOURCE_DIR) / ".." / "shared" / "fixtures" / "tokenizer-en";

const std::string& tokenizerBytes() {
    static const std::string bytes = [] {
        std::ifstream in(FIXTURE / "tokenizer.json", std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }();
    return bytes;
}

void BM_NlohmannJSONParse(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(tokenizerBytes()));
}

void BM_NlohmannOrderedJSONParse(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(nlohmann::ordered_json::parse(tokenizerBytes()));
}

void BM_OrderedJSONThenConfig(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(Config::convertToBinaryDistinctKeys(bomPreservingJsonObject(tokenizerBytes())));
    }
}

void BM_BOMPreservingConfig(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(bomPreservingConfig(tokenizerBytes()));
}

void BM_TokenizerFromFolder(benchmark::State& state) {
    const HubApiWrapper hub(std::filesystem::temp_directory_path() / "talkweft-config-json-benchmark");
    for (auto _ : state) benchmark::DoNotOptimize(AutoTokenizerWrapper::fromModelFolder(FIXTURE, hub, true));
}

}  // namespace

BENCHMARK(BM_NlohmannJSONParse)->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_NlohmannOrderedJSONParse)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_OrderedJSONThenConfig)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_BOMPreservingConfig)->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);
// The tokenizer is read on a worker thread: wall time, not the benchmark thread's CPU time.
BENCHMARK(BM_TokenizerFromFolder)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();

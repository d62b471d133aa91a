// Download throughput of the hub client's resumable downloader from the local test hub, beside
// the curl command-line tool fetching the same file from the same server in the same run.
// Figures: bytes_per_second (median of the repetitions) of each.
#include <filesystem>
#include <memory>
#include <cstring>
#include <random>

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include "DaroriCore/External/Hub/Downloader.hpp"
#include "HubServer.hpp"

extern char** environ;

namespace {

constexpr std::size_t FILE_SIZE = 128 * 1024 * 1024;

struct Fixture {
    Fixture() {
        std::string content(FILE_SIZE, '\0');
        std::mt19937_64 rng(1);
        for (std::size_t i = 0; i + 8 <= content.size(); i += 8) {
            const auto v = rng();
            std::memcpy(content.data() + i, &v, 8);
        }
        server.addFile("owner/repo", "model.bin", content);
    }
    std::string url() const { return server.endpoint() + "/owner/repo/resolve/main/model.bin"; }
    hubtests::HubServer server;
    hubtests::TempFolder folder;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_HubDownloader(benchmark::State& state) {
    auto& f = fixture();
    const auto destination = f.folder / "ours.bin";
    const auto incomplete = f.folder / "ours.bin.incomplete";
    for (auto _ : state) {
        hubtests::writeFile(incomplete, "");
        darori::Downloader downloader(destination, incomplete);
        auto states = downloader.download(f.url(), std::nullopt, {}, std::int64_t(FILE_SIZE));
        for (;;) {
            const auto s = states->next();
            if (s->kind == darori::Downloader::DownloadState::Kind::failed) {
                state.SkipWithError("download failed");
                return;
            }
            if (s->kind == darori::Downloader::DownloadState::Kind::completed) break;
        }
    }
    if (std::filesystem::file_size(destination) != FILE_SIZE) state.SkipWithError("wrong size");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FILE_SIZE));
}

void BM_CurlCommandLine(benchmark::State& state) {
    auto& f = fixture();
    const std::string destination = (f.folder / "curl.bin").string();
    std::string url = f.url();
    for (auto _ : state) {
        std::vector<std::string> args{"curl", "--silent", "--fail", "--noproxy", "*", "-o", destination, url};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        int status = 0;
        if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0 || waitpid(pid, &status, 0) < 0 ||
            !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("curl failed");
            return;
        }
    }
    if (std::filesystem::file_size(destination) != FILE_SIZE) state.SkipWithError("wrong size");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FILE_SIZE));
}

}  // namespace

BENCHMARK(BM_HubDownloader)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_CurlCommandLine)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(7)->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    fixture();  // the server and the file stand before anything is timed
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}

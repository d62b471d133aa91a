#include "DaroriCore/ModelDownloader.hpp"
#include "DaroriCore/DaroriCoreError.hpp"

#include <gtest/gtest.h>

#include "HubServer.hpp"

using namespace darori;
using hubtests::HubServer;
using hubtests::errorText;
using hubtests::TempFolder;
using hubtests::writeFile;

namespace {

const ModelInfo TINY{"v1", "int8", "tiny", mlruntime::ComputeUnits::cpuOnly};

struct ModelDownloaderTest : ::testing::Test {
    ModelDownloaderTest() {
        server.addFile("org/models", "tiny/v1/int8/Encoder.mlmodelc/model.json", "{}");
        server.addFile("org/models", "tiny/v1/int8/config.json", "{}");
        server.addFile("org/models", "base/v1/int8/Encoder.mlmodelc/model.json", "{}");
    }
    ModelDownloader downloader(const std::string& endpoint) const {
        return ModelDownloader(ModelDownloadConfig{cache.path().string(), "org/models", std::string(), std::nullopt, false, endpoint, "main"});
    }
    std::filesystem::path resolve(const ModelDownloader& d, const std::string& name, bool download, std::vector<ModelState>& states,
                                  const std::optional<std::filesystem::path>& folder = std::nullopt) const {
        return d.resolveModel(name, TINY, folder, std::nullopt, download, [&](ModelState s) { states.push_back(s); });
    }

    HubServer server;
    TempFolder cache;
};

}  // namespace

TEST(ModelInfo, DerivedValues) {
    const ModelInfo bare{std::nullopt, std::nullopt, "tiny", mlruntime::ComputeUnits::all};
    EXPECT_EQ(bare.downloadPattern(), "tiny/*/*/*");
    EXPECT_EQ(bare.modelURL("/b"), "/b/tiny");
    EXPECT_EQ(bare.description(), "tiny");
    EXPECT_EQ(bare.debugDescription(), "ModelInfo(name: tiny, version: nil, variant: nil, computeUnit: all)");
    EXPECT_EQ(TINY.downloadPattern(), "tiny/v1/int8/*");
    EXPECT_EQ(TINY.modelURL("/b"), "/b/tiny/v1/int8");
    EXPECT_EQ(TINY.description(), "tiny/v1/int8");
    EXPECT_EQ(TINY.findBaseFolder("/x/tiny/v1/int8"), std::filesystem::path("/x"));
    EXPECT_EQ(TINY.findBaseFolder("/x/other"), std::nullopt);
    for (const ModelInfo& bad : {ModelInfo{std::nullopt, std::nullopt, "../..", {}}, ModelInfo{"../v", std::nullopt, "tiny", {}},
                                 ModelInfo{std::nullopt, "a/b", "tiny", {}}, ModelInfo{std::nullopt, std::nullopt, "", {}}}) {
        EXPECT_THROW(bad.modelURL("/b"), DaroriCoreError) << bad.description();
    }
}

TEST_F(ModelDownloaderTest, ResolutionOrder) {
    // Nothing local and download disabled: no state, the model named.
    std::vector<ModelState> states;
    EXPECT_EQ(errorText([&] { resolve(downloader(server.endpoint()), "Encoder", false, states); }),
              "No model found for Encoder (download disabled)");
    EXPECT_TRUE(states.empty());
    EXPECT_EQ(server.requests().size(), 0u) << "the cache probe asks nothing of the hub";

    // By download: downloading, then downloaded.
    const auto url = resolve(downloader(server.endpoint()), "Encoder", true, states);
    EXPECT_EQ(url, cache.path() / "models/org/models/tiny/v1/int8/Encoder.mlmodelc");
    EXPECT_EQ(states, (std::vector<ModelState>{ModelState::downloading, ModelState::downloaded}));
    EXPECT_FALSE(std::filesystem::exists(cache.path() / "models/org/models/base")) << "only the model's own files";

    // From the cache: no request at all, even with a hub that cannot be reached.
    const std::size_t before = server.requests().size();
    states.clear();
    EXPECT_EQ(resolve(downloader("http://127.0.0.1:9"), "Encoder", false, states), url);
    EXPECT_EQ(states, std::vector<ModelState>{ModelState::downloaded});
    EXPECT_EQ(server.requests().size(), before);

    // From an explicit folder: no state, no hub.
    TempFolder own;
    std::filesystem::create_directories(own / "tiny/v1/int8/Encoder.mlmodelc");
    states.clear();
    EXPECT_EQ(resolve(downloader("http://127.0.0.1:9"), "Encoder", false, states, own.path()), own / "tiny/v1/int8/Encoder.mlmodelc");
    EXPECT_TRUE(states.empty());

    // Downloaded, but the repository has no such model file.
    states.clear();
    EXPECT_EQ(errorText([&] { resolve(downloader(server.endpoint()), "Decoder", true, states); }), "No model found for Decoder");
    EXPECT_EQ(states, std::vector<ModelState>{ModelState::downloading});

    // A model file name that would leave the model folder is refused.
    states.clear();
    EXPECT_THROW(resolve(downloader(server.endpoint()), "../../Encoder", true, states, own.path()), DaroriCoreError);
    EXPECT_TRUE(states.empty());
}

TEST_F(ModelDownloaderTest, DownloadModelAndRepositories) {
    const auto d = downloader(server.endpoint());
    EXPECT_EQ(errorText([&] { d.downloadModel(TINY, cache.path(), true); }), "No models found matching \"tiny/v1/int8/*\" in org/models");
    EXPECT_EQ(d.downloadModel(TINY, cache.path(), false), cache.path() / "models/org/models");
    EXPECT_EQ(d.downloadModel(TINY, cache.path(), true), cache.path() / "models/org/models");

    // A local copy that validates is used without a request; download disabled and nothing local fails.
    const std::size_t before = server.requests().size();
    std::vector<double> progress;
    EXPECT_EQ(d.resolveRepo({"tiny/v1/int8/*"}, std::nullopt, true, [&](const Progress& p) { progress.push_back(p.fractionCompleted()); }),
              cache.path() / "models/org/models");
    EXPECT_EQ(server.requests().size(), before);
    EXPECT_TRUE(progress.empty());
    for (const auto& pattern : {"base/v1/int8/*", "*/v1/*", "../../*"}) {
        EXPECT_EQ(errorText([&] { d.resolveRepo({pattern}, std::nullopt, false); }),
                  "No valid local models found for repo 'org/models' and download is disabled.")
            << pattern;
    }
    EXPECT_EQ(d.resolveRepo({"base/*"}, std::nullopt, true, [&](const Progress& p) { progress.push_back(p.fractionCompleted()); }),
              cache.path() / "models/org/models");
    EXPECT_TRUE(std::filesystem::exists(cache.path() / "models/org/models/base/v1/int8/Encoder.mlmodelc/model.json"));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 1.0);
    auto names = d.fetchFilenames({"tiny/*"}, std::nullopt);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"tiny/v1/int8/Encoder.mlmodelc/model.json", "tiny/v1/int8/config.json"}));

    // A repository id that would leave the cache is refused before anything is joined.
    ModelDownloader escaping(ModelDownloadConfig{cache.path().string(), "../x", std::nullopt, std::nullopt, false, server.endpoint(), "main"});
    EXPECT_THROW(escaping.localRepoLocation(std::nullopt), DaroriCoreError);
}

TEST_F(ModelDownloaderTest, ResolveModelPathHonoursAnOverride) {
    struct Fixed : ModelDownloader {
        using ModelDownloader::ModelDownloader;
        std::filesystem::path resolveModel(const std::string&, const ModelInfo&, const std::optional<std::filesystem::path>&,
                                           const std::optional<std::filesystem::path>&, bool,
                                           const std::function<void(ModelState)>&) const override {
            return "/fixed/model.mlmodelc";
        }
    };
    const Fixed fixed("http://127.0.0.1:9", "org/models", std::nullopt, "main", false);
    EXPECT_EQ(fixed.resolveModelPath("Encoder", TINY, std::nullopt, std::nullopt, true), "/fixed/model.mlmodelc");
}

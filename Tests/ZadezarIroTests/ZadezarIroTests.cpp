// The engine facade's construction, model setup (local folder, test hub, cache), loading,
// prewarming, unloading and tokenizer, and that loads never overlap.
#include "ZadezarIro/Core/ZadezarIro.hpp"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "FacadeTestSupport.hpp"
#include "HubServer.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;
using darori::ModelState;
namespace fs = std::filesystem;

// Asked of the facade's class, without an instance.
static_assert(!ZadezarIro::isRunningOnSimulator);

namespace {

using StateChange = std::pair<std::optional<ModelState>, ModelState>;

// Records every model state change the facade reports.
struct ModelStateLog {
    std::mutex mutex;
    std::vector<StateChange> changes;
    void attach(ZadezarIro& facade) {
        facade.setModelStateCallback([this](std::optional<ModelState> from, ModelState to) {
            std::lock_guard lock(mutex);
            changes.emplace_back(from, to);
        });
    }
    std::vector<StateChange> taken() {
        std::lock_guard lock(mutex);
        return std::exchange(changes, {});
    }
};

// A gate that load calls wait at until the test opens it.
class Gate {
public:
    void wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return open_; });
    }
    void set(bool open) {
        std::lock_guard lock(mutex_);
        open_ = open;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
};

// The mel model's component, counting its loads and holding each at the gate.
class GatedExtractor : public FeatureExtractor {
public:
    using WhisperMLModel::loadModel;
    void loadModel(const fs::path& path, mlruntime::ComputeUnits units, bool prewarmMode) override {
        ++loads;
        gate.wait();
        FeatureExtractor::loadModel(path, units, prewarmMode);
    }
    std::atomic<int> loads{0};
    Gate gate;
};

void copyFolder(const fs::path& from, const fs::path& to) {
    fs::create_directories(to);
    fs::copy(from, to, fs::copy_options::recursive);
}

}  // namespace

TEST(ZadezarIroSetup, PrewarmThenLoadFromALocalFolderThenUnloadKeepsTheTokenizer) {
    auto config = localConfig();
    config.load = false;
    auto facade = ZadezarIro::create(config);
    EXPECT_EQ(facade->modelState(), ModelState::unloaded);
    EXPECT_EQ(facade->modelFolder(), sharedTestModel());
    ModelStateLog states;
    states.attach(*facade);

    facade->prewarmModels();
    EXPECT_EQ(states.taken(), (std::vector<StateChange>{{ModelState::unloaded, ModelState::prewarming},
                                                        {ModelState::prewarming, ModelState::prewarmed}}));
    auto extractor = std::dynamic_pointer_cast<FeatureExtractor>(facade->featureExtractor());
    auto decoder = std::dynamic_pointer_cast<TextDecoder>(facade->textDecoder());
    ASSERT_TRUE(extractor && decoder);
    EXPECT_FALSE(extractor->model()) << "a prewarm keeps no model";
    EXPECT_FALSE(decoder->model());
    EXPECT_FALSE(facade->tokenizer());

    facade->loadModels();
    EXPECT_EQ(states.taken(), (std::vector<StateChange>{{ModelState::prewarmed, ModelState::loading},
                                                        {ModelState::loading, ModelState::loaded}}));
    EXPECT_TRUE(extractor->model());
    EXPECT_EQ(facade->modelVariant(), ModelVariant::tinyEn);
    ASSERT_TRUE(facade->tokenizer());
    EXPECT_EQ(decoder->tokenizer(), facade->tokenizer());
    EXPECT_FALSE(decoder->isModelMultilingual());
    EXPECT_GT(facade->currentTimings().modelLoading, 0.0);
    EXPECT_GT(facade->currentTimings().prewarmLoadTime, 0.0);

    const auto tokenizer = facade->tokenizer();
    facade->unloadModels();
    EXPECT_EQ(states.taken(), (std::vector<StateChange>{{ModelState::loaded, ModelState::unloading},
                                                        {ModelState::unloading, ModelState::unloaded}}));
    EXPECT_FALSE(extractor->model());
    EXPECT_FALSE(decoder->model());
    EXPECT_EQ(facade->tokenizer(), tokenizer);
    EXPECT_EQ(facade->modelVariant(), ModelVariant::tinyEn);

    facade->clearState();
    EXPECT_EQ(facade->currentTimings().modelLoading, 0.0);
    EXPECT_EQ(facade->currentTimings().inputAudioSeconds, 0.001);
    EXPECT_EQ(facade->tokenizer(), tokenizer) << "clearing touches only the timings and the recording";
}

TEST(ZadezarIroSetup, ConstructionRunsSetupThenPrewarmThenLoad) {
    auto config = localConfig();
    config.prewarm = true;  // load absent: a model folder means load
    auto facade = ZadezarIro::create(config);
    EXPECT_EQ(facade->modelState(), ModelState::loaded);
    EXPECT_GT(facade->currentTimings().prewarmLoadTime, 0.0);
    EXPECT_TRUE(facade->tokenizer());
}

TEST(ZadezarIroSetup, WithoutAFolderNothingLoadsAndTheDownloadBaseHoldsTokenizers) {
    TempDir base;
    ZadezarIroConfig config;
    config.downloadBase = base.path;
    config.download = false;
    config.verbose = false;
    config.logLevel = darori::Logging::LogLevel::debug;
    auto facade = ZadezarIro::create(config);
    EXPECT_FALSE(darori::Logging::isLoggingEnabled()) << "not verbose: the level does not matter";
    EXPECT_EQ(facade->modelState(), ModelState::unloaded);
    EXPECT_FALSE(facade->modelFolder());
    EXPECT_EQ(facade->tokenizerFolder(), base.path);
    expectWhisperError([&] { facade->loadModels(); }, "Model folder is not set.");
    EXPECT_EQ(facade->modelState(), ModelState::loading);
}

TEST(ZadezarIroSetup, AMissingModelFileIsNamed) {
    TempDir dir;
    const auto folder = dir.path / "model";
    copyFolder(sharedTestModel(), folder);
    fs::remove_all(folder / "TextDecoder.mlmodelc");
    auto config = localConfig(folder);
    config.load = false;
    auto facade = ZadezarIro::create(config);
    expectWhisperError([&] { facade->loadModels(); }, "Model file not found at " + (folder / "TextDecoder.mlmodelc").string());
    EXPECT_EQ(facade->modelState(), ModelState::loading);
}

TEST(ZadezarIroSetup, TheTokenizerIsFoundInTheTokenizerFolderWithoutNetwork) {
    // Any request to the hub would fail: nothing listens on the discard port.
    setenv("HUB_ENDPOINT", "http://127.0.0.1:9", 1);
    TempDir tokenizers;
    copyFolder(TOKENIZER_FIXTURE, tokenizers.path / "models" / "openai" / "whisper-tiny.en");
    auto config = localConfig();
    config.tokenizerFolder = tokenizers.path;
    auto facade = ZadezarIro::create(config);
    EXPECT_EQ(facade->modelVariant(), ModelVariant::tinyEn);
    ASSERT_TRUE(facade->tokenizer());
    EXPECT_EQ(facade->tokenizer()->specialTokens().endToken, 50256);
    unsetenv("HUB_ENDPOINT");
}

TEST(ZadezarIroLoading, TwoTranscriptionsOnAnUnloadedFacadeShareOneLoad) {
    WaitableLog log;
    auto extractor = std::make_shared<GatedExtractor>();
    auto config = localConfig();
    config.load = false;
    config.featureExtractor = extractor;
    config.verbose = true;
    config.logLevel = darori::Logging::LogLevel::debug;
    auto facade = ZadezarIro::create(config);
    ModelStateLog states;
    states.attach(*facade);

    extractor->gate.set(false);
    TranscriptionResults first, second;
    std::jthread firstCaller([&] { first = facade->transcribe(toneSamples(2)); });
    log.waitFor("Loading feature extractor");
    std::jthread secondCaller([&] { second = facade->transcribe(toneSamples(2)); });
    // The second caller waits for the load under way (or, were loads to overlap, starts its own).
    log.waitUntil([](auto count) {
        return count("Waiting for the model operation under way") > 0 || count("Loading feature extractor") > 1;
    });
    extractor->gate.set(true);
    firstCaller.join();
    secondCaller.join();

    EXPECT_EQ(extractor->loads, 1);
    EXPECT_EQ(states.taken(), (std::vector<StateChange>{{ModelState::unloaded, ModelState::loading},
                                                        {ModelState::loading, ModelState::loaded}}));
    EXPECT_EQ(log.count("Loading tokenizer for whisper size: "), 1u);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0]->text(), "Hello world.");
    EXPECT_EQ(second[0]->text(), "Hello world.");
}

TEST(ZadezarIroLoading, AnUnloadWaitsForTheRunningLoad) {
    WaitableLog log;
    auto extractor = std::make_shared<GatedExtractor>();
    auto config = localConfig();
    config.load = false;
    config.featureExtractor = extractor;
    config.verbose = true;
    config.logLevel = darori::Logging::LogLevel::debug;
    auto facade = ZadezarIro::create(config);
    ModelStateLog states;
    states.attach(*facade);

    extractor->gate.set(false);
    std::jthread loader([&] { facade->loadModels(); });
    log.waitFor("Loading feature extractor");
    std::jthread unloader([&] { facade->unloadModels(); });
    log.waitUntil([](auto count) { return count("Waiting for the model operation under way") > 0 || count("Unloaded all models") > 0; });
    extractor->gate.set(true);
    loader.join();
    unloader.join();

    EXPECT_EQ(states.taken(), (std::vector<StateChange>{{ModelState::unloaded, ModelState::loading},
                                                        {ModelState::loading, ModelState::loaded},
                                                        {ModelState::loaded, ModelState::unloading},
                                                        {ModelState::unloading, ModelState::unloaded}}));
    EXPECT_FALSE(extractor->model()) << "the unload ran after the load, not before its end";
}

class ZadezarIroHubSetup : public ::testing::Test {
protected:
    void SetUp() override {
        // The hub is on 127.0.0.1: the client must not go offline on a machine without a default route.
        setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
        hub = std::make_unique<hubtests::HubServer>();
        endpoint = hub->endpoint();
        for (const auto& entry : fs::recursive_directory_iterator(sharedTestModel())) {
            if (!entry.is_regular_file()) continue;
            const auto relative = fs::relative(entry.path(), sharedTestModel()).string();
            hub->addFile(REPO, "openai_whisper-tiny.en/" + relative, readFile(entry.path()));
        }
    }

    ZadezarIroConfig hubConfig() const {
        auto config = localConfig();
        config.modelFolder.reset();
        config.model = "tiny.en";
        config.download = true;
        config.load = true;
        config.downloadBase = cache.path;
        config.tokenizerFolder = TOKENIZER_FIXTURE;
        config.modelEndpoint = endpoint;
        return config;
    }

    static constexpr const char* REPO = "zevidirev/zadezariro-coreml";
    std::unique_ptr<hubtests::HubServer> hub;
    std::string endpoint;
    TempDir cache;
};

TEST_F(ZadezarIroHubSetup, TheModelIsDownloadedWithProgressThenLoadsFromTheCacheOffline) {
    const fs::path expected = cache.path / "models" / REPO / "openai_whisper-tiny.en";
    std::vector<double> fractions;
    std::mutex mutex;
    const auto folder = ZadezarIro::download("tiny.en", cache.path, false, REPO, std::nullopt, endpoint,
                                             [&](const darori::Progress& progress) {
                                                 std::lock_guard lock(mutex);
                                                 fractions.push_back(progress.fractionCompleted());
                                             });
    EXPECT_EQ(folder, expected);
    ASSERT_FALSE(fractions.empty());
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0);

    auto facade = ZadezarIro::create(hubConfig());
    EXPECT_EQ(facade->modelFolder(), expected);
    EXPECT_EQ(facade->modelState(), ModelState::loaded);
    EXPECT_EQ(facade->modelVariant(), ModelVariant::tinyEn);

    // Without the hub the cached folder still serves, named as the model folder.
    hub.reset();
    auto offline = hubConfig();
    offline.modelFolder = expected.string();
    auto cached = ZadezarIro::create(offline);
    EXPECT_EQ(cached->modelState(), ModelState::loaded);
    // Asking the hub for it instead fails with the setup's message.
    expectWhisperError([&] { ZadezarIro::create(hubConfig()); },
                       "Model not found. Please check the model or repo name and try again.\nError: ");
}

TEST_F(ZadezarIroHubSetup, AnUnknownModelIsNotFound) {
    auto config = hubConfig();
    config.model = "large-v9";
    expectWhisperError([&] { ZadezarIro::create(config); },
                       "Model not found. Please check the model or repo name and try again.\nError: No models found matching");
}

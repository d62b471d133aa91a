#include "DaroriCore/ModelManager.hpp"

#include <atomic>
#include <condition_variable>
#include <thread>

#include <gtest/gtest.h>

#include "DaroriCore/DaroriCoreError.hpp"
#include "DaroriCore/Logging.hpp"

#include "TempFolder.hpp"

using namespace darori;
using hubtests::errorText;

namespace {

class CountingLoader : public ModelLoader {
public:
    std::optional<std::string> folder;
    bool failLoad = false;
    std::atomic<int> resolves{0}, loads{0}, unloads{0};
    std::atomic<int> arrived{0};  // callers that have reached the manager
    int waitFor = 0;              // resolveModels waits until this many callers arrived

    std::optional<std::string> modelFolder() const override { return folder; }
    std::string resolveModels(const ModelDownloader&, const std::function<void(const Progress&)>&) override {
        ++resolves;
        while (arrived.load() < waitFor) std::this_thread::yield();
        return "/models/resolved";
    }
    void load(const std::string& path, bool prewarm) override {
        ++loads;
        lastPath = path;
        lastPrewarm = prewarm;
        if (failLoad) throw std::runtime_error("weights are damaged");
    }
    void unload() override { ++unloads; }
    std::string lastPath;
    bool lastPrewarm = false;
};

struct ModelManagerTest : ::testing::Test {
    std::shared_ptr<CountingLoader> loader = std::make_shared<CountingLoader>();
    ModelManager manager{loader, std::make_shared<ModelDownloader>("http://127.0.0.1:9", "org/models", std::nullopt, "main", false)};
    std::vector<std::pair<ModelState, ModelState>> changes;
    void SetUp() override {
        manager.setModelStateCallback([this](ModelState a, ModelState b) { changes.emplace_back(a, b); });
    }
};

}  // namespace

TEST_F(ModelManagerTest, TenConcurrentCallersLoadOnce) {
    loader->waitFor = 10;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < 10; ++i) {
        threads.emplace_back([&] {
            ++loader->arrived;
            try {
                manager.ensureModelsLoaded();
            } catch (...) {
                ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(loader->resolves, 1);
    EXPECT_EQ(loader->loads, 1);
    EXPECT_FALSE(loader->lastPrewarm);
    EXPECT_EQ(loader->lastPath, "/models/resolved");
    EXPECT_EQ(manager.modelPath(), std::filesystem::path("/models/resolved"));
    EXPECT_EQ(changes, (std::vector<std::pair<ModelState, ModelState>>{{ModelState::unloaded, ModelState::downloading},
                                                                        {ModelState::downloading, ModelState::downloaded},
                                                                        {ModelState::downloaded, ModelState::loading},
                                                                        {ModelState::loading, ModelState::loaded}}));
    manager.ensureModelsLoaded();
    EXPECT_EQ(loader->loads, 1) << "loaded: nothing to do";

    manager.unloadModels();
    EXPECT_EQ(manager.modelState(), ModelState::unloaded);
    EXPECT_EQ(loader->unloads, 1);
    EXPECT_EQ(changes.back(), std::make_pair(ModelState::unloading, ModelState::unloaded));
    manager.unloadModels();
    EXPECT_EQ(loader->unloads, 1) << "unloaded: nothing to do";
}

TEST_F(ModelManagerTest, AFailedLoadReachesEveryCaller) {
    loader->failLoad = true;
    loader->waitFor = 10;
    std::vector<std::thread> threads;
    std::vector<std::string> errors(10);
    for (int i = 0; i < 10; ++i) {
        threads.emplace_back([&, i] {
            ++loader->arrived;
            errors[i] = errorText([&] { manager.ensureModelsLoaded(); });
        });
    }
    for (auto& t : threads) t.join();
    for (const auto& e : errors) EXPECT_EQ(e, "weights are damaged");
    EXPECT_EQ(manager.modelState(), ModelState::unloaded);
    const int loadsSoFar = loader->loads;
    EXPECT_GE(loadsSoFar, 1);
    loader->failLoad = false;
    manager.ensureModelsLoaded();
    EXPECT_EQ(loader->loads, loadsSoFar + 1) << "a later call starts a new load";
    EXPECT_TRUE(manager.isLoaded());
}

TEST_F(ModelManagerTest, StatesAndRefusals) {
    loader->folder = "/own/models";
    manager.downloadModels();
    EXPECT_EQ(loader->resolves, 0);
    EXPECT_EQ(manager.modelPath(), std::filesystem::path("/own/models"));
    EXPECT_EQ(changes, (std::vector<std::pair<ModelState, ModelState>>{{ModelState::unloaded, ModelState::downloaded}}));
    EXPECT_TRUE(manager.isAvailable());
    manager.unloadModels();
    EXPECT_EQ(loader->unloads, 0) << "downloaded is not loaded";

    manager.prewarmModels();
    EXPECT_EQ(manager.modelState(), ModelState::prewarmed);
    EXPECT_TRUE(loader->lastPrewarm);
    EXPECT_FALSE(manager.isAvailable());
    manager.loadModels();
    EXPECT_TRUE(manager.isLoaded());
    EXPECT_EQ(errorText([&] { manager.prewarmModels(); }), "Cannot prewarm in state: Loaded");

    testing::internal::CaptureStderr();
    Logging::updateLogLevel(Logging::LogLevel::debug);
    manager.downloadModels();
    Logging::updateLogLevel(Logging::LogLevel::none);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[ModelManager] Models already downloaded (state: Loaded), skipping download"),
              std::string::npos);

    // No path known while another call is still downloading.
    struct Stuck : CountingLoader {
        ModelManager* manager = nullptr;
        std::string seen;
        std::string resolveModels(const ModelDownloader&, const std::function<void(const Progress&)>&) override {
            seen = errorText([&] { manager->loadModels(); });
            return "/x";
        }
    };
    auto stuck = std::make_shared<Stuck>();
    ModelManager second(stuck, std::make_shared<ModelDownloader>("http://127.0.0.1:9", "org/models", std::nullopt, "main", false));
    stuck->manager = &second;
    second.downloadModels();
    EXPECT_EQ(stuck->seen, "No model path available. Call downloadModels() first, or provide modelFolder.");
}

TEST_F(ModelManagerTest, AnythingThrownByTheLoaderResetsTheState) {
    // A loader may throw something that is not a std::exception; the manager must still leave
    // "downloading", "prewarming" or "loading" and pass the error on.
    struct NotAnException {
        int code;
    };
    struct Throwing : CountingLoader {
        std::string failIn;
        std::string resolveModels(const ModelDownloader& d, const std::function<void(const Progress&)>& p) override {
            if (failIn == "resolve") throw NotAnException{1};
            return CountingLoader::resolveModels(d, p);
        }
        void load(const std::string& path, bool prewarm) override {
            if (failIn == (prewarm ? "prewarm" : "load")) throw NotAnException{2};
            CountingLoader::load(path, prewarm);
        }
    };
    const std::pair<const char*, std::function<void(ModelManager&)>> cases[] = {
        {"resolve", [](ModelManager& m) { m.downloadModels(); }},
        {"prewarm", [](ModelManager& m) { m.prewarmModels(); }},
        {"load", [](ModelManager& m) { m.loadModels(); }},
        {"load", [](ModelManager& m) { m.ensureModelsLoaded(); }},
    };
    for (const auto& [failIn, call] : cases) {
        SCOPED_TRACE(failIn);
        auto throwing = std::make_shared<Throwing>();
        throwing->failIn = failIn;
        ModelManager m(throwing, std::make_shared<ModelDownloader>("http://127.0.0.1:9", "org/models", std::nullopt, "main", false));
        bool passedOn = false;
        try {
            call(m);
        } catch (const NotAnException&) {
            passedOn = true;
        }
        EXPECT_TRUE(passedOn);
        EXPECT_EQ(m.modelState(), ModelState::unloaded) << description(m.modelState());
        throwing->failIn.clear();
        m.ensureModelsLoaded();
        EXPECT_TRUE(m.isLoaded()) << "a later call starts afresh";
    }
}

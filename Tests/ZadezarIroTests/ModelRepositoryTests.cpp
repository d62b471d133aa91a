#include "ZadezarIro/Core/ModelRepository.hpp"

#include <cstdlib>
#include <mutex>

#include <gtest/gtest.h>

#include "HubServer.hpp"
#include "TestSupport.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"
#include "ZadezarIro/Core/ZadezarIroConfig.hpp"
#include "ZadezarIro/Utilities/ModelUtilities.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

using namespace zadezariro;
namespace fs = std::filesystem;

namespace {

constexpr const char* REPO = "zevidirev/zadezariro-coreml";

// Engine log lines at debug and above; the download reports progress from the transfer's thread.
class Log {
public:
    Log() {
        darori::Logging::updateCallback([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
        darori::Logging::updateLogLevel(darori::Logging::LogLevel::debug);
    }
    ~Log() {
        darori::Logging::updateCallback(nullptr);
        darori::Logging::updateLogLevel(darori::Logging::LogLevel::none);
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool has(const std::string& line) const {
        for (const auto& l : lines())
            if (l == line) return true;
        return false;
    }
    bool hasPrefix(const std::string& prefix) const {
        for (const auto& l : lines())
            if (l.rfind(prefix, 0) == 0) return true;
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A model-support file with one row per (identifier, default model).
std::string table(const std::string& name, const std::vector<std::pair<std::string, std::string>>& rows) {
    Json devices = Json::array();
    for (const auto& [identifier, model] : rows)
        devices.push_back({{"identifiers", {identifier}}, {"models", {{"default", model}, {"supported", {model, "openai_whisper-tiny"}}}}});
    return Json{{"name", name}, {"version", "1"}, {"device_support", devices}}.dump();
}

int requestsFor(const hubtests::HubServer& hub, const std::string& fragment) {
    int n = 0;
    for (const auto& r : hub.requests())
        if (r["path"].get<std::string>().find(fragment) != std::string::npos) ++n;
    return n;
}

class ModelRepositoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The hub is on 127.0.0.1: the client must not go offline on a machine without a default route.
        setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
    }
    hubtests::HubServer hub;
    testsupport::TempDir cache;
};

}  // namespace

TEST(ModelRepository, DeviceRowsPickTheLongestPrefix) {
    const auto& fallback = Constants::fallbackModelSupportConfig();
    struct Case {
        const char* device;
        const char* defaultModel;
        std::size_t supported;
    } cases[] = {
        {"iPad15,7", "openai_whisper-base", 14},                       // row 2's "iPad15,7" beats row 4's "iPad15"
        {"iPad15,3", "openai_whisper-large-v3-v20240930", 22},         // row 4
        {"Mac14,2", "openai_whisper-large-v3-v20240930", 22},          // row 4
        {"MacBookPro18,3", "openai_whisper-large-v3-v20240930_626MB", 13},  // row 3
        {"Mac13,1", "openai_whisper-large-v3-v20240930_626MB", 13},    // row 3 through "Mac13"
        {"VirtualMac2,1", "openai_whisper-base", 22},                  // no row: every known model
    };
    Log log;
    for (const auto& c : cases) {
        const auto support = fallback.modelSupport(c.device);
        EXPECT_EQ(support.defaultModel, c.defaultModel) << c.device;
        EXPECT_EQ(support.supported.size(), c.supported) << c.device;
    }
    EXPECT_TRUE(log.has("No device support found for VirtualMac2,1, using default"));

    // The built-in recommendation is that table's answer for this machine, named in the log.
    const std::string device = ModelRepository::deviceName();
    EXPECT_FALSE(device.empty());
    EXPECT_EQ(ModelRepository::recommendedModels(), fallback.modelSupport(device));
    EXPECT_TRUE(log.has("Running on " + device));
}

TEST(ModelRepository, GlobCharactersInAVariantAreEscaped) {
    EXPECT_EQ(ModelRepository::escapeGlob("a*b?c[d]e\\f"), "a\\*b\\?c\\[d]e\\\\f");
    EXPECT_EQ(ModelRepository::escapeGlob("openai_whisper-base.en"), "openai_whisper-base.en");
}

TEST_F(ModelRepositoryTest, RemoteTablePicksThisDevicesRow) {
    const std::string device = ModelRepository::deviceName();
    // Three rows: a shorter prefix of this device's name, the whole name, and a name it does not have.
    hub.addFile(REPO, "config.json",
                table("my-models", {{device.substr(0, 3), "short"}, {device, "exact"}, {"zz-no-such-device", "other"}}));
    const auto support = ModelRepository::recommendedRemoteModels(REPO, cache.path, std::nullopt, "config.json", hub.endpoint());
    EXPECT_EQ(support.defaultModel, "exact");
    EXPECT_EQ(support.supported, (std::vector<std::string>{"exact", "openai_whisper-tiny"}));

    // The file arrived in the hub cache under the download base.
    EXPECT_TRUE(fs::exists(cache.path / "models" / REPO / "config.json"));
    const auto config = ModelRepository::fetchModelSupportConfig(REPO, cache.path, std::nullopt, "config.json", hub.endpoint());
    EXPECT_EQ(config.repoName(), "my-models");
    EXPECT_EQ(config.deviceSupports().size(), 3u);
}

TEST_F(ModelRepositoryTest, EveryFailureEndsInTheBuiltInTable) {
    const auto& fallback = Constants::fallbackModelSupportConfig();
    hub.addFile("a/bad-json", "config.json", "{\"name\": ");
    hub.addFile("a/no-rows", "config.json", R"({"name": "x", "version": "1"})");
    hub.addFile("a/no-config", "other.json", table("x", {}));
    struct Case {
        std::string repo, endpoint, logLine;
    } cases[] = {
        {"a/no-config", hub.endpoint(), "No config files found matching \"config.json\" in a/no-config, using fallback"},
        {"a/bad-json", hub.endpoint(), "Fetch model support config failed with error: "},
        {"a/no-rows", hub.endpoint(), "Fetch model support config failed with error: "},
        {"a/missing-repo", hub.endpoint(), "Fetch model support config failed with error: "},
        {REPO, "http://127.0.0.1:1", "Fetch model support config failed with error: "},  // nothing listens there
    };
    for (const auto& c : cases) {
        Log log;
        const auto config = ModelRepository::fetchModelSupportConfig(c.repo, cache.path, std::nullopt, "config.json", c.endpoint);
        EXPECT_EQ(config.repoName(), fallback.repoName()) << c.repo;
        EXPECT_EQ(config.deviceSupports(), fallback.deviceSupports()) << c.repo;
        EXPECT_TRUE(log.hasPrefix(c.logLine)) << c.repo;
        EXPECT_EQ(ModelRepository::recommendedRemoteModels(c.repo, cache.path, std::nullopt, "config.json", c.endpoint),
                  ModelRepository::recommendedModels())
            << c.repo;
    }
    EXPECT_EQ(requestsFor(hub, "a/no-config/resolve"), 0) << "nothing is downloaded when no file matches";
    {
        Log log;
        ModelRepository::fetchModelSupportConfig("a/no-rows", cache.path, std::nullopt, "config.json", hub.endpoint());
        EXPECT_TRUE(log.has("Searching for config file matching \"config.json\" in a/no-rows"));
    }
}

TEST_F(ModelRepositoryTest, SeveralConfigFilesUseTheFirstListed) {
    const std::string device = ModelRepository::deviceName();
    hub.addFile(REPO, "one/config.json", table("my-models", {{device, "from-one"}}));
    hub.addFile(REPO, "two/config.json", table("my-models", {{device, "from-two"}}));
    Log log;
    const auto support = ModelRepository::recommendedRemoteModels(REPO, cache.path, std::nullopt, "*config.json", hub.endpoint());
    std::string first;
    for (const auto& line : log.lines())
        if (line.rfind("Multiple config files found (2): ", 0) == 0) first = line.substr(line.rfind(": ") + 2);
    ASSERT_TRUE(first == "one/config.json" || first == "two/config.json") << first;
    EXPECT_TRUE(log.hasPrefix("Multiple config files found (2): [\"one/config.json\", \"two/config.json\"]") ||
                log.hasPrefix("Multiple config files found (2): [\"two/config.json\", \"one/config.json\"]"));
    EXPECT_EQ(support.defaultModel, first == "one/config.json" ? "from-one" : "from-two");
}

class ModelDownloadTest : public ModelRepositoryTest {
protected:
    void SetUp() override {
        ModelRepositoryTest::SetUp();
        for (const char* folder : {"openai_whisper-base", "openai_whisper-base.en", "openai_whisper-large-v3",
                                   "distil-whisper_distil-large-v3", "openai_whisper-small", "openai_other-small",
                                   "model-[ab]", "model-a", "model-b", "x-*", "x-1"}) {
            hub.addFile(REPO, std::string(folder) + "/config.json", std::string("{\"folder\": \"") + folder + "\"}");
            hub.addFile(REPO, std::string(folder) + "/TextDecoder.mlmodelc/weights.bin", std::string(70000, 'w'));
        }
    }
    fs::path local(const std::string& model) const { return cache.path / "models" / REPO / model; }
    fs::path get(const std::string& variant) const {
        return ModelRepository::download(variant, cache.path, false, REPO, std::nullopt, hub.endpoint());
    }
};

TEST_F(ModelDownloadTest, TheOneFolderEndingWithTheVariantIsDownloaded) {
    Log log;
    EXPECT_EQ(get("openai_whisper-base"), local("openai_whisper-base"));
    EXPECT_EQ(testsupport::readFile(local("openai_whisper-base") / "config.json"), "{\"folder\": \"openai_whisper-base\"}");
    EXPECT_EQ(fs::file_size(local("openai_whisper-base") / "TextDecoder.mlmodelc/weights.bin"), 70000u);
    EXPECT_FALSE(fs::exists(local("openai_whisper-base.en"))) << "the trailing /* keeps base.en out";
    EXPECT_TRUE(log.has("Searching for models matching \"*openai_whisper-base/*\" in Repo(id: \"" + std::string(REPO) +
                        "\", type: models)"));
    EXPECT_FALSE(log.hasPrefix("Searching for models matching \"*openai*")) << "one folder: no second pass";
    EXPECT_TRUE(log.has("Downloading model openai_whisper-base..."));

    // large-v3 ends two folder names; the second pass keeps OpenAI's.
    EXPECT_EQ(get("large-v3"), local("openai_whisper-large-v3"));
    EXPECT_TRUE(log.has("Multiple models found matching \"*large-v3/*\""));
    EXPECT_TRUE(log.hasPrefix("Searching for models matching \"*openai*large-v3/*\""));
    EXPECT_TRUE(fs::exists(local("openai_whisper-large-v3") / "config.json"));
    EXPECT_FALSE(fs::exists(local("distil-whisper_distil-large-v3")));
}

TEST_F(ModelDownloadTest, AVariantIsMatchedLiterally) {
    // Unescaped, "[ab]" would pick model-a and model-b, and "*" every x- folder.
    EXPECT_EQ(get("model-[ab]"), local("model-[ab]"));
    EXPECT_FALSE(fs::exists(local("model-a")));
    EXPECT_EQ(get("x-*"), local("x-*"));
    EXPECT_TRUE(fs::exists(local("x-*") / "config.json"));
    EXPECT_FALSE(fs::exists(local("x-1")));
    EXPECT_EQ(hubtests::errorText([&] { get("model-?"); }),
              "No models found matching \"*openai*model-\\?/*\" in Repo(id: \"" + std::string(REPO) + "\", type: models)");
}

TEST_F(ModelDownloadTest, NoOrSeveralFoldersAreAnError) {
    const std::string repo = "Repo(id: \"" + std::string(REPO) + "\", type: models)";
    struct Case {
        const char* variant;
        std::string message;
    } cases[] = {
        {"whisper-tiny", "No models found matching \"*openai*whisper-tiny/*\" in " + repo},
        {"small", "Multiple models found matching \"*openai*small/*\" in " + repo},
    };
    for (const auto& c : cases) {
        Log log;
        try {
            get(c.variant);
            ADD_FAILURE() << c.variant << " was downloaded";
        } catch (const WhisperError& e) {
            EXPECT_EQ(e.kind(), WhisperError::Kind::modelsUnavailable);
            EXPECT_EQ(e.message(), c.message);
        }
        EXPECT_TRUE(log.has(c.message)) << "the error is logged before it is thrown";
    }
    EXPECT_FALSE(fs::exists(cache.path / "models")) << "nothing is downloaded";
}

TEST_F(ModelDownloadTest, ProgressIsReportedAndHubErrorsPassThrough) {
    std::mutex m;
    std::vector<double> fractions;
    const auto folder = ModelRepository::download("openai_whisper-small", cache.path, false, REPO, std::nullopt, hub.endpoint(),
                                                  [&](const darori::Progress& p) {
                                                      std::lock_guard lock(m);
                                                      fractions.push_back(p.fractionCompleted());
                                                  });
    EXPECT_EQ(folder, local("openai_whisper-small"));
    std::lock_guard lock(m);
    ASSERT_FALSE(fractions.empty());
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));

    // A file the hub refuses: the hub client's error, unchanged.
    hub.configure({{"status", {{"openai_whisper-base.en/config.json", 500}}}});
    EXPECT_EQ(hubtests::errorText([&] { get("openai_whisper-base.en"); }), "HTTP error with status code: 500");
}

TEST_F(ModelRepositoryTest, AvailableModelsFollowThePatterns) {
    const auto& fallback = Constants::fallbackModelSupportConfig();
    const std::string device = ModelRepository::deviceName();
    // No reachable hub: this device's row of the built-in table, as formatModelFiles orders it.
    const auto all = ModelRepository::fetchAvailableModels(REPO, {"*"}, cache.path, std::nullopt, "config.json", "http://127.0.0.1:1");
    EXPECT_EQ(all, ModelUtilities::formatModelFiles(fallback.modelSupport(device).supported));
    EXPECT_FALSE(all.empty());
    EXPECT_TRUE(ModelRepository::fetchAvailableModels(REPO, {}, cache.path, std::nullopt, "config.json", "http://127.0.0.1:1").empty());

    // A remote table: its row for this device, filtered by two patterns, each name once.
    Json row = {{"identifiers", {device}},
                {"models",
                 {{"default", "openai_whisper-base"},
                  {"supported", {"openai_whisper-small", "openai_whisper-base", "openai_whisper-tiny.en", "distil-whisper_distil-large-v3"}}}}};
    hub.addFile(REPO, "config.json", Json{{"name", "my-models"}, {"version", "1"}, {"device_support", {row}}}.dump());
    EXPECT_EQ(ModelRepository::fetchAvailableModels(REPO, {"openai_*", "*base*"}, cache.path, std::nullopt, "config.json", hub.endpoint()),
              (std::vector<std::string>{"openai_whisper-tiny.en", "openai_whisper-base", "openai_whisper-small"}));
}

// Model setup and every other hub call of the engine take their endpoint by one rule: the one
// given, else HUB_ENDPOINT, else none, and without one nothing is sent.
TEST_F(ModelDownloadTest, ModelSetupFollowsTheEndpointRule) {
    auto setup = [&](std::optional<std::string> endpoint) {
        ZadezarIroConfig config;
        config.model = "openai_whisper-base";
        config.downloadBase = cache.path;
        config.modelEndpoint = std::move(endpoint);
        config.verbose = false;
        config.prewarm = false;
        config.load = false;
        config.download = true;
        return ZadezarIro::create(config)->modelFolder();
    };
    struct Case {
        const char* what;
        std::optional<std::string> env;  // HUB_ENDPOINT; absent: unset
        std::optional<std::string> given;
        bool fetched;
    };
    const std::string dead = "http://127.0.0.1:9";  // the discard port: nothing answers there
    const Case cases[] = {
        {"HUB_ENDPOINT alone", hub.endpoint(), std::nullopt, true},
        {"the endpoint given wins", dead, hub.endpoint(), true},
        {"neither", std::nullopt, std::nullopt, false},
        {"HUB_ENDPOINT empty", std::string(), std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(cache.path / "models");
        c.env ? setenv("HUB_ENDPOINT", c.env->c_str(), 1) : unsetenv("HUB_ENDPOINT");
        const auto before = hub.requests().size();
        if (c.fetched) {
            EXPECT_EQ(setup(c.given), local("openai_whisper-base"));
            EXPECT_TRUE(fs::exists(local("openai_whisper-base") / "config.json"));
        } else {
            const std::string error = hubtests::errorText([&] { setup(c.given); });
            EXPECT_NE(error.find("No model hub address is set: set HUB_ENDPOINT to the model hub's address, or import a "
                                 "checkpoint already on disk with `talkweft --import-model`"),
                      std::string::npos)
                << error;
            EXPECT_EQ(hub.requests().size(), before) << "nothing is sent";
            EXPECT_FALSE(fs::exists(cache.path / "models" / REPO)) << "nothing is cached";
        }
    }
    unsetenv("HUB_ENDPOINT");
    // The model-support table, fetched without an endpoint, falls back to the built-in one.
    EXPECT_FALSE(ModelRepository::recommendedRemoteModels(REPO, cache.path).defaultModel.empty());
}

#include "ZadezarIro/Utilities/ModelUtilities.hpp"

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "HubServer.hpp"
#include "TestSupport.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

using namespace zadezariro;
using namespace zadezariro::ModelUtilities;
namespace fs = std::filesystem;

namespace {
const fs::path FIXTURE = TALKWEFT_SOURCE_DIR "/../shared/fixtures/tokenizer-en";

void copyTokenizer(const fs::path& to) {
    fs::create_directories(to);
    fs::copy_file(FIXTURE / "tokenizer.json", to / "tokenizer.json");
    fs::copy_file(FIXTURE / "tokenizer_config.json", to / "tokenizer_config.json");
}

// The hub at a closed local port, so a download fails at once without leaving the machine.
struct ClosedHub {
    ClosedHub() {
        setenv("HUB_ENDPOINT", "http://127.0.0.1:9", 1);
        setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
    }
    ~ClosedHub() {
        unsetenv("HUB_ENDPOINT");
        unsetenv("CI_DISABLE_NETWORK_MONITOR");
    }
};

// The test hub serving the English tokenizer fixture as `repository`, its endpoint given to every
// hub client through HUB_ENDPOINT (loadTokenizer makes its own client).
struct TokenizerHub {
    hubtests::HubServer server;
    explicit TokenizerHub(const std::string& repository) {
        for (const char* name : {"tokenizer.json", "tokenizer_config.json"})
            server.addFile(repository, name, testsupport::readFile(FIXTURE / name));
        setenv("HUB_ENDPOINT", server.endpoint().c_str(), 1);
        // The hub is on 127.0.0.1: the client must not go offline on a machine without a default route.
        setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
    }
    ~TokenizerHub() {
        unsetenv("HUB_ENDPOINT");
        unsetenv("CI_DISABLE_NETWORK_MONITOR");
    }
    // The downloads of `file` (GET requests; metadata is asked for with HEAD).
    int downloadsOf(const std::string& file) const {
        int n = 0;
        for (const auto& r : server.requests())
            if (r["method"] == "GET" && r["path"].get<std::string>().ends_with("/" + file)) ++n;
        return n;
    }
};

bool logged(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}
}  // namespace

TEST(DetectVariant, FromVocabularyAndWidth) {
    struct Case {
        std::int64_t logits, width;
        ModelVariant variant;
    } cases[] = {
        {51864, 384, ModelVariant::tinyEn}, {51864, 512, ModelVariant::baseEn},   {51864, 768, ModelVariant::smallEn},
        {51864, 1024, ModelVariant::mediumEn}, {51864, 1280, ModelVariant::baseEn}, {51865, 384, ModelVariant::tiny},
        {51865, 512, ModelVariant::base},    {51865, 768, ModelVariant::small},    {51865, 1024, ModelVariant::medium},
        {51865, 1280, ModelVariant::largev2}, {51865, 640, ModelVariant::base},    {51866, 384, ModelVariant::largev3},
        {51866, 1280, ModelVariant::largev3},
    };
    for (const auto& c : cases) EXPECT_EQ(detectVariant(c.logits, c.width), c.variant) << c.logits << " " << c.width;
}

TEST(DetectVariant, AnUnknownVocabularyIsReportedNotTakenAsBase) {
    testsupport::LogCapture log(darori::Logging::LogLevel::error);
    try {
        detectVariant(50000, 512);
        ADD_FAILURE();
    } catch (const WhisperError& e) {
        EXPECT_EQ(e.kind(), WhisperError::Kind::modelsUnavailable);
        EXPECT_EQ(e.message(), "Unrecognized vocabulary size: 50000");
    }
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Unrecognized vocabulary size: 50000"}));
}

TEST(ModelUtilities, TokenizerNamesAndDeviceSupport) {
    EXPECT_EQ(tokenizerNameForVariant(ModelVariant::large), "openai/whisper-large");
    EXPECT_EQ(tokenizerNameForVariant(ModelVariant::largev3), "openai/whisper-large-v3");
    EXPECT_EQ(tokenizerNameForVariant(ModelVariant::mediumEn), "openai/whisper-medium.en");
    EXPECT_EQ(modelSupport("Mac14,2").defaultModel, "openai_whisper-large-v3-v20240930");
    const ModelSupportConfig own("mine", "1", {DeviceSupport{std::nullopt, {"Mac"}, ModelSupport{"m", {"m"}, {}}}});
    EXPECT_EQ(modelSupport("Mac14,2", &own).defaultModel, "m");
}

TEST(FormatModelFiles, SizedFoldersInSizeOrder) {
    EXPECT_EQ(formatModelFiles({"openai_whisper-large-v3/AudioEncoder.mlmodelc/model.mil", "openai_whisper-tiny/config.json",
                                "openai_whisper-tiny/AudioEncoder.mlmodelc/model.mil", "README.md"}),
              (std::vector<std::string>{"openai_whisper-tiny", "openai_whisper-large-v3"}));
    EXPECT_TRUE(formatModelFiles({}).empty());
    EXPECT_EQ(formatModelFiles({"openai_whisper-small.en_217MB/x", "distil-whisper_distil-large-v3/x", "openai_whisper-base.en/x",
                                "openai_whisper-tiny.en/x", "b_whisper-tiny/x", "a_whisper-large-v2/x", "openai_whisper-medium"}),
              (std::vector<std::string>{"b_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-base.en", "openai_whisper-medium",
                                        "a_whisper-large-v2", "distil-whisper_distil-large-v3"}));
}

TEST(LoadTokenizer, SearchesTheRepositoryFolderFirstThenTheGivenFolders) {
    testsupport::TempDir base;
    testsupport::TempDir extra;
    copyTokenizer(base.path);  // directly in tokenizerFolder, not below models/
    copyTokenizer(extra.path);
    testsupport::LogCapture log;
    const auto tokenizer = loadTokenizer(ModelVariant::tinyEn, base.path, {extra.path});
    const auto* wrapper = dynamic_cast<const WhisperTokenizerWrapper*>(tokenizer.get());
    ASSERT_TRUE(wrapper);
    EXPECT_EQ(wrapper->tokenizerFolder(), base.path);
    EXPECT_EQ(tokenizer->specialTokens().endToken, 50256);
    const fs::path repoFolder = base.path / "models" / "openai" / "whisper-tiny.en";
    EXPECT_EQ(log.lines.at(0), "Checking for local tokenizer at " + (repoFolder / "tokenizer.json").string() + " - not found");
    EXPECT_EQ(log.lines.at(1), "Checking for local tokenizer at " + (base.path / "tokenizer.json").string() + " - found");
    EXPECT_TRUE(logged(log.lines, "Found local tokenizer at " + base.path.string()));

    copyTokenizer(repoFolder);
    const auto fromRepo = loadTokenizer(ModelVariant::tinyEn, base.path);
    EXPECT_EQ(dynamic_cast<const WhisperTokenizerWrapper*>(fromRepo.get())->tokenizerFolder(), repoFolder);
}

TEST(LoadTokenizer, AFolderWithoutTheConfigurationIsNotUsed) {
    testsupport::TempDir base;
    testsupport::TempDir extra;
    fs::copy_file(FIXTURE / "tokenizer.json", base.path / "tokenizer.json");
    copyTokenizer(extra.path);
    const auto tokenizer = loadTokenizer(ModelVariant::tinyEn, base.path, {extra.path});
    EXPECT_EQ(dynamic_cast<const WhisperTokenizerWrapper*>(tokenizer.get())->tokenizerFolder(), extra.path);
}

TEST(LoadTokenizer, ALocalFailureIsReportedWithTheHubsError) {
    ClosedHub hub;
    testsupport::TempDir base;
    std::ofstream(base.path / "tokenizer.json") << "{ not json";
    std::ofstream(base.path / "tokenizer_config.json") << R"({"tokenizer_class": "WhisperTokenizer"})";
    testsupport::LogCapture log;
    try {
        loadTokenizer(ModelVariant::base, base.path);
        ADD_FAILURE();
    } catch (const TokenizerLoadingError& e) {
        EXPECT_EQ(e.localFolder(), base.path);
        EXPECT_TRUE(e.localError() && e.hubError());
        EXPECT_NE(std::string(e.what()).find("Loading the tokenizer from " + base.path.string() + " failed: "), std::string::npos);
    }
    EXPECT_TRUE(logged(log.lines, "Downloading tokenizer from Hub at file://" +
                                      (base.path / "models" / "openai" / "whisper-base").string()));

    // With no local candidate the hub's own error comes through unchanged.
    testsupport::TempDir empty;
    try {
        loadTokenizer(ModelVariant::base, empty.path);
        ADD_FAILURE();
    } catch (const TokenizerLoadingError&) {
        ADD_FAILURE() << "no local load was tried";
    } catch (const std::exception&) {
    }
    EXPECT_TRUE(logged(log.lines, "No tokenizer found in any local search paths"));
}

TEST(LoadTokenizer, WithoutALocalCopyTheTokenizerComesFromTheHub) {
    ASSERT_TRUE(fs::exists(FIXTURE / "tokenizer.json")) << "missing fixture " << FIXTURE;
    TokenizerHub hub("openai/whisper-tiny.en");
    struct Case {
        const char* name;
        bool brokenLocalCopy;  // a tokenizer.json in tokenizerFolder that cannot be parsed
    } cases[] = {{"no local folder", false}, {"broken local tokenizer.json", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir base;
        if (c.brokenLocalCopy) {
            std::ofstream(base.path / "tokenizer.json") << "{ not json";
            fs::copy_file(FIXTURE / "tokenizer_config.json", base.path / "tokenizer_config.json");
        }
        const int before = hub.downloadsOf("tokenizer.json");
        testsupport::LogCapture log;
        const auto tokenizer = loadTokenizer(ModelVariant::tinyEn, base.path);

        const fs::path repoFolder = base.path / "models" / "openai" / "whisper-tiny.en";
        const auto* wrapper = dynamic_cast<const WhisperTokenizerWrapper*>(tokenizer.get());
        ASSERT_TRUE(wrapper);
        EXPECT_EQ(wrapper->tokenizerFolder(), repoFolder);
        EXPECT_EQ(tokenizer->specialTokens().endToken, 50256);
        EXPECT_EQ(tokenizer->decode(tokenizer->encode("hello world")), "hello world");
        EXPECT_EQ(testsupport::readFile(repoFolder / "tokenizer.json"), testsupport::readFile(FIXTURE / "tokenizer.json"));
        EXPECT_EQ(hub.downloadsOf("tokenizer.json"), before + 1);
        EXPECT_EQ(logged(log.lines, "No tokenizer found in any local search paths"), !c.brokenLocalCopy);
        if (c.brokenLocalCopy) {
            EXPECT_TRUE(logged(log.lines, "Loading tokenizer from " + base.path.string()));
            EXPECT_TRUE(std::any_of(log.lines.begin(), log.lines.end(),
                                    [](const std::string& l) { return l.starts_with("Error loading local tokenizer: "); }))
                << ::testing::PrintToString(log.lines);
        }
        EXPECT_TRUE(logged(log.lines, "Downloading tokenizer from Hub at file://" + repoFolder.string()));
    }
}

#include "DaroriCore/HubApiWrapper.hpp"
#include "DaroriCore/DaroriCoreError.hpp"
#include "DaroriCore/External/Hub/HubError.hpp"
#include "DaroriCore/Logging.hpp"
#include "DaroriCore/UserDirs.hpp"

#include <cstdlib>
#include <functional>

#include <gtest/gtest.h>

#include "TempFolder.hpp"

using namespace darori;
using hubtests::TempFolder;
using hubtests::writeFile;

namespace {

// Sets (or, for nullptr, unsets) environment variables for one scope.
class ScopedEnv {
public:
    ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            value ? setenv(name, value, 1) : unsetenv(name);
        }
    }
    ~ScopedEnv() {
        for (const auto& [name, value] : saved_) value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace

TEST(HubEnvironment, TokenAndEndpointRules) {
    struct Case {
        const char* hub;
        const char* model;
        std::optional<std::string> token;
    };
    const Case cases[] = {
        {"h", "m", "h"}, {"", "m", "m"}, {nullptr, "m", "m"}, {"", "", std::nullopt}, {nullptr, nullptr, std::nullopt},
    };
    for (const Case& c : cases) {
        ScopedEnv env{{"HUB_TOKEN", c.hub}, {"MODEL_HUB_TOKEN", c.model}};
        EXPECT_EQ(HubApi::hubTokenFromEnv(), c.token) << (c.hub ? c.hub : "unset") << " / " << (c.model ? c.model : "unset");
    }
    {
        ScopedEnv env{{"HUB_ENDPOINT", ""}};
        EXPECT_EQ(HubApi::hubEndpointFromEnv(), "");
    }
    ScopedEnv env{{"HUB_ENDPOINT", nullptr}};
    EXPECT_EQ(HubApi::hubEndpointFromEnv(), "") << "there is no built-in hub";
}

// Without a hub address every hub operation fails at once, before a request or a cache file, with
// an error that says how to give one and how to do without.
TEST(HubEnvironment, WithoutAnEndpointNothingIsSentOrCached) {
    TempFolder cache;
    ScopedEnv env{{"HUB_ENDPOINT", nullptr}, {"CI_DISABLE_NETWORK_MONITOR", "1"}};
    const std::string message =
        "No model hub address is set: set HUB_ENDPOINT to the model hub's address, or import a checkpoint already on "
        "disk with `talkweft --import-model`";
    const HubApiWrapper::Repo repo{"openai/whisper-tiny", HubApiWrapper::RepoType::models};
    for (const std::optional<std::string>& given : {std::optional<std::string>(), std::optional<std::string>("")}) {
        const HubApiWrapper hub(cache.path(), std::nullopt, given);
        const std::function<void()> operations[] = {
            [&] { hub.getFilenames(repo); },
            [&] { hub.snapshot(repo, "main", {"config.json"}); },
            [&] { hub.snapshot(repo); },
        };
        for (const auto& operation : operations) {
            try {
                operation();
                ADD_FAILURE() << "succeeded without a hub";
            } catch (const Hub::HubClientError& e) {
                EXPECT_EQ(e.kind(), Hub::HubClientError::Kind::endpointMissing);
                EXPECT_EQ(std::string(e.what()), message);
            }
        }
        HubApi::HubFileDownloader downloader{std::make_shared<const HubApi>(hub.impl),
                                             {"openai/whisper-tiny", HubApi::RepoType::models}, "main", cache.path() / "r",
                                             cache.path() / "r/.cache", "config.json", std::nullopt, given, false};
        try {
            downloader.download();
            ADD_FAILURE() << "downloaded without a hub";
        } catch (const Hub::HubClientError& e) {
            EXPECT_EQ(e.kind(), Hub::HubClientError::Kind::endpointMissing);
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(cache.path())) << "nothing is written";
}

TEST(HubApiWrapper, ConstructionDefaultsAndTokenLine) {
    TempFolder documents;
    ScopedEnv env{{"HUB_TOKEN", "from-env"}, {"MODEL_HUB_TOKEN", nullptr}, {"XDG_DOCUMENTS_DIR", documents.path().c_str()},
                  {"XDG_CONFIG_HOME", documents.path().c_str()},
                  {"CI_DISABLE_NETWORK_MONITOR", "1"}, {"HUB_ENDPOINT", "http://127.0.0.1:1"}};
    testing::internal::CaptureStdout();
    const HubApiWrapper empty(std::nullopt, std::string());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "✅ got token\n") << "an empty token is a token given";
    EXPECT_EQ(empty.impl.hubToken, "");
    EXPECT_EQ(empty.impl.downloadBase, documents.path() / "modelhub");
    EXPECT_EQ(empty.impl.endpoint, "http://127.0.0.1:1");
    EXPECT_EQ(empty.impl.useOfflineMode, std::nullopt);
    EXPECT_EQ(empty.localRepoLocation({"zevidirev/zadezariro-coreml", HubApiWrapper::RepoType::datasets}),
              documents.path() / "modelhub/datasets/zevidirev/zadezariro-coreml");
    EXPECT_THROW(empty.localRepoLocation({"../../etc", HubApiWrapper::RepoType::models}), DaroriCoreError);

    EXPECT_EQ(HubApiWrapper().impl.hubToken, "from-env");
    unsetenv("HUB_TOKEN");
    testing::internal::CaptureStdout();
    EXPECT_EQ(HubApiWrapper().impl.hubToken, std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "🔴 NO TOKEN **\n");
    setenv("CI_DISABLE_NETWORK_MONITOR", "true", 1);
    testing::internal::CaptureStdout();
    HubApiWrapper quiet;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(HubApiWrapper, RepoKindsAndJSON) {
    using Repo = HubApiWrapper::Repo;
    using RepoType = HubApiWrapper::RepoType;
    EXPECT_EQ(HubApiWrapper::repoType("spaces"), RepoType::spaces);
    EXPECT_EQ(HubApiWrapper::repoType("Models"), std::nullopt);
    EXPECT_EQ(nlohmann::ordered_json(Repo{"a/b", RepoType::models}).dump(), R"({"id":"a/b","type":"models"})");
    EXPECT_EQ(nlohmann::ordered_json::parse(R"({"id":"a/b","type":"spaces"})").get<Repo>(), (Repo{"a/b", RepoType::spaces}));
    EXPECT_THROW(nlohmann::ordered_json::parse(R"({"id":"a/b","type":"model"})").get<Repo>(), nlohmann::ordered_json::exception);
    EXPECT_THROW(nlohmann::ordered_json::parse(R"({"id":"a/b"})").get<Repo>(), nlohmann::ordered_json::exception);
    const Repo models{"a/b", RepoType::models}, spaces{"a/b", RepoType::spaces};
    EXPECT_NE(models, spaces);
    EXPECT_NE(std::hash<Repo>()(models), std::hash<Repo>()(spaces));
    EXPECT_EQ(HubApiWrapper::convert(spaces), (HubApi::Repo{"a/b", HubApi::RepoType::spaces}));
}

TEST(GetFileUrls, SkipsHiddenAndUnreadableEntries) {
    TempFolder folder;
    writeFile(folder / "a.bin", "a");
    writeFile(folder / ".hidden", "h");
    writeFile(folder / ".cache/x.metadata", "m");
    writeFile(folder / "sub/b.bin", "b");
    // A link that loops cannot be examined: it is skipped, and the rest is still listed.
    std::filesystem::create_symlink("loop", folder / "sub/loop");
    std::vector<std::string> names;
    testing::internal::CaptureStderr();
    Logging::updateLogLevel(Logging::LogLevel::error);
    for (const auto& file : getFileUrls(folder.path())) names.push_back(std::filesystem::relative(file, folder.path()).string());
    Logging::updateLogLevel(Logging::LogLevel::none);
    const std::string log = testing::internal::GetCapturedStderr();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.bin", "sub/b.bin"}));
    EXPECT_NE(log.find("Skipping unreadable entry " + (folder / "sub/loop").string()), std::string::npos) << log;
    EXPECT_TRUE(getFileUrls(folder / "missing").empty());
}

TEST(HubApiWrapper, TheDocumentsFolderIsTheOneTheDesktopNames) {
    TempFolder home;
    ScopedEnv env{{"HOME", home.path().c_str()}, {"XDG_CONFIG_HOME", nullptr}, {"XDG_DOCUMENTS_DIR", nullptr},
                  {"CI_DISABLE_NETWORK_MONITOR", nullptr}};
    EXPECT_EQ(HubApiWrapper::documentsFolder(), home.path() / "Documents");
    // A German desktop's folders, as xdg-user-dirs writes them.
    writeFile(home / ".config/user-dirs.dirs",
              "# This file is written by xdg-user-dirs-update\n"
              "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
              "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
    EXPECT_EQ(HubApiWrapper::documentsFolder(), home.path() / "Dokumente");
    EXPECT_EQ(HubApiWrapper().impl.downloadBase, home.path() / "Dokumente/modelhub");
    writeFile(home / "elsewhere/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n");
    setenv("XDG_CONFIG_HOME", (home / "elsewhere").c_str(), 1);
    EXPECT_EQ(HubApiWrapper::documentsFolder(), std::filesystem::path("/srv/docs"));
}

TEST(UserDirs, LinesOfAUserDirsFile) {
    const std::filesystem::path home = "/home/ana";
    const struct {
        const char* text;
        std::optional<std::filesystem::path> folder;
    } cases[] = {
        {"XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"", "/home/ana/Dokumente"},
        {"  XDG_DOCUMENTS_DIR = \"/data/Mes documents\"  # moved", "/data/Mes documents"},
        {"XDG_DOCUMENTS_DIR=\"$HOME\"", "/home/ana"},
        {"XDG_DOCUMENTS_DIR=\"$HOME/a\\\"b\\\\c\"", "/home/ana/a\"b\\c"},
        {"XDG_DOCUMENTS_DIR=\"$HOME/one\"\nXDG_DOCUMENTS_DIR=\"$HOME/two\"", "/home/ana/two"},  // the last one counts
        {"XDG_DOCUMENTS_DIR=\"$HOME/ok\"\nXDG_DOCUMENTS_DIR=\"relative\"", "/home/ana/ok"},  // a bad line is skipped
        {"#XDG_DOCUMENTS_DIR=\"$HOME/Docs\"", std::nullopt},
        {"XDG_DOCUMENTS_DIR=\"relative/Docs\"", std::nullopt},
        {"XDG_DOCUMENTS_DIR=\"$HOMEDocs\"", std::nullopt},
        {"XDG_DOCUMENTS_DIR=\"$HOME/unclosed", std::nullopt},
        {"XDG_DOCUMENTS_DIR=$HOME/Docs", std::nullopt},
        {"XDG_DOCUMENTS_DIRS=\"$HOME/Docs\"", std::nullopt},
        {"XDG_DOWNLOAD_DIR=\"$HOME/Docs\"", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(userDirFromText(c.text, "XDG_DOCUMENTS_DIR", home), c.folder) << c.text;
}

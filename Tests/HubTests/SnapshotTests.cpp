#include "DaroriCore/External/Hub/Downloader.hpp"
#include "DaroriCore/External/Hub/HubApi.hpp"
#include "DaroriCore/External/Hub/LanguageModelConfigurationFromHub.hpp"

#include <thread>

#include <curl/curl.h>

#include <gtest/gtest.h>

#include "HubServer.hpp"

using namespace darori;
using hubtests::HubServer;
using hubtests::readFile;
using hubtests::errorText;
using hubtests::TempFolder;
using hubtests::writeFile;

namespace {

const HubApi::Repo SNAPSHOT_REPO{"owner/repo", HubApi::RepoType::models};

struct SnapshotTest : ::testing::Test {
    SnapshotTest() {
        hub.endpoint = server.endpoint();
        hub.downloadBase = cache.path();
        hub.useOfflineMode = false;
        server.addFile("owner/repo", "config.json", R"({"model_type":"llama"})");
        server.addFile("owner/repo", "tokenizer.json", R"({"model":{}})");
        server.addFile("owner/repo", ".gitattributes", "*.bin lfs");
        server.addFile("owner/repo", "weights/model.bin", std::string(5000, 'w'));
    }
    std::size_t gets(const std::string& suffix) const {
        std::size_t n = 0;
        for (const auto& r : server.requests()) {
            const std::string path = r["path"];
            n += r["method"] == "GET" && path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
        }
        return n;
    }
    HubApi offline() const {
        HubApi copy = hub;
        copy.useOfflineMode = true;
        copy.endpoint = "http://127.0.0.1:9";  // nothing may be asked of the network
        return copy;
    }

    HubServer server;
    TempFolder cache;
    HubApi hub;
};

}  // namespace

TEST_F(SnapshotTest, OnlineWithGlobsAndProgress) {
    std::vector<std::pair<std::int64_t, std::int64_t>> reports;
    const auto folder = hub.snapshot(SNAPSHOT_REPO, "main", {"*.json"}, [&](const Progress& p) {
        reports.emplace_back(p.completedUnitCount(), p.totalUnitCount());
    });
    EXPECT_EQ(folder, cache.path() / "models/owner/repo");
    EXPECT_EQ(readFile(folder / "config.json"), R"({"model_type":"llama"})");
    EXPECT_TRUE(std::filesystem::exists(folder / "tokenizer.json"));
    EXPECT_FALSE(std::filesystem::exists(folder / "weights"));
    EXPECT_FALSE(std::filesystem::exists(folder / ".gitattributes"));
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), std::make_pair(std::int64_t(2), std::int64_t(2)));

    // Every file: the overall count climbs by one per file; the final report is 4 of 4.
    std::vector<double> fractions;
    hub.snapshot(SNAPSHOT_REPO, "main", {}, [&](const Progress& p) { fractions.push_back(p.fractionCompleted()); });
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_EQ(fractions.back(), 1.0);
    EXPECT_TRUE(std::filesystem::exists(cache.path() / "models/owner/repo/.gitattributes"));
    EXPECT_EQ(gets("config.json"), 1u) << "a current file is not fetched again";

    // An empty listing: no download, one report with a total of 0.
    server.configure({{"listing", {{"owner/empty", nlohmann::json::array()}}}});
    reports.clear();
    hub.snapshot({"owner/empty", HubApi::RepoType::models}, "main", {}, [&](const Progress& p) {
        reports.emplace_back(p.completedUnitCount(), p.totalUnitCount());
    });
    EXPECT_EQ(reports, (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 0}}));
}

TEST_F(SnapshotTest, OfflineFromTheCache) {
    hub.snapshot(SNAPSHOT_REPO, "main", {});
    const HubApi off = offline();
    EXPECT_EQ(off.snapshot(SNAPSHOT_REPO, "other-revision", {"*.json"}), cache.path() / "models/owner/repo");
    EXPECT_EQ(off.snapshot(SNAPSHOT_REPO), cache.path() / "models/owner/repo");
    const auto repoFolder = cache.path() / "models/owner/repo";
    const auto metadata = HubApi::metadataFolder(repoFolder);

    struct Case {
        const char* name;
        std::function<void()> damage;
        std::vector<std::string> globs;
        std::string error;
    };
    const Case cases[] = {
        {"missing repository", [&] { std::filesystem::remove_all(cache.path() / "models"); }, {},
         "Offline mode error: Repository not available locally"},
        {"only hidden files", [&] {
             for (const auto& name : {"config.json", "tokenizer.json", "weights"}) std::filesystem::remove_all(repoFolder / name);
             std::filesystem::remove(repoFolder / ".gitattributes");
         }, {}, "Offline mode error: No files available locally for this repository"},
        {"no file matches", [] {}, {"*.safetensors"}, "Offline mode error: No files matching the requested patterns are available locally"},
        {"metadata missing in a subfolder", [&] { std::filesystem::remove(metadata / "weights/model.bin.metadata"); }, {},
         "Offline mode error: Metadata not available for model.bin"},
        {"content changed under a SHA-256 etag", [&] { writeFile(repoFolder / "weights/model.bin", "tampered"); }, {"weights/*"},
         "File integrity check failed: Hash mismatch for model.bin"},
        {"link to a file outside the repository", [&] {
             writeFile(cache.path() / "elsewhere.json", "{}");
             std::filesystem::create_symlink(cache.path() / "elsewhere.json", repoFolder / "link.json");
         }, {}, "Offline mode error: Metadata not available for link.json"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(cache.path());
        std::filesystem::create_directories(cache.path());
        hub.snapshot(SNAPSHOT_REPO);
        c.damage();
        EXPECT_EQ(errorText([&] { off.snapshot(SNAPSHOT_REPO, "main", c.globs); }), c.error);
    }
    // The link outside is left out when globs are given; a 40-digit etag is not checked.
    EXPECT_EQ(off.snapshot(SNAPSHOT_REPO, "main", {"*.json"}), repoFolder);
    server.configure({{"etag", "git"}});
    std::filesystem::remove_all(cache.path());
    std::filesystem::create_directories(cache.path());
    hub.snapshot(SNAPSHOT_REPO);
    writeFile(repoFolder / "weights/model.bin", "tampered");
    EXPECT_EQ(off.snapshot(SNAPSHOT_REPO), repoFolder);
}

TEST_F(SnapshotTest, RefusesNamesOutsideTheRepository) {
    server.configure({{"listing", {{"owner/repo", {"config.json", "../../escape.json"}}}}});
    EXPECT_EQ(errorText([&] { hub.snapshot(SNAPSHOT_REPO); }),
              "Download failed: the file name \"../../escape.json\" leaves the repository folder");
    EXPECT_EQ(errorText([&] { hub.snapshot({"../up", HubApi::RepoType::models}); }),
              "Download failed: the repository id \"../up\" leaves the download folder");
    EXPECT_EQ(server.requests().size(), 1u) << "nothing fetched before the listing was checked";
    EXPECT_FALSE(std::filesystem::exists(cache.path() / "models/escape.json"));
}

TEST_F(SnapshotTest, TwoSnapshotsAtOnceShareOneTransfer) {
    const std::string big(3 * 1024 * 1024, 'b');
    server.addFile("owner/repo", "weights/model.bin", big);
    server.configure({{"slow", 0.005}});
    std::string errors[2];
    std::thread threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i] = std::thread([&, i] { errors[i] = errorText([&] { hub.snapshot(SNAPSHOT_REPO, "main", {"weights/*"}); }); });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(errors[0], "no error");
    EXPECT_EQ(errors[1], "no error");
    EXPECT_TRUE(readFile(cache.path() / "models/owner/repo/weights/model.bin") == big);
    EXPECT_EQ(gets("model.bin"), 1u);
}

TEST_F(SnapshotTest, LanguageModelConfigurationFromTheHub) {
    server.addFile("owner/repo", "tokenizer_config.json", "{\"eos_token\":\"\xEF\xBB\xBF</s>\"}");
    server.addFile("owner/repo", "chat_template.jinja", "{{ messages }}");
    const HubApiWrapper wrapper(cache.path(), std::nullopt, server.endpoint());
    HubApiWrapper online = wrapper;
    online.impl.useOfflineMode = false;
    const LanguageModelConfigurationFromHub config("owner/repo", "main", online);
    EXPECT_EQ(config.modelType(), "llama");
    const auto settings = config.tokenizerConfig();
    ASSERT_TRUE(settings);
    EXPECT_EQ((*settings)["eos_token"].string(), "\xEF\xBB\xBF</s>");
    EXPECT_EQ((*settings)["chat_template"].string(), "{{ messages }}");
    EXPECT_EQ((*settings)["tokenizer_class"].string(), "LlamaTokenizer");
    EXPECT_EQ(gets("model.bin"), 0u) << "only the configuration files are fetched";

    // Offline, the same files come from the cache; a repository never fetched is an offline error.
    HubApiWrapper off = wrapper;
    off.impl.useOfflineMode = true;
    EXPECT_EQ(LanguageModelConfigurationFromHub("owner/repo", "main", off).modelType(), "llama");
    EXPECT_EQ(errorText([&] { LanguageModelConfigurationFromHub("owner/other", "main", off).tokenizerData(); }),
              "Offline mode error: Repository not available locally");
    // Online, a hub that cannot be reached is a network error.
    HubApiWrapper unreachable = online;
    unreachable.impl.endpoint = "http://127.0.0.1:9";
    EXPECT_EQ(errorText([&] { LanguageModelConfigurationFromHub("owner/repo", "main", unreachable).tokenizerData(); })
                  .rfind("Download failed: ", 0),
              0u);
}

TEST_F(SnapshotTest, AConnectionDroppedDuringTheSnapshotIsANetworkErrorOfTheConfigurationLoader) {
    // Every GET of a file loses its connection after 5 bytes, retries included.
    server.configure({{"cuts", std::vector<int>(20, 5)}});
    Downloader::setRetryDelayForTesting(0.01);
    HubApiWrapper online(cache.path(), std::nullopt, server.endpoint());
    online.impl.useOfflineMode = false;
    try {
        LanguageModelConfigurationFromHub("owner/repo", "main", online).tokenizerData();
        ADD_FAILURE() << "no error";
    } catch (const Hub::HubClientError& e) {
        EXPECT_EQ(e.kind(), Hub::HubClientError::Kind::networkError) << e.what();
        EXPECT_EQ(std::string(e.what()).rfind("Network error: ", 0), 0u) << e.what();
        try {
            std::rethrow_exception(e.underlying());
        } catch (const URLError& lost) {
            EXPECT_EQ(lost.code(), URLError::Code::networkConnectionLost) << lost.what();
        } catch (...) {
            ADD_FAILURE() << "the network error carries no URLError";
        }
    }
    Downloader::setRetryDelayForTesting(1.0);
    EXPECT_FALSE(std::filesystem::exists(cache.path() / "models/owner/repo/config.json"));
}

TEST(URLSessionErrors, LibcurlCodesMapToURLErrorCodes) {
    const std::pair<CURLcode, URLError::Code> cases[] = {
        {CURLE_COULDNT_CONNECT, URLError::Code::cannotConnectToHost},
        {CURLE_PARTIAL_FILE, URLError::Code::networkConnectionLost},
        {CURLE_GOT_NOTHING, URLError::Code::networkConnectionLost},
        {CURLE_OPERATION_TIMEDOUT, URLError::Code::timedOut},
        // What the server cannot give: the configuration loader reports the model as not found.
        {CURLE_REMOTE_FILE_NOT_FOUND, URLError::Code::resourceUnavailable},
        {CURLE_REMOTE_ACCESS_DENIED, URLError::Code::resourceUnavailable},
        {CURLE_FILE_COULDNT_READ_FILE, URLError::Code::resourceUnavailable},
        {CURLE_HTTP_RETURNED_ERROR, URLError::Code::resourceUnavailable},
        {CURLE_OUT_OF_MEMORY, URLError::Code::unknown},
    };
    for (const auto& [curl, code] : cases) {
        EXPECT_EQ(URLSession::errorCode(curl), code) << curl_easy_strerror(curl);
    }
}

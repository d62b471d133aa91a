#include "DaroriCore/External/Hub/HubApi.hpp"

#include <gtest/gtest.h>

#include "HubServer.hpp"

using namespace darori;
using hubtests::HubServer;

namespace {

HubApi client(const HubServer& server, std::optional<std::string> token = std::nullopt) {
    HubApi hub;
    hub.endpoint = server.endpoint();
    hub.hubToken = std::move(token);
    hub.useOfflineMode = false;
    return hub;
}

template <class Body>
std::string hubErrorText(Body body) {
    try {
        body();
    } catch (const Hub::HubClientError& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("other error: ") + e.what();
    }
    return "no error";
}

const HubApi::Repo REPO{"owner/repo", HubApi::RepoType::models};

}  // namespace

TEST(HubClient, ListingWithAndWithoutToken) {
    HubServer server(nlohmann::json{{"token", "secret"}});
    server.addFile("owner/repo", "config.json", "{}");
    server.addFile("owner/repo", "sub/model.bin", "x");
    const std::vector<std::string> all{"config.json", "sub/model.bin"};

    EXPECT_EQ(client(server, "secret").getFilenames(REPO), all);
    EXPECT_EQ(hubErrorText([&] { client(server).getFilenames(REPO); }),
              "Authentication failed with status code: 401. Please check your hub token.");
    EXPECT_EQ(hubErrorText([&] { client(server, "").getFilenames(REPO); }),
              "Authentication failed with status code: 401. Please check your hub token.");
    EXPECT_EQ(hubErrorText([&] { client(server, "wrong").getFilenames(REPO); }),
              "Authentication failed with status code: 403. Please check your hub token.");

    const auto log = server.requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0]["headers"]["Authorization"], "Bearer secret");
    EXPECT_FALSE(log[1]["headers"].contains("Authorization"));
    EXPECT_FALSE(log[2]["headers"].contains("Authorization")) << "an empty token sends no header";
    EXPECT_EQ(log[3]["headers"]["Authorization"], "Bearer wrong");
    EXPECT_EQ(Hub::HubClientError::authorizationRequired().what(),
              std::string("Authentication required. Please provide a valid hub token."));
}

TEST(HubClient, ListingURLStatusesAndGlobs) {
    HubServer server;
    server.configure({{"listing", {{"owner/repo", {"b.json", "a.txt", "b.json", "dir/c.json"}}}}});
    const HubApi hub = client(server);

    EXPECT_EQ(hub.getFilenames(REPO, "refs/pr/1"), (std::vector<std::string>{"b.json", "a.txt", "b.json", "dir/c.json"}));
    EXPECT_EQ(server.requests()[0]["path"], "/api/models/owner/repo/revision/refs%2Fpr%2F1");
    // "*" crosses "/"; a name selected by two globs comes back once.
    auto selected = hub.getFilenames(REPO, "main", {"*.json", "b.*"});
    std::sort(selected.begin(), selected.end());
    EXPECT_EQ(selected, (std::vector<std::string>{"b.json", "dir/c.json"}));
    EXPECT_EQ(hub.getFilenames({"owner/repo", HubApi::RepoType::datasets}, "main", {"x"}), std::vector<std::string>{})
        << "an empty result for a glob that matches nothing";

    EXPECT_EQ(hubErrorText([&] { hub.getFilenames({"owner/missing", HubApi::RepoType::models}, "v1.0"); }), "File not found: v1.0");
    server.configure({{"status", {{"file.bin", 500}}}});
    server.addFile("owner/repo", "file.bin", "x");
    EXPECT_EQ(hubErrorText([&] { hub.httpGet(server.endpoint() + "/owner/repo/resolve/main/file.bin"); }),
              "HTTP error with status code: 500");
    EXPECT_EQ(hubErrorText([&] { hub.httpHead(server.endpoint() + "/owner/repo/resolve/main/file.bin"); }),
              "HTTP error with status code: 500");

    // A listing whose entries are not the expected records fails with the decoder's error.
    server.configure({{"listing", {{"owner/odd", {5}}}}});
    EXPECT_THROW(hub.getFilenames({"owner/odd", HubApi::RepoType::models}), nlohmann::ordered_json::exception);
}

TEST(HubClient, TransportFailures) {
    HubApi hub;
    {
        HubServer server;
        hub.endpoint = server.endpoint();
    }  // nothing listens on that port any more
    const std::string url = hub.endpoint + "/owner/repo/resolve/main/a";
    EXPECT_EQ(hubErrorText([&] { hub.httpGet(url); }).rfind("Download failed: ", 0), 0u);
    EXPECT_THROW(hub.httpHead(url), URLError) << "HEAD passes transport errors on unchanged";
    hub.endpoint = "not a url";
    EXPECT_EQ(hubErrorText([&] { hub.getFilenames(REPO); }).rfind("Download failed: ", 0), 0u);
}

TEST(HubClient, HeadRedirectsAndMetadata) {
    HubServer server(nlohmann::json{{"token", "t"}});
    const std::string content = "hello weights";
    server.addFile("owner/repo", "sub/w.bin", content);
    const HubApi hub = client(server, "t");
    const std::string url = server.endpoint() + "/owner/repo/resolve/main/sub/w.bin";
    const std::string sha = HubApi::computeFileHash(server.root() / "models/owner/repo/sub/w.bin");

    // A same-host path is followed by hand with the first request's method and fields.
    server.configure({{"redirect", "relative"}});
    auto meta = hub.getFileMetadata(url);
    EXPECT_EQ(meta.etag, sha);
    EXPECT_EQ(meta.size, static_cast<std::int64_t>(content.size()));
    EXPECT_EQ(meta.location, server.endpoint() + "/__direct/models/owner/repo/sub/w.bin");
    auto log = server.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1]["method"], "HEAD");
    EXPECT_EQ(log[1]["path"], "/__direct/models/owner/repo/sub/w.bin");
    EXPECT_EQ(log[1]["headers"]["Authorization"], "Bearer t");
    EXPECT_EQ(log[1]["headers"]["Accept-Encoding"], "identity");
    EXPECT_EQ(log[1]["headers"]["Location"], meta.location);

    // A redirect naming a host is not followed: the 302 itself describes the file.
    server.configure({{"redirect", "absolute"}});
    meta = hub.getFileMetadata(url);
    EXPECT_EQ(meta.location, "http://127.0.0.1:" + std::to_string(server.port()) + "/__direct/models/owner/repo/sub/w.bin");
    EXPECT_EQ(meta.size, static_cast<std::int64_t>(content.size()));  // from X-Linked-Size
    EXPECT_EQ(server.requests().size(), 3u);
    // GET follows it by itself.
    EXPECT_EQ(hub.httpGet(url).first, content);

    // Etag forms and size headers.
    struct Case {
        nlohmann::json switches;
        std::optional<std::string> etag;
        std::optional<std::int64_t> size;
    };
    const Case cases[] = {
        {{{"etag", "W/\"abc\""}}, "abc", 13},
        {{{"etag", "\"abc"}}, "abc", 13},
        {{{"etag", "abc\""}}, "abc", 13},
        {{{"etag", "linked"}}, sha, 13},
        {{{"etag", "none"}}, std::nullopt, 13},
        {{{"size", "linked"}}, sha, 13},
        {{{"size", "none"}}, sha, std::nullopt},
    };
    for (const Case& c : cases) {
        server.configure({{"redirect", "none"}, {"etag", "sha256"}, {"size", "content-length"}});
        server.configure(c.switches);
        meta = hub.getFileMetadata(url);
        EXPECT_EQ(meta.etag, c.etag) << c.switches.dump();
        EXPECT_EQ(meta.size, c.size) << c.switches.dump();
        EXPECT_EQ(meta.commitHash, "0123456789abcdef0123456789abcdef01234567");
        EXPECT_EQ(meta.location, url);
    }
    EXPECT_EQ(hubErrorText([&] { hub.getFileMetadata(server.endpoint() + "/owner/repo/resolve/main/none.bin"); }),
              "File not found: none.bin");
}

TEST(HubClient, RepoJSON) {
    const nlohmann::ordered_json json = HubApi::Repo{"a/b", HubApi::RepoType::datasets};
    EXPECT_EQ(json.dump(), R"({"id":"a/b","type":"datasets"})");
    EXPECT_EQ(json.get<HubApi::Repo>(), (HubApi::Repo{"a/b", HubApi::RepoType::datasets}));
    EXPECT_THROW(nlohmann::ordered_json::parse(R"({"id":"a","type":"model"})").get<HubApi::Repo>(), nlohmann::ordered_json::exception);
    EXPECT_THROW(nlohmann::ordered_json::parse(R"({"type":"models"})").get<HubApi::Repo>(), nlohmann::ordered_json::exception);
}

TEST(HubClient, SafeRelativePaths) {
    for (const char* good : {"a", "a/b.json", "dir/.hidden", "x..y"}) EXPECT_TRUE(HubApi::isSafeRelativePath(good)) << good;
    for (const char* bad : {"", "/etc/passwd", "..", "../a", "a/../../b", "a//b", "a/", "./a", "a\\..\\b", "a\nb"}) {
        EXPECT_FALSE(HubApi::isSafeRelativePath(bad)) << bad;
    }
}

namespace {

// Sets (or, with nullopt, removes) environment variables for its lifetime.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const std::vector<std::pair<std::string, std::optional<std::string>>>& values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name.c_str());
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace

TEST(HubClient, ThroughAnHttpsProxyTheHubsOwnAnswerCounts) {
    hubtests::TempFolder keys;
    hubtests::writeSelfSignedCertificate(keys / "hub.pem", keys / "hub.key");
    HubServer server(nlohmann::json{{"tls", {{"cert", (keys / "hub.pem").string()}, {"key", (keys / "hub.key").string()}}}});
    server.addFile("owner/repo", "config.json", R"({"model_type":"llama"})");
    hubtests::ConnectProxy proxy;
    const std::string file = server.endpoint() + "/owner/repo/resolve/main/config.json";
    const std::string sha = HubApi::computeFileHash(server.root() / "models/owner/repo/config.json");
    hubtests::TempFolder cache;
    {
        const ScopedEnvironment environment({{"https_proxy", proxy.url()},
                                             {"HTTPS_PROXY", std::nullopt},
                                             {"all_proxy", std::nullopt},
                                             {"ALL_PROXY", std::nullopt},
                                             {"no_proxy", std::nullopt},
                                             {"NO_PROXY", std::nullopt},
                                             {"CURL_CA_BUNDLE", (keys / "hub.pem").string()}});
        HubApi hub = client(server);
        hub.downloadBase = cache.path();

        // The file's metadata comes from the hub's answer, not from the proxy's tunnel answer.
        const auto metadata = hub.getFileMetadata(file);
        EXPECT_EQ(metadata.commitHash, "0123456789abcdef0123456789abcdef01234567");
        EXPECT_EQ(metadata.etag, sha);
        EXPECT_EQ(metadata.size, 22);
        // Statuses are the hub's: a missing file, a missing repository.
        EXPECT_EQ(hubErrorText([&] { hub.getFileMetadata(server.endpoint() + "/owner/repo/resolve/main/missing.json"); }),
                  "File not found: missing.json");
        EXPECT_EQ(hubErrorText([&] { hub.getFilenames({"owner/none", HubApi::RepoType::models}); }), "File not found: main");
        // A whole snapshot: listing, HEAD and the streamed download.
        const auto folder = hub.snapshot(REPO);
        EXPECT_EQ(hubtests::readFile(folder / "config.json"), R"({"model_type":"llama"})");
        EXPECT_EQ(hub.readDownloadMetadata(HubApi::metadataFolder(folder) / "config.json.metadata")->etag, sha);
    }
    // Every request went through the proxy's tunnel to the hub.
    const auto tunnels = proxy.tunnels();
    EXPECT_GE(tunnels.size(), 6u) << "two listings, three HEAD requests and one download";
    for (const auto& target : tunnels) EXPECT_EQ(target, "127.0.0.1:" + std::to_string(server.port()));
}

#include "DaroriCore/External/Hub/HubApi.hpp"
#include "DaroriCore/External/Hub/Downloader.hpp"

#include <gtest/gtest.h>

#include "HubServer.hpp"

using namespace darori;
using hubtests::HubServer;
using hubtests::readFile;
using hubtests::errorText;
using hubtests::TempFolder;
using hubtests::writeFile;

namespace {

const std::string COMMIT = "0123456789abcdef0123456789abcdef01234567";

struct HubCacheTest : ::testing::Test {
    HubCacheTest() {
        hub->endpoint = server.endpoint();
        hub->downloadBase = cache.path();
        hub->useOfflineMode = false;
    }

    HubApi::HubFileDownloader file(const std::string& name) const {
        const auto repo = hub->repoFolder(REPO);
        return {hub, REPO, "main", repo, HubApi::metadataFolder(repo), name, std::nullopt, server.endpoint(), false};
    }
    std::filesystem::path cached(const std::string& name) const { return hub->repoFolder(REPO) / name; }
    std::filesystem::path metadata(const std::string& name) const {
        return HubApi::metadataFolder(hub->repoFolder(REPO)) / (name + ".metadata");
    }
    std::size_t gets() const {
        std::size_t n = 0;
        for (const auto& r : server.requests()) n += r["method"] == "GET";
        return n;
    }

    static inline const HubApi::Repo REPO{"owner/repo", HubApi::RepoType::models};
    HubServer server;
    TempFolder cache;
    std::shared_ptr<HubApi> hub = std::make_shared<HubApi>();
};

}  // namespace

TEST_F(HubCacheTest, FreshFileKeptStaleFileFetched) {
    server.addFile("owner/repo", "sub/file.bin", "version one");
    std::vector<double> fractions;
    const auto path = file("sub/file.bin").download([&](double f, std::optional<double>) { fractions.push_back(f); });
    EXPECT_EQ(path, cached("sub/file.bin"));
    EXPECT_EQ(readFile(path), "version one");
    EXPECT_EQ(std::count(fractions.begin(), fractions.end(), 1.0), 1) << "progress reaches 1.0 exactly once";
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    const auto record = hub->readDownloadMetadata(metadata("sub/file.bin"));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->commitHash, COMMIT);
    EXPECT_EQ(record->etag, HubApi::computeFileHash(path));
    EXPECT_EQ(record->filename, "file.bin");
    EXPECT_GT(record->timestamp, 1.7e9);

    // Same commit: kept after one HEAD, without reading the file.
    file("sub/file.bin").download();
    EXPECT_EQ(gets(), 1u);

    // A new commit with new content: fetched again.
    server.addFile("owner/repo", "sub/file.bin", "version two");
    server.configure({{"commit", "fedcba9876543210fedcba9876543210fedcba98"}});
    EXPECT_EQ(readFile(file("sub/file.bin").download()), "version two");
    EXPECT_EQ(gets(), 2u);
    EXPECT_EQ(hub->readDownloadMetadata(metadata("sub/file.bin"))->commitHash, "fedcba9876543210fedcba9876543210fedcba98");
}

TEST_F(HubCacheTest, CachedFileJudgedByEtagOrHash) {
    const std::string content = "cached content";
    server.addFile("owner/repo", "f.bin", content);
    const std::string sha = HubApi::computeFileHash(server.root() / "models/owner/repo/f.bin");
    struct Case {
        const char* name;
        const char* etagMode;
        std::optional<std::string> metadataText;  // absent: no metadata file
        std::size_t gets;
        std::string log;  // the start of the line logged about the metadata file, if any
    };
    const std::string invalid = "Invalid metadata file " + metadata("f.bin").string() + ": ";
    const Case cases[] = {
        {"no metadata, SHA-256 etag equals the file's hash", "sha256", std::nullopt, 0, ""},
        {"no metadata, 40-digit etag", "git", std::nullopt, 1, ""},
        {"metadata with two lines: deleted, then the hash decides", "sha256", "x\n" + sha, 0,
         invalid + "Invalid metadata: Metadata file is missing required fields. Removing it from disk and continuing."},
        {"metadata with a bad time: deleted", "git", "x\ny\nnot a time\n", 1,
         invalid + "Invalid metadata: Invalid timestamp format. Removing it from disk and continuing."},
        {"metadata with the same etag, commit unknown to the hub", "sha256", "old\n" + sha + "\n1.5\n", 0, ""},
        {"metadata that is not UTF-8: deleted", "sha256", std::string("a\xff\nb\n1\n"), 0,
         "Error reading metadata file " + metadata("f.bin").string() + ": "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(cache.path() / "models");
        writeFile(cached("f.bin"), content);
        if (c.metadataText) writeFile(metadata("f.bin"), *c.metadataText);
        server.configure({{"etag", c.etagMode}, {"commit", "not-a-commit-hash"}});
        const std::size_t before = gets();
        testing::internal::CaptureStderr();
        file("f.bin").download();
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(gets() - before, c.gets);
        EXPECT_EQ(readFile(cached("f.bin")), content);
        const auto record = hub->readDownloadMetadata(metadata("f.bin"));
        ASSERT_TRUE(record) << "recorded after the decision";
        EXPECT_EQ(record->commitHash, "not-a-commit-hash");
        if (c.log.empty()) {
            EXPECT_EQ(log, "");
        } else {
            EXPECT_NE(log.find(c.log), std::string::npos) << log;
        }
    }
}

TEST_F(HubCacheTest, RefusedMetadataAndNames) {
    server.addFile("owner/repo", "f.bin", "x");
    writeFile(cached("f.bin"), "x");
    struct Case {
        nlohmann::json switches;
        std::string name;
        std::string error;
    };
    const std::string missing = "Invalid metadata: File metadata must have been retrieved from server";
    const Case cases[] = {
        {{{"commit", nullptr}}, "f.bin", missing},
        {{{"size", "none"}}, "f.bin", missing},
        {{{"etag", "none"}}, "f.bin", missing},
        {{{"etag", "\"../../../escape\""}}, "f.bin", "Invalid metadata: the etag \"../../../escape\" cannot name a cache file"},
        {nlohmann::json::object(), "../outside.bin", "Download failed: the file name \"../outside.bin\" leaves the repository folder"},
        {nlohmann::json::object(), "/etc/passwd", "Download failed: the file name \"/etc/passwd\" leaves the repository folder"},
    };
    for (const Case& c : cases) {
        server.configure({{"commit", COMMIT}, {"size", "content-length"}, {"etag", "sha256"}});
        server.configure(c.switches);
        EXPECT_EQ(errorText([&] { file(c.name).download(); }), c.error) << c.switches.dump();
    }
    EXPECT_EQ(gets(), 0u);
    EXPECT_FALSE(std::filesystem::exists(cache.path() / "models/owner/outside.bin"));
}

TEST_F(HubCacheTest, InterruptedDownloadResumesForTheSameEtagOnly) {
    const std::string content(3000, 'a');
    server.addFile("owner/repo", "f.bin", content);
    const std::string sha = HubApi::computeFileHash(server.root() / "models/owner/repo/f.bin");
    server.configure({{"cuts", {1000, 1000, 1000, 1000, 1000, 1000}}});
    Downloader::setRetryDelayForTesting(0.01);
    EXPECT_THROW(file("f.bin").download(), URLError);
    const auto incomplete = HubApi::metadataFolder(hub->repoFolder(REPO)) / ("f.bin." + sha + ".incomplete");
    EXPECT_TRUE(std::filesystem::exists(incomplete));
    EXPECT_FALSE(std::filesystem::exists(cached("f.bin")));
    EXPECT_FALSE(std::filesystem::exists(metadata("f.bin")));

    // Nothing reached the disk before the cuts (no 10 MiB flush); a partial file of the same etag
    // left by an earlier attempt is resumed from its length.
    writeFile(incomplete, content.substr(0, 1200));
    server.configure({{"cuts", nlohmann::json::array()}});
    EXPECT_EQ(readFile(file("f.bin").download()), content);
    EXPECT_EQ(server.requests().back()["headers"]["Range"], "bytes=1200-");
    Downloader::setRetryDelayForTesting(1.0);
}

TEST_F(HubCacheTest, AFullPartialFileIsCheckedBeforeItIsMoved) {
    const std::string content(3000, 'a');
    server.addFile("owner/repo", "f.bin", content);
    const std::string sha = HubApi::computeFileHash(server.root() / "models/owner/repo/f.bin");
    const auto incomplete = HubApi::metadataFolder(hub->repoFolder(REPO)) / ("f.bin." + sha + ".incomplete");
    // Right bytes: moved without a transfer. Wrong bytes of the right length: fetched anew.
    writeFile(incomplete, content);
    EXPECT_EQ(readFile(file("f.bin").download()), content);
    EXPECT_EQ(gets(), 0u);
    std::filesystem::remove(cached("f.bin"));
    std::filesystem::remove(metadata("f.bin"));
    writeFile(incomplete, std::string(3000, 'z'));
    EXPECT_EQ(readFile(file("f.bin").download()), content);
    EXPECT_EQ(gets(), 1u);
}

TEST_F(HubCacheTest, ADownloadThatDoesNotHashToItsEtagIsNeitherKeptNorRecorded) {
    server.addFile("owner/repo", "sub/model.bin", "the bytes the hub sends");
    const std::string actual = HubApi::computeFileHash(server.root() / "models/owner/repo/sub/model.bin");
    const std::string claimed(64, 'a');
    server.configure({{"etag", "\"" + claimed + "\""}});
    bool completed = false;
    EXPECT_EQ(errorText([&] { file("sub/model.bin").download([&](double f, std::optional<double>) { completed |= f == 1.0; }); }),
              "File integrity check failed: Hash mismatch for sub/model.bin: the hub's SHA-256 is " + claimed +
                  ", the downloaded file's is " + actual);
    EXPECT_FALSE(completed);
    EXPECT_FALSE(std::filesystem::exists(cached("sub/model.bin")));
    EXPECT_FALSE(std::filesystem::exists(metadata("sub/model.bin")));
    const auto incomplete = HubApi::metadataFolder(hub->repoFolder(REPO)) / ("sub/model.bin." + claimed + ".incomplete");
    EXPECT_FALSE(std::filesystem::exists(incomplete));

    // With the right etag the same file is fetched, kept and recorded.
    server.configure({{"etag", "sha256"}});
    EXPECT_EQ(readFile(file("sub/model.bin").download()), "the bytes the hub sends");
    EXPECT_EQ(hub->readDownloadMetadata(metadata("sub/model.bin"))->etag, actual);
}

TEST_F(HubCacheTest, HashAndMetadataFiles) {
    TempFolder folder;
    writeFile(folder / "empty", "");
    EXPECT_EQ(HubApi::computeFileHash(folder / "empty"), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    writeFile(folder / "abc", "abc");
    EXPECT_EQ(HubApi::computeFileHash(folder / "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(errorText([&] { HubApi::computeFileHash(folder / "none.bin"); }), "File not found: none.bin");

    hub->writeDownloadMetadata("c", "e", folder / "deep/x.bin.metadata");
    const std::string text = readFile(folder / "deep/x.bin.metadata");
    EXPECT_EQ(text.substr(0, 4), "c\ne\n");
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    writeFile(folder / "blocker", "a file where a folder is needed");
    EXPECT_EQ(errorText([&] { hub->writeDownloadMetadata("c", "e", folder / "blocker/x.metadata"); })
                  .rfind("Failed to write file: Failed to write metadata to " + (folder / "blocker/x.metadata").string() + ": ", 0),
              0u);
    EXPECT_FALSE(hub->readDownloadMetadata(folder / "absent.metadata"));
}

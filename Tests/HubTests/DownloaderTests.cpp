#include "DaroriCore/External/Hub/Downloader.hpp"

#include <random>

#include <gtest/gtest.h>

#include "DaroriCore/External/Hub/URLSession.hpp"
#include "HubServer.hpp"

using namespace darori;
using hubtests::HubServer;
using hubtests::readFile;
using hubtests::TempFolder;
using hubtests::writeFile;
using State = Downloader::DownloadState;

namespace {

std::string randomBytes(std::size_t size, unsigned seed = 7) {
    std::mt19937 rng(seed);
    std::string out(size, '\0');
    for (auto& c : out) c = static_cast<char>(rng());
    return out;
}

// Every state up to and including the first completed or failed one.
std::vector<State> collect(const std::shared_ptr<Downloader::Subscription>& states) {
    std::vector<State> out;
    for (;;) {
        out.push_back(*states->next());
        if (out.back().kind == State::Kind::completed || out.back().kind == State::Kind::failed) return out;
    }
}

template <class E>
const E* errorAs(const State& state) {
    try {
        std::rethrow_exception(state.error);
    } catch (const E& e) {
        static thread_local std::optional<E> kept;
        kept.emplace(e);
        return &*kept;
    } catch (...) {
        return nullptr;
    }
}

std::vector<std::string> rangesSent(const HubServer& server) {
    std::vector<std::string> out;
    for (const auto& r : server.requests()) out.push_back(r["headers"].value("Range", "-"));
    return out;
}

struct DownloaderTest : ::testing::Test {
    void SetUp() override { Downloader::setRetryDelayForTesting(0.01); }
    void TearDown() override { Downloader::setRetryDelayForTesting(1.0); }

    std::string fileURL() const { return server.endpoint() + "/owner/repo/resolve/main/data.bin"; }
    std::filesystem::path destination() const { return folder / "out/sub/data.bin"; }
    std::filesystem::path incomplete() const { return folder / "data.bin.incomplete"; }

    HubServer server;
    TempFolder folder;
};

}  // namespace

TEST_F(DownloaderTest, CutAtSeveralPointsResumesToTheExactBytes) {
    const std::string content = randomBytes(25 * 1024 * 1024 + 123);
    server.addFile("owner/repo", "data.bin", content);
    // The first two cuts come before 10 MiB reached the disk; the third after one flush.
    server.configure({{"cuts", {1000, 5 * 1024 * 1024, 12 * 1024 * 1024}}});
    writeFile(incomplete(), "");
    Downloader downloader(destination(), incomplete());
    const auto states = collect(downloader.download(fileURL(), std::nullopt, {}, std::int64_t(content.size()), 10, 5));
    ASSERT_EQ(states.back().kind, State::Kind::completed);
    EXPECT_EQ(states.back().url, destination());
    EXPECT_TRUE(readFile(destination()) == content);
    EXPECT_FALSE(std::filesystem::exists(incomplete()));
    EXPECT_EQ(rangesSent(server), (std::vector<std::string>{"-", "-", "-", "bytes=10485760-"}));
}

TEST_F(DownloaderTest, ProgressStatesPerFlush) {
    const std::string content = randomBytes(25 * 1024 * 1024);
    server.addFile("owner/repo", "data.bin", content);
    writeFile(incomplete(), "");
    Downloader downloader(destination(), incomplete());
    const auto states = collect(downloader.download(fileURL(), "", {}, std::int64_t(content.size())));
    ASSERT_EQ(states.size(), 5u);
    EXPECT_EQ(states[0].kind, State::Kind::notStarted);
    EXPECT_EQ(states[1].progress, 0);
    EXPECT_FALSE(states[1].speed);
    EXPECT_DOUBLE_EQ(states[2].progress, 0.4);
    EXPECT_DOUBLE_EQ(states[3].progress, 0.8);
    EXPECT_TRUE(states[3].speed);
    EXPECT_EQ(states[4].kind, State::Kind::completed);
    EXPECT_FALSE(server.requests()[0]["headers"].contains("Authorization")) << "an empty token sends no header";
    // A subscriber that joins late sees the outcome at once.
    EXPECT_EQ(downloader.subscribe()->next()->kind, State::Kind::completed);
}

TEST_F(DownloaderTest, ResumesAPartialFileAndKeepsItOnlyWhenTheServerHonoursTheRange) {
    const std::string content = randomBytes(4000);
    server.addFile("owner/repo", "data.bin", content);
    struct Case {
        const char* name;
        nlohmann::json switches;
        std::string partial;
        std::vector<std::string> ranges;
    };
    const Case cases[] = {
        {"range honoured", nlohmann::json::object(), content.substr(0, 1000), {"bytes=1000-"}},
        // A server that ignores the range sends the whole file: it must not be appended.
        {"range ignored", {{"ignore_range", true}}, std::string(1000, 'x'), {"bytes=1000-"}},
        // A 416 drops the partial file and starts over.
        {"416", {{"range_416", true}}, std::string(1000, 'x'), {"bytes=1000-", "-"}},
        // A partial file longer than the file is no start of it.
        {"too long", nlohmann::json::object(), std::string(5000, 'x'), {"-"}},
        // Every byte is there already (an earlier move failed): moved without a request.
        {"complete", nlohmann::json::object(), content, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HubServer fresh(c.switches);
        fresh.addFile("owner/repo", "data.bin", content);
        writeFile(incomplete(), c.partial);
        std::filesystem::remove(destination());
        Downloader downloader(destination(), incomplete());
        const auto states = collect(
            downloader.download(fresh.endpoint() + "/owner/repo/resolve/main/data.bin", "tok", {}, std::int64_t(content.size())));
        ASSERT_EQ(states.back().kind, State::Kind::completed);
        EXPECT_TRUE(readFile(destination()) == content);
        EXPECT_EQ(rangesSent(fresh), c.ranges);
        if (c.partial.size() == 1000) {
            EXPECT_DOUBLE_EQ(states[1].progress, 0.25);
        }
    }
}

TEST_F(DownloaderTest, FailuresNeverReplaceTheDestination) {
    const std::string content = randomBytes(4000);
    server.addFile("owner/repo", "data.bin", content);
    server.addFile("owner/repo", "gone.bin", "x");
    server.configure({{"status", {{"gone.bin", 500}}}});
    struct Case {
        const char* name;
        nlohmann::json switches;
        std::string file;
        std::int64_t expectedSize;
        int retries;
        bool downloadError;  // DownloadError.unexpectedError, else a URLError
        std::size_t requests;
        std::string description;  // after the URL, for a DownloadError
    };
    const Case cases[] = {
        {"length differs", nlohmann::json::object(), "data.bin", 4001, 5, true, 1, " ended with 4000 bytes of the announced 4001"},
        {"status 500, no retry", nlohmann::json::object(), "gone.bin", 1, 5, true, 1, " was answered with status 500"},
        {"404, no retry", nlohmann::json::object(), "missing.bin", 1, 5, true, 1, " was answered with status 404"},
        {"retries exhausted", {{"cuts", {100, 100, 100, 100}}}, "data.bin", 4000, 2, false, 3, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HubServer fresh(c.switches);
        fresh.addFile("owner/repo", "data.bin", content);
        fresh.addFile("owner/repo", "gone.bin", "x");
        fresh.configure({{"status", {{"gone.bin", 500}}}});
        writeFile(destination(), "the real file");
        writeFile(incomplete(), "");
        Downloader downloader(destination(), incomplete());
        const std::string url = fresh.endpoint() + "/owner/repo/resolve/main/" + c.file;
        const auto states = collect(downloader.download(url, std::nullopt, {}, c.expectedSize, 10, c.retries));
        ASSERT_EQ(states.back().kind, State::Kind::failed);
        if (c.downloadError) {
            const auto* e = errorAs<Downloader::DownloadError>(states.back());
            ASSERT_TRUE(e);
            EXPECT_EQ(e->kind(), Downloader::DownloadError::Kind::unexpectedError);
            // The description says what was asked for and what came back.
            EXPECT_EQ(std::string(e->what()), "unexpectedError: GET " + url + c.description);
        } else {
            const auto* e = errorAs<URLError>(states.back());
            ASSERT_TRUE(e);
            EXPECT_EQ(e->code(), URLError::Code::networkConnectionLost);
        }
        EXPECT_EQ(readFile(destination()), "the real file");
        EXPECT_TRUE(std::filesystem::exists(incomplete())) << "kept for the next attempt";
        EXPECT_EQ(fresh.requests().size(), c.requests);
    }
}

TEST_F(DownloaderTest, CancelEndsASlowTransfer) {
    server.addFile("owner/repo", "data.bin", randomBytes(1024 * 1024));
    server.configure({{"slow", 0.2}});
    writeFile(incomplete(), "");
    Downloader downloader(destination(), incomplete());
    const auto states = downloader.download(fileURL(), std::nullopt, {}, 1024 * 1024);
    ASSERT_EQ(states->next()->kind, State::Kind::notStarted);
    ASSERT_EQ(states->next()->kind, State::Kind::downloading);
    downloader.cancel();
    const auto last = collect(states).back();
    ASSERT_EQ(last.kind, State::Kind::failed);
    ASSERT_TRUE(errorAs<URLError>(last));
    EXPECT_EQ(errorAs<URLError>(last)->code(), URLError::Code::cancelled);
    EXPECT_FALSE(std::filesystem::exists(destination()));
}

TEST(MoveDownloadedFile, ReplacesAndCreatesFolders) {
    TempFolder folder;
    writeFile(folder / "a", "new");
    writeFile(folder / "x/b", "old");
    moveDownloadedFile(folder / "a", folder / "x/b");
    EXPECT_EQ(readFile(folder / "x/b"), "new");
    writeFile(folder / "a", "again");
    moveDownloadedFile(folder / "a", folder / "y/z/c");
    EXPECT_EQ(readFile(folder / "y/z/c"), "again");
}

// The start of a resumed download's range, up to the largest file offset there is.
TEST(ContentRange, StartOfTheRange) {
    const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
        {"bytes 100-199/200", 100},
        {"bytes 0-0/1", 0},
        {"bytes 9223372036854775807-9223372036854775807/*", INT64_MAX},
        {"bytes 9223372036854775808-9223372036854775809/*", std::nullopt},  // past 64 bits
        {"bytes */200", std::nullopt},
        {"100-199/200", std::nullopt},
        {"bytes -5-10/20", std::nullopt},
        {"bytes ", std::nullopt},
    };
    for (const auto& [value, start] : cases) EXPECT_EQ(contentRangeStart(value), start) << value;
}

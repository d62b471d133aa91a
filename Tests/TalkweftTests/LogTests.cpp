#include "Talkweft/Log.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <thread>
#include <vector>

#include "TestSupport.hpp"

namespace talkweft {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

TEST(LogTests, LineIsUTCTimestampBlankTextAndLineFeed) {
    auto when = parseISO8601("2026-12-09T08:55:47Z");
    ASSERT_TRUE(when);
    EXPECT_EQ(Log::formatLine(*when + std::chrono::milliseconds(900), "hotkeys: release recovered by poll"),
              "2026-12-09T08:55:47Z hotkeys: release recovered by poll\n");
    EXPECT_EQ(Log::formatLine(*when, "a\nb"), "2026-12-09T08:55:47Z a\nb\n");  // nothing escaped
}

TEST(LogTests, WritesFromManyThreadsLandWholeInTheLogFile) {
    EXPECT_EQ(Log::url(), testing::testRoot() / "log" / "talkweft.log");
    EXPECT_TRUE(fs::is_directory(Log::url().parent_path()));
    testing::LogMark mark;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 25; ++i) Log::write("test: thread " + std::to_string(t) + " line " + std::to_string(i));
        });
    }
    for (auto& th : threads) th.join();
    const std::string text = mark.since();
    int lines = 0;
    for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 100);
    // Every line: ISO 8601 UTC time in whole seconds, one blank, the text.
    const std::regex form(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ test: thread \d line \d+\n){100})");
    EXPECT_TRUE(std::regex_match(text, form)) << text.substr(0, 200);
    EXPECT_NE(text.find("Z test: thread 3 line 24\n"), std::string::npos);
    // Per thread, lines keep their order.
    EXPECT_LT(text.find("thread 1 line 3\n"), text.find("thread 1 line 4\n"));
}

TEST(LogTests, FirstLineCreatesAPrivateFile) {
    TempDir dir;
    LogFile log(dir.path() / "talkweft.log");
    log.append("first\n");
    log.append("second\n");
    EXPECT_EQ(readFile(log.file()), "first\nsecond\n");
    struct stat st {};
    ASSERT_EQ(stat(log.file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(LogTests, FirstLineRotatesOnlyAFileLargerThanTheLimit) {
    struct Case {
        std::uintmax_t size;
        bool rotates;
    };
    for (const Case& c : {Case{1'999'999, false}, Case{2'000'000, false}, Case{2'000'001, true}, Case{2'500'000, true}}) {
        SCOPED_TRACE(c.size);
        TempDir dir;
        const fs::path file = dir.path() / "talkweft.log";
        const fs::path older = dir.path() / "talkweft.1.log";
        writeFile(file, "");
        fs::resize_file(file, c.size);
        writeFile(older, "ancient\n");
        LogFile log(file);
        log.append("fresh\n");
        if (c.rotates) {
            EXPECT_EQ(readFile(file), "fresh\n");
            EXPECT_EQ(fs::file_size(older), c.size);  // the old generation was replaced
        } else {
            EXPECT_EQ(fs::file_size(file), c.size + 6);
            EXPECT_EQ(readFile(older), "ancient\n");
        }
    }
}

TEST(LogTests, SizeIsCheckedAgainOnlyAtEvery200thLine) {
    TempDir dir;
    const fs::path file = dir.path() / "talkweft.log";
    LogFile log(file);
    log.append("line 1\n");  // check 1: no file yet
    fs::resize_file(file, 2'000'001);
    for (int i = 2; i <= 200; ++i) log.append("x\n");
    EXPECT_FALSE(fs::exists(LogFile::rotatedPath(file)));  // lines 2..200 never check
    log.append("line 201\n");                               // check 2
    EXPECT_TRUE(fs::exists(dir.path() / "talkweft.1.log"));
    EXPECT_EQ(readFile(file), "line 201\n");
}

TEST(LogTests, UnwritableFolderLosesTheLineQuietly) {
    LogFile log("/proc/talkweft-no-such-dir/talkweft.log");
    log.append("lost\n");  // no throw, no crash
    SUCCEED();
}

}  // namespace
}  // namespace talkweft

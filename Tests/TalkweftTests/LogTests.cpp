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

TEST(LogTests, EveryLineRotatesAFileThatGrewPastTheLimit) {
    // The size written counts: a file one line short of the limit passes it with that line, and
    // the very next line starts a fresh file, whatever the number of lines before.
    TempDir dir;
    const fs::path file = dir.path() / "talkweft.log";
    LogFile log(file);
    log.append("first\n");
    fs::resize_file(file, LogFile::ROTATE_ABOVE - 3);
    log.append("ab\n");  // exactly the limit: stays
    EXPECT_EQ(fs::file_size(file), LogFile::ROTATE_ABOVE);
    EXPECT_FALSE(fs::exists(LogFile::rotatedPath(file)));
    log.append("cd\n");  // one line past the limit
    EXPECT_EQ(fs::file_size(file), LogFile::ROTATE_ABOVE + 3);
    log.append("next\n");
    EXPECT_EQ(readFile(file), "next\n");
    EXPECT_EQ(fs::file_size(LogFile::rotatedPath(file)), LogFile::ROTATE_ABOVE + 3);

    // Long lines written one after the other: no generation ever holds more than the limit plus
    // one line.
    const std::string line(100'000, 'x');
    for (int i = 0; i < 60; ++i) {
        log.append(line + "\n");
        ASSERT_LE(fs::file_size(file), LogFile::ROTATE_ABOVE + line.size() + 1) << i;
    }
    EXPECT_LE(fs::file_size(LogFile::rotatedPath(file)), LogFile::ROTATE_ABOVE + line.size() + 1);
}

TEST(LogTests, LongValuesAreCutWithANoteOfWhatWasLeftOut) {
    struct Case {
        std::string value;
        std::size_t limit;
        std::string expected;
    };
    const std::string euro = "\xE2\x82\xAC";  // three bytes
    const Case cases[] = {
        {"short", 8, "short"},
        {"exactly8", 8, "exactly8"},
        {"nine char", 8, "nine cha… [1 byte left out]"},
        {"ab" + euro + "cd", 4, "ab… [5 bytes left out]"},  // the euro sign is not split
        {euro + euro, 5, euro + "… [3 bytes left out]"},
    };
    for (const Case& c : cases) EXPECT_EQ(Log::cut(c.value, c.limit), c.expected) << c.value;
    EXPECT_EQ(Log::cut(std::string(10'000, 'y')), std::string(Log::MAX_VALUE_BYTES, 'y') + "… [5904 bytes left out]");

    // A whole text longer than the line limit is cut too.
    testing::LogMark mark;
    Log::write("test: " + std::string(1'000'000, 'z'));
    const std::string text = mark.since();
    EXPECT_LT(text.size(), Log::MAX_TEXT_BYTES + 100);
    EXPECT_NE(text.find("zzz… [" + std::to_string(1'000'006 - Log::MAX_TEXT_BYTES) + " bytes left out]\n"), std::string::npos);
}

TEST(LogTests, UnwritableFolderLosesTheLineWithoutLeavingAnything) {
    // The log's folder is a plain file: nothing can be created in it.
    TempDir dir;
    const fs::path blocker = dir.path() / "logs";
    writeFile(blocker, "not a folder\n");
    LogFile log(blocker / "talkweft.log");
    EXPECT_NO_THROW(log.append("lost\n"));
    EXPECT_EQ(readFile(blocker), "not a folder\n");
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1);
    // Once the folder can be written, the next line starts the file; the lost one stays lost.
    fs::remove(blocker);
    fs::create_directory(blocker);
    log.append("kept\n");
    EXPECT_EQ(readFile(blocker / "talkweft.log"), "kept\n");
}

}  // namespace
}  // namespace talkweft

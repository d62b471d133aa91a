#include "Platform/FileDefaults.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace talkweft::platform {
namespace {

namespace fs = std::filesystem;

class FileDefaultsTests : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "defaults-XXXXXX").string();
        dir_ = mkdtemp(tmpl.data());
        file_ = dir_ / "config" / "talkweft" / "defaults.json";
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
    fs::path file_;
};

TEST_F(FileDefaultsTests, ValuesSurviveANewInstanceAndTheFileIsPrivate) {
    const std::string bytes("{\"a\":1}\0\xff", 9);  // any bytes, also NUL and non-UTF-8
    {
        FileDefaults d(file_);
        EXPECT_FALSE(d.data("settings"));
        EXPECT_FALSE(d.boolValue("didSetLoginItem"));
        ASSERT_TRUE(d.setData("settings", bytes));
        ASSERT_TRUE(d.setBool("didSetLoginItem", true));
    }
    FileDefaults reloaded(file_);
    EXPECT_EQ(reloaded.data("settings"), bytes);
    EXPECT_TRUE(reloaded.boolValue("didSetLoginItem"));
    EXPECT_FALSE(reloaded.data("didSetLoginItem"));  // a bool is not data
    EXPECT_FALSE(reloaded.boolValue("settings"));

    struct stat st {};
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ASSERT_TRUE(reloaded.remove("settings"));
    EXPECT_FALSE(FileDefaults(file_).data("settings"));
}

std::string nested(int levels, const std::string& inner = "1") {
    return std::string(static_cast<std::size_t>(levels), '[') + inner + std::string(static_cast<std::size_t>(levels), ']');
}

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(FileDefaultsTests, DamagedFileIsMovedAsideReportedAndReplacedAtTheNextWrite) {
    struct Case {
        std::string text, reason;
    };
    const Case cases[] = {
        {"{not json", "(not valid JSON: "},
        {"[true]", "(not a JSON object)"},
        {"{\"settings\":" + nested(MAX_DEFAULTS_NESTING) + "}", "(nested deeper than 512 levels)"},
        {"{\"x\":" + nested(200000) + "}", "(nested deeper than 512 levels)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        fs::remove_all(file_.parent_path());
        fs::create_directories(file_.parent_path());
        std::ofstream(file_, std::ios::binary) << c.text;
        std::vector<std::string> lines;
        FileDefaults d(file_, [&](const std::string& line) { lines.push_back(line); });
        EXPECT_FALSE(d.data("settings"));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("defaults: " + file_.string() + " is damaged " + c.reason, 0), 0u) << lines[0];
        // The damaged file is kept, whole, under the name the line gives.
        const std::string moved = ", moved to ";
        auto at = lines[0].find(moved);
        ASSERT_NE(at, std::string::npos) << lines[0];
        const std::string rest = lines[0].substr(at + moved.size());
        ASSERT_EQ(rest.substr(rest.size() - 20), "; using the defaults");
        const fs::path aside = rest.substr(0, rest.size() - 20);
        EXPECT_EQ(aside.parent_path(), file_.parent_path());
        EXPECT_EQ(aside.filename().string().rfind("defaults.json.damaged-", 0), 0u);
        EXPECT_EQ(readAll(aside), c.text);
        EXPECT_FALSE(fs::exists(file_));
        // Later writes work and start a fresh file.
        ASSERT_TRUE(d.setBool("x", true));
        ASSERT_TRUE(d.setData("settings", "{}"));
        FileDefaults reloaded(file_, [&](const std::string& line) { lines.push_back(line); });
        EXPECT_TRUE(reloaded.boolValue("x"));
        EXPECT_EQ(lines.size(), 1u);
    }
}

TEST_F(FileDefaultsTests, AnEmptyFileIsNoDamage) {
    fs::create_directories(file_.parent_path());
    std::ofstream(file_).close();
    bool reported = false;
    FileDefaults d(file_, [&](const std::string&) { reported = true; });
    EXPECT_FALSE(reported);
    ASSERT_TRUE(d.setBool("x", true));
    EXPECT_TRUE(FileDefaults(file_).boolValue("x"));
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(file_.parent_path())) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST_F(FileDefaultsTests, NestingUpToTheLimitIsKept) {
    fs::create_directories(file_.parent_path());
    // Brackets inside strings do not count.
    const std::string text = "{\"deep\":" + nested(MAX_DEFAULTS_NESTING - 1) + ",\"s\":\"" + std::string(600, '[') + "\\\"\",\"b\":true}";
    std::ofstream(file_, std::ios::binary) << text;
    bool reported = false;
    FileDefaults d(file_, [&](const std::string&) { reported = true; });
    EXPECT_FALSE(reported);
    EXPECT_TRUE(d.boolValue("b"));
    ASSERT_TRUE(d.setBool("c", true));  // writing the deep value back out
    EXPECT_TRUE(FileDefaults(file_).boolValue("b"));
}

TEST_F(FileDefaultsTests, UnwritableFolderReportsFailure) {
    FileDefaults d("/proc/talkweft-no-such-dir/defaults.json");
    EXPECT_FALSE(d.setBool("x", true));
}

}  // namespace
}  // namespace talkweft::platform

#include "Platform/FileDefaults.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

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

TEST_F(FileDefaultsTests, CorruptFileReadsAsEmptyAndIsReplacedAtTheNextWrite) {
    fs::create_directories(file_.parent_path());
    std::ofstream(file_) << "{not json";
    FileDefaults d(file_);
    EXPECT_FALSE(d.data("settings"));
    ASSERT_TRUE(d.setBool("x", true));
    EXPECT_TRUE(FileDefaults(file_).boolValue("x"));
    // No temporary files are left behind.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(file_.parent_path())) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST_F(FileDefaultsTests, UnwritableFolderReportsFailure) {
    FileDefaults d("/proc/talkweft-no-such-dir/defaults.json");
    EXPECT_FALSE(d.setBool("x", true));
}

}  // namespace
}  // namespace talkweft::platform

#include "Talkweft/Paths.hpp"

#include <gtest/gtest.h>

#include <map>

#include "TestSupport.hpp"

namespace talkweft {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

EnvLookup envOf(std::map<std::string, std::string> vars) {
    return [vars](const char* name) -> std::optional<std::string> {
        auto it = vars.find(name);
        return it == vars.end() ? std::nullopt : std::optional(it->second);
    };
}

TEST(PathsTests, FoldersFollowXDGAndEachOverride) {
    const Folders plain = calcFolders(envOf({}), "/home/a", 1000);
    EXPECT_EQ(plain.support, "/home/a/.local/share/talkweft");
    EXPECT_EQ(plain.history, "/home/a/.local/share/talkweft/History");
    EXPECT_EQ(plain.models, "/home/a/.local/share/talkweft/Models/zadezariro");
    EXPECT_EQ(plain.work, "/home/a/.local/share/talkweft/Work");
    EXPECT_EQ(plain.logFile, "/home/a/.local/state/talkweft/talkweft.log");
    EXPECT_EQ(plain.defaultsFile, "/home/a/.config/talkweft/defaults.json");
    EXPECT_EQ(plain.screenshots, "/tmp/talkweft-1000/screenshots");

    const Folders xdg = calcFolders(envOf({{"XDG_DATA_HOME", "/d"},
                                           {"XDG_STATE_HOME", "/s"},
                                           {"XDG_CONFIG_HOME", "relative/ignored"},
                                           {"XDG_RUNTIME_DIR", "/run/user/1000"}}),
                                    "/home/a", 1000);
    EXPECT_EQ(xdg.support, "/d/talkweft");
    EXPECT_EQ(xdg.logFile, "/s/talkweft/talkweft.log");
    EXPECT_EQ(xdg.defaultsFile, "/home/a/.config/talkweft/defaults.json");
    EXPECT_EQ(xdg.screenshots, "/run/user/1000/talkweft/screenshots");

    const Folders over = calcFolders(envOf({{"XDG_DATA_HOME", "/d"},
                                            {"TALKWEFT_SUPPORT_DIR", "/t/sup"},
                                            {"TALKWEFT_LOG_DIR", "/t/log"},
                                            {"TALKWEFT_CONFIG_DIR", "/t/cfg"},
                                            {"TALKWEFT_SCREENSHOTS_DIR", "/t/shots"}}),
                                     "/home/a", 1000);
    EXPECT_EQ(over.support, "/t/sup");
    EXPECT_EQ(over.history, "/t/sup/History");
    EXPECT_EQ(over.logFile, "/t/log/talkweft.log");
    EXPECT_EQ(over.defaultsFile, "/t/cfg/defaults.json");
    EXPECT_EQ(over.screenshots, "/t/shots");
}

TEST(PathsTests, TouchingAFolderCreatesTheSupportFolder) {
    EXPECT_EQ(Paths::history(), testing::testRoot() / "support" / "History");
    EXPECT_TRUE(fs::is_directory(testing::testRoot() / "support"));
}

TEST(PathsTests, WorkDirIsTheRepositoryRootAboveTheDocument) {
    TempDir dir;
    const fs::path app = dir.path() / "src" / "app";
    fs::create_directories(app / ".git");
    fs::create_directories(app / "Sources" / "deep");
    const std::string doc = (app / "Sources" / "deep" / "x.txt").string();
    EXPECT_EQ(calcWorkDir(doc, std::nullopt), app);

    // A ".git" file (as in a linked worktree) counts too; the nearest one wins.
    testing::writeFile(app / "Sources" / ".git", "gitdir: elsewhere\n");
    EXPECT_EQ(calcWorkDir(doc, std::nullopt), app / "Sources");
    // A document path with a trailing slash names the folder itself: the search starts above it.
    EXPECT_EQ(calcWorkDir((app / "Sources").string() + "/", std::nullopt), app);
}

TEST(PathsTests, WorkDirFallsBackToDocumentFolderHistoryThenWork) {
    TempDir dir;
    const fs::path sources = dir.path() / "plain" / "Sources";
    fs::create_directories(sources);
    const fs::path history = dir.path() / "history-ctx";
    fs::create_directories(history);

    EXPECT_EQ(calcWorkDir((sources / "x.txt").string(), history), sources);
    const std::string gone = (dir.path() / "gone" / "x.txt").string();
    EXPECT_EQ(calcWorkDir(gone, history), history);
    EXPECT_EQ(calcWorkDir(std::nullopt, history), history);

    const fs::path missingHistory = dir.path() / "no-history";
    EXPECT_EQ(calcWorkDir(gone, missingHistory), Paths::work());
    EXPECT_EQ(calcWorkDir(std::nullopt, std::nullopt), Paths::work());
    EXPECT_TRUE(fs::is_directory(Paths::work()));
}

}  // namespace
}  // namespace talkweft

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>

#include "Talkweft/ContextReader.hpp"
#include "TestSupport.hpp"

namespace talkweft {
namespace {

namespace fs = std::filesystem;
using namespace platform;
using headless::HeadlessScreen;

HeadlessScreen::Window window(std::optional<std::int64_t> pid, std::optional<std::int64_t> layer,
                              std::optional<std::int64_t> number, Rect bounds = {0, 0, 4, 3}) {
    HeadlessScreen::Window w;
    w.info = WindowInfo{pid, layer, number, bounds};
    return w;
}

std::uint32_t pngWidth(const std::string& png) {
    return (std::uint32_t(std::uint8_t(png[16])) << 24) | (std::uint32_t(std::uint8_t(png[17])) << 16) |
           (std::uint32_t(std::uint8_t(png[18])) << 8) | std::uint32_t(std::uint8_t(png[19]));
}

class ScreenshotTests : public ::testing::Test {
protected:
    testing::DesktopFixture fx;
    testing::TempDir tmp;
    fs::path dir = tmp.path() / "shots" / "Screenshots";
};

TEST_F(ScreenshotTests, FrontNormalWindowIsWrittenAsAPrivatePNG) {
    fx.desktop.screen().setScale(2);
    fx.desktop.screen().setWindows({window(100, 25, 1), window(200, 0, 2), window(100, 0, 3, {0, 0, 50.7, 20}),
                                    window(100, 0, 4)});
    auto path = ContextReader::calcScreenshot(100, dir);
    ASSERT_TRUE(path);
    const std::string name = fs::path(*path).filename().string();
    EXPECT_EQ(fs::path(*path).parent_path(), dir);
    EXPECT_TRUE(name.starts_with("window-")) << name;
    EXPECT_TRUE(name.ends_with(".png")) << name;
    const std::string png = testing::readFile(*path);
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(pngWidth(png), 101u);  // window 3: 50.7 points at scale 2, truncated

    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(path->c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ScreenshotTests, TwoScreenshotsInOneSecondKeepBothFiles) {
    fx.desktop.screen().setWindows({window(100, 0, 9)});
    auto first = ContextReader::calcScreenshot(100, dir);
    auto second = ContextReader::calcScreenshot(100, dir);
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    EXPECT_TRUE(fs::exists(*first));
    EXPECT_TRUE(fs::exists(*second));
}

TEST_F(ScreenshotTests, NoSuitableWindowGivesNothing) {
    struct Case {
        const char* what;
        std::vector<HeadlessScreen::Window> windows;
    };
    auto uncapturable = window(100, 0, 5);
    uncapturable.capturable = false;
    const std::vector<Case> cases = {
        {"only a floating panel", {window(100, 3, 1)}},
        {"another app's window", {window(200, 0, 1)}},
        {"first match has no number, later ones are not tried", {window(100, 0, std::nullopt), window(100, 0, 2)}},
        {"number out of range", {window(100, 0, std::int64_t{1} << 40)}},
        {"layer unreadable", {window(100, std::nullopt, 1)}},
        {"capture fails", {uncapturable}},
        {"window size not a number", {window(100, 0, 1, {0, 0, std::nan(""), 3})}},
    };
    for (const auto& c : cases) {
        fx.desktop.screen().setWindows(c.windows);
        EXPECT_FALSE(ContextReader::calcScreenshot(100, dir)) << c.what;
    }
    fx.desktop.screen().setWindows({window(100, 0, 1)});
    fx.desktop.screen().setListReadable(false);
    EXPECT_FALSE(ContextReader::calcScreenshot(100, dir));
}

TEST_F(ScreenshotTests, MissingPermissionIsLoggedAndNeverRequested) {
    fx.desktop.screen().setWindows({window(100, 0, 1)});
    fx.desktop.screen().setAccess(false);
    testing::LogMark mark;
    EXPECT_FALSE(ContextReader::calcScreenshot(100, dir));
    EXPECT_NE(mark.since().find("Z screenshot: skipped, this session does not allow capturing windows\n"), std::string::npos);
    EXPECT_EQ(fx.desktop.screen().accessRequests(), 0);
}

TEST_F(ScreenshotTests, FolderThatIsASymlinkOrSharedIsRefusedOrMadePrivate) {
    fx.desktop.screen().setWindows({window(100, 0, 1)});
    const fs::path elsewhere = tmp.path() / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_directories(dir.parent_path());
    fs::create_directory_symlink(elsewhere, dir);
    EXPECT_FALSE(ContextReader::calcScreenshot(100, dir));
    EXPECT_TRUE(fs::is_empty(elsewhere));

    const fs::path open = tmp.path() / "open";
    fs::create_directories(open);
    fs::permissions(open, fs::perms::all);
    ASSERT_TRUE(ContextReader::calcScreenshot(100, open));
    EXPECT_EQ(fs::status(open).permissions() & fs::perms::all, fs::perms::owner_all);
}

}  // namespace
}  // namespace talkweft

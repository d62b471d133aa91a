// Two screens side by side, the second one shorter than the primary: the panel's screens in its
// bottom-left space, and the HUD placing the panel at a caret on the second screen. Xvfb cannot put
// two screens side by side, so Qt runs on its offscreen platform with two configured screens (in a
// process of its own: ctest runs each test alone).
#include "HUDWindowSupport.hpp"  // first: Qt before Xlib

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Platform/Headless/Desktop.hpp"
#include "Talkweft/HUD.hpp"

namespace desktoptest {
namespace {

using namespace talkweft;
using platform::Rect;

TEST(HUDScreensTest, PlacesThePanelAtACaretOnTheSecondScreen) {
    if (QCoreApplication::instance()) GTEST_SKIP() << "Qt already runs in this process: run this test alone (ctest does)";
    const std::filesystem::path config =
        std::filesystem::temp_directory_path() / ("hud-screens-" + std::to_string(::getpid()) + ".json");
    {
        std::ofstream out(config);
        out << R"({"screens": [
            {"name": "left", "x": 0, "y": 0, "width": 1280, "height": 800, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1},
            {"name": "right", "x": 1280, "y": 0, "width": 1024, "height": 768, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";
    }
    static int argc = 3;
    static std::string platformArg;
    platformArg = "offscreen:configfile=" + config.string();
    static char name[] = "HUDWindowTests", option[] = "-platform";
    static char* argv[] = {name, option, platformArg.data(), nullptr};
    new QApplication(argc, argv);  // lives until the process ends
    std::filesystem::remove(config);
    ASSERT_EQ(QGuiApplication::screens().size(), 2);

    platform::linuxdesktop::QtPanel panel;
    platform::headless::Desktop desktop(platform::headless::HeadlessLoop::ClockMode::realClock);
    desktop.platform().panel = &panel;
    platform::ScopedPlatform scope(desktop.platform());

    // In the panel's space the shorter screen's bottom is 32 points above the primary's.
    const auto screens = panel.screens();
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[0].frame, (Rect{0, 0, 1280, 800}));
    EXPECT_EQ(screens[1].frame, (Rect{1280, 32, 1024, 768}));
    EXPECT_EQ(screens[1].visibleFrame, screens[1].frame);

    struct Case {
        const char* name;
        Rect caret;  // top-left coordinates, as captured
        int left;    // the window's expected left edge (Qt's coordinates)
        int top;     // its top edge; -1: its bottom edge is 8 above the caret
    };
    const Case cases[] = {
        {"below the caret", {1500, 100, 2, 18}, 1500, 126},
        {"above a caret near the shorter screen's bottom", {1500, 730, 2, 18}, 1500, -1},
        {"pulled left from the screen's right edge", {2290, 300, 2, 18}, -1, 326},
    };
    HUD hud;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hud.show(HUDState::listening(Mode::dictate, false), c.caret);
        const QRect g = panel.window()->geometry();
        EXPECT_EQ(g.x(), c.left >= 0 ? c.left : 2304 - 8 - g.width());
        if (c.top >= 0)
            EXPECT_EQ(g.y(), c.top);
        else
            EXPECT_EQ(g.y() + g.height(), 730 - 8);
        EXPECT_EQ(QGuiApplication::screenAt(g.center())->name(), "right");
    }
    hud.hide(0);
    desktop.loop().runPending();
}

}  // namespace
}  // namespace desktoptest

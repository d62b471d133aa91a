// The application's HUD on the real panel window, next to the caret of a real GTK field read
// through AT-SPI: where the window lands, that it never takes the field's focus, and that it lets
// clicks through while it shows no buttons.
#include "HUDWindowSupport.hpp"  // first: Qt before Xlib

#include <cmath>
#include <string>

#include "DesktopSession.hpp"
#include "FieldApps.hpp"
#include "Platform/Linux/LinuxDesktop.hpp"
#include "Platform/Linux/Qt/QtPanel.hpp"
#include "Talkweft/ContextReader.hpp"
#include "Talkweft/HUD.hpp"


namespace desktoptest {
namespace {

using namespace talkweft;
using platform::Rect;

class HUDPlacementTest : public HUDWindowSuite {};

bool fieldFocused(const platform::AXElementRef& field) { return field && field->attribute(platform::AX_FOCUSED) == platform::AXValue(true); }

TEST_F(HUDPlacementTest, ShowsNextToTheCaretAndNeverTakesTheFocus) {
    HUD_NEED_QT_ON_X11();
    FieldApp app(*session(), "gtk_fields.py", {"--title", "HUD field", "--entry", "hello there world", "--focus", "entry", "--caret", "6"},
                 "gtk-hud");
    ASSERT_TRUE(app.waitReady());
    PanelOnDesktop on;
    auto& loop = on.desktop.loop();

    ASSERT_TRUE(waitForFocus(on.desktop.accessibility(), app.pid()));
    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap && cap->caret && cap->element);
    const Rect caret = *cap->caret;
    const Window active = on.x.activeWindow(), focus = on.x.inputFocus();
    ASSERT_NE(active, None);

    HUD hud;
    hud.show(HUDState::listening(Mode::dictate, false), caret);
    ASSERT_TRUE(pumpUntil(loop, [&] { return on.x.viewable(on.window); }));
    auto g = on.x.geometry(on.window);
    ASSERT_TRUE(g);
    // Below the caret: its left edge at the caret's, its top 8 points below the caret's bottom.
    EXPECT_EQ(g->x, std::round(caret.x));
    EXPECT_EQ(g->y, std::round(caret.y + caret.height) + 8);
    EXPECT_EQ(g->width, on.panel.fittingSize().width);
    EXPECT_EQ(g->height, on.panel.fittingSize().height);
    EXPECT_LE(g->width, 520);
    // The panel's own frame says the same, in its bottom-left space.
    EXPECT_EQ(on.panel.frame(), (Rect{g->x, 800 - g->y - g->height, g->width, g->height}));

    // Unmanaged: no on.window manager frame, no taskbar or pager entry.
    EXPECT_TRUE(on.x.overrideRedirect(on.window));
    for (unsigned long client : on.x.rootWindows("_NET_CLIENT_LIST")) EXPECT_NE(client, on.window);
    EXPECT_FALSE(on.panel.acceptsMouse());
    EXPECT_TRUE(on.panel.isPulsing());
    // No compositor runs: the on.window is cut to its rounded rectangle.
    EXPECT_TRUE(on.x.shapeContains(on.window, int(g->width / 2), int(g->height / 2)));
    EXPECT_FALSE(on.x.shapeContains(on.window, 0, 0));
    EXPECT_FALSE(on.x.shapeContains(on.window, int(g->width) - 1, int(g->height) - 1));

    // The field keeps the focus while the panel shows and when it changes.
    hud.show(HUDState::transcribing(Mode::agent), caret);
    settle(loop);
    EXPECT_EQ(on.x.activeWindow(), active);
    EXPECT_EQ(on.x.inputFocus(), focus);
    EXPECT_TRUE(fieldFocused(cap->element));

    // The pointer over the panel reaches the on.window below it.
    EXPECT_NE(on.x.windowAt(int(g->x + g->width / 2), int(g->y + g->height / 2)), on.window);

    hud.hide(0);
    ASSERT_TRUE(pumpUntil(loop, [&] { return !on.x.viewable(on.window); }));
    settle(loop);
    EXPECT_FALSE(on.panel.isVisible());
    EXPECT_FALSE(on.panel.isPulsing());
    EXPECT_EQ(hud.state(), HUDState::hidden());
    EXPECT_EQ(on.x.activeWindow(), active);
    EXPECT_EQ(on.x.inputFocus(), focus);
    EXPECT_TRUE(fieldFocused(cap->element));
}

TEST_F(HUDPlacementTest, NearTheScreensBottomTheCaretGetsThePanelAbove) {
    HUD_NEED_QT_ON_X11();
    FieldApp app(*session(), "gtk_fields.py", {"--title", "HUD low field", "--entry", "low", "--focus", "entry", "--caret", "3"},
                 "gtk-low");
    ASSERT_TRUE(app.waitReady());
    PanelOnDesktop on;
    ASSERT_TRUE(waitForFocus(on.desktop.accessibility(), app.pid()));

    // The field's on.window moved to the bottom of the 800-point screen.
    ASSERT_EQ(session()->run({"xdotool", "getactivewindow", "windowmove", "600", "760"}).status, 0);
    std::optional<Rect> caret;
    ASSERT_TRUE(DesktopSession::waitFor([&] {
        auto cap = ContextReader::capture();
        if (cap && cap->caret && cap->caret->y > 740) caret = cap->caret;
        return caret.has_value();
    }));

    HUD hud;
    hud.show(HUDState::listening(Mode::agent, true), caret);
    ASSERT_TRUE(pumpUntil(on.desktop.loop(), [&] { return on.x.viewable(on.window); }));
    auto g = on.x.geometry(on.window);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->x, std::round(caret->x));
    // Its bottom 8 points above the caret's top, inside the visible area.
    EXPECT_EQ(g->y + g->height, std::round(caret->y) - 8);
    EXPECT_GE(g->y, 8);
}

TEST_F(HUDPlacementTest, WithoutACaretTheTopCentreOfTheVisibleArea) {
    HUD_NEED_QT_ON_X11();
    PanelOnDesktop on;

    // The 1280 x 800 screen in the panel's bottom-left space; the tray's 24-point strut at the top
    // is not part of the visible frame.
    std::vector<platform::Screen> screens;
    ASSERT_TRUE(DesktopSession::waitFor([&] {
        QCoreApplication::processEvents();
        screens = on.panel.screens();
        return screens.size() == 1 && screens[0].visibleFrame.height < 800;
    })) << "the work area never left the tray out";
    EXPECT_EQ(screens[0].frame, (Rect{0, 0, 1280, 800}));
    EXPECT_EQ(screens[0].visibleFrame, (Rect{0, 0, 1280, 776}));
    platform::Screen main;
    ASSERT_TRUE(on.panel.mainScreen(main));
    EXPECT_EQ(main, screens[0]);

    HUD hud;
    hud.show(HUDState::note("History cleared"));
    ASSERT_TRUE(pumpUntil(on.desktop.loop(), [&] { return on.x.viewable(on.window); }));
    auto g = on.x.geometry(on.window);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->x, std::round(640 - g->width / 2));
    EXPECT_EQ(g->y, 24 + 24);  // 24 points below the visible area's top
    EXPECT_FALSE(on.panel.isPulsing());  // a note's check mark stands still
    // A note hides itself.
    ASSERT_TRUE(pumpUntil(on.desktop.loop(), [&] { return !on.x.viewable(on.window); }));
    EXPECT_EQ(hud.state(), HUDState::hidden());
}

TEST_F(HUDPlacementTest, TheThinkingCounterGainingADigitWidensThePanelInPlace) {
    HUD_NEED_QT_ON_X11();
    PanelOnDesktop on;
    auto& loop = on.desktop.loop();

    // A short instruction, so the first row sets the width; the counter goes from 9s to 10s.
    HUD hud;
    hud.show(HUDState::thinking("Hi", loop.now() - std::chrono::milliseconds(9500)), Rect{100, 100, 2, 18});
    ASSERT_TRUE(pumpUntil(loop, [&] { return on.x.viewable(on.window); }));
    const auto before = on.x.geometry(on.window);
    ASSERT_TRUE(before);
    ASSERT_TRUE(pumpUntil(loop, [&] {
        auto g = on.x.geometry(on.window);
        return g && g->width > before->width;
    })) << "the panel kept its width after the counter's second digit";
    settle(loop);
    const auto after = on.x.geometry(on.window);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->width, on.panel.fittingSize().width);
    EXPECT_EQ(after->x, before->x);
    EXPECT_EQ(after->y, before->y);
}

}  // namespace
}  // namespace desktoptest

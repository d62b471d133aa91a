#include <QCheckBox>
#include <QTabWidget>

#include "SettingsSupport.hpp"
#include "Talkweft/AppDelegate.hpp"
#include "Talkweft/Settings/QtSettingsWindow.hpp"

namespace talkweft::testing {
namespace {

using SettingsWindowSurfaceTest = SettingsViewTest;

TEST_F(SettingsWindowSurfaceTest, OneWindowMadeOnceKeptWhenClosedAndReloadedWhenShownAgain) {
    SettingsEnvironment env;
    env.now = [this] { return now; };
    AppDelegate app;  // its store outlives the window
    {
        QtSettingsWindow surface(env);
        desktop.platform().settingsWindow = &surface;
        app.openSettings();
        ASSERT_NE(surface.window(), nullptr);
        QWidget* window = surface.window();
        SettingsView* shown = surface.view();
        EXPECT_EQ(window->windowTitle(), "Talkweft Settings");
        EXPECT_EQ(window->size(), QSize(640, 600));
        EXPECT_TRUE(window->isVisible());
        ASSERT_EQ(shown->tabs()->count(), 4);
        QStringList tabs;
        for (int i = 0; i < 4; ++i) tabs << shown->tabs()->tabText(i);
        EXPECT_EQ(tabs.join(",").toStdString(), "General,Agent,Apps,History");
        shown->waitForIdle();
        const int tick = shown->tick();

        window->close();
        EXPECT_FALSE(window->isVisible());
        app.openSettings();
        EXPECT_EQ(surface.window(), window) << "the same window comes back";
        EXPECT_EQ(surface.view(), shown);
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(shown->tick(), tick + 1) << "showing it again reloads";

        // Edits in the window reach the application's store.
        shown->findChild<QCheckBox*>("soundCues")->click();
        EXPECT_FALSE(app.settings.value().soundCues);
        shown->waitForIdle();
        window->close();
        desktop.platform().settingsWindow = nullptr;
    }
}

}  // namespace
}  // namespace talkweft::testing

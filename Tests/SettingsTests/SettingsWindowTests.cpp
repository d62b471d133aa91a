#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
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

// Every text the window shows (labels, buttons, menu entries, tool tips, placeholders, section
// titles, with a stored context and missing permissions so their rows show too) names the keys,
// apps and places of a Linux desktop, none of macOS.
TEST_F(SettingsWindowSurfaceTest, EveryTextNamesLinuxKeysAndPlaces) {
    desktop.setTrusted(false);
    desktop.screen().setAccess(false);
    AppContext ctx;
    ctx.user = "mira";
    ctx.appName = "Notes";
    ctx.bundleID = "org.example.Notes";
    ctx.pid = 42;
    ctx.windowTitle = "Plan";
    ctx.capturedAt = std::chrono::system_clock::now();
    HistoryEntry entry;
    entry.date = std::chrono::time_point_cast<std::chrono::seconds>(ctx.capturedAt);
    entry.instruction = "write one";
    entry.text = "one";
    entry.applied = true;
    history.record(ctx, entry, std::nullopt, "one");
    makeView();
    ASSERT_EQ(view->contexts().size(), 1u);

    QStringList texts;
    for (int i = 0; i < view->tabs()->count(); ++i) texts << view->tabs()->tabText(i);
    for (QWidget* w : view->findChildren<QWidget*>()) {
        texts << w->toolTip();
        if (auto* label = qobject_cast<QLabel*>(w)) texts << label->text();
        if (auto* button = qobject_cast<QAbstractButton*>(w)) texts << button->text();
        if (auto* box = qobject_cast<QGroupBox*>(w)) texts << box->title();
        if (auto* line = qobject_cast<QLineEdit*>(w)) texts << line->placeholderText();
        if (auto* edit = qobject_cast<QPlainTextEdit*>(w)) texts << edit->placeholderText();
    }
    for (QAction* action : view->findChildren<QAction*>()) texts << action->text();
    ASSERT_TRUE(texts.contains("Right Alt")) << "the chord pickers were not found";
    ASSERT_TRUE(texts.contains("Show in File Manager")) << "the context row was not found";

    const char* macNames[] = {"\u2325", "\u2318", "\u2303", "\u21E7", "macOS", "Mac ", "Finder", "System Settings",
                              "System Preferences", "Dock", "menu bar", "Command", "Option", "Screen Recording",
                              "Library/"};
    for (const QString& text : texts)
        for (const char* name : macNames)
            EXPECT_FALSE(text.contains(QString::fromUtf8(name))) << name << " in: " << text.toStdString();
}

}  // namespace
}  // namespace talkweft::testing

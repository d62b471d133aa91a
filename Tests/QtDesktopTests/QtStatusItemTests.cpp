// The tray item in-process on the offscreen platform (no tray host there): the menu built from the
// builder at each opening, its lines, check marks, key equivalents and actions, the icon's states.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>

#include <string>
#include <vector>

#include "Platform/Linux/Qt/QtStatusItem.hpp"
#include "QtSupport.hpp"

namespace {

using talkweft::platform::MenuItem;
using talkweft::platform::StatusActivity;
using talkweft::platform::linuxdesktop::QtStatusItem;

class QtStatusItemTest : public ::testing::Test {
protected:
    bool qt = (qtdesktoptest::ensureQApplication(), true);
    std::vector<std::string> logged;
    QtStatusItem item{[this](const std::string& line) { logged.push_back(line); }};

    // Opens the menu (as a click on the icon does) and closes it again.
    std::vector<QAction*> open() {
        item.menu().popup(QPoint(10, 10));
        auto actions = item.menu().actions();
        item.menu().hide();
        return {actions.begin(), actions.end()};
    }
};

TEST_F(QtStatusItemTest, TheMenuIsBuiltAtEachOpeningWithLinesChecksKeysAndActions) {
    int opened = 0;
    std::vector<std::string> ran;
    bool connectors = true;
    item.setMenuBuilder([&] {
        opened++;
        std::vector<MenuItem> items;
        items.push_back(MenuItem::line("Talkweft: Ready " + std::to_string(opened)));
        items.push_back(MenuItem::divider());
        items.push_back({"Turn Off in R&D\tTools", false, true, false, {}, [&] { ran.push_back("toggle"); }});
        items.push_back({"Connectors (read-only)", false, true, connectors, {}, [&] { connectors = !connectors; }});
        items.push_back({"Settings…", false, true, false, ",", [&] { ran.push_back("settings"); }});
        items.push_back({"Quit Talkweft", false, true, false, "q", [&] { ran.push_back("quit"); }});
        return items;
    });
    auto actions = open();
    ASSERT_EQ(actions.size(), 6u);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(actions[0]->text().toStdString(), "Talkweft: Ready 1");
    EXPECT_FALSE(actions[0]->isEnabled()) << "a line is disabled";
    EXPECT_TRUE(actions[1]->isSeparator());
    // An "&" in a title stays a character (no mnemonic), a tab stays inside the title.
    EXPECT_TRUE(QKeySequence::mnemonic(actions[2]->text()).isEmpty());
    EXPECT_EQ(actions[2]->text().toStdString(), "Turn Off in R&&D Tools");
    EXPECT_TRUE(actions[2]->isEnabled());
    EXPECT_FALSE(actions[2]->isCheckable());
    EXPECT_TRUE(actions[3]->isCheckable() && actions[3]->isChecked());
    EXPECT_EQ(actions[4]->shortcut().toString(QKeySequence::PortableText).toStdString(), "Meta+,");
    EXPECT_EQ(actions[5]->shortcut().toString(QKeySequence::PortableText).toStdString(), "Meta+Q");
    EXPECT_TRUE(actions[5]->isShortcutVisibleInContextMenu());
    EXPECT_EQ(actions[5]->shortcutContext(), Qt::WidgetShortcut) << "shown, not a key of the whole desktop";

    // A chosen item's action runs once the click is handled, on the main thread's loop.
    actions[4]->trigger();
    EXPECT_TRUE(ran.empty());
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, std::vector<std::string>{"settings"});
    open()[3]->trigger();
    QCoreApplication::processEvents();
    EXPECT_FALSE(connectors);

    // The next opening shows the state of then.
    actions = open();
    EXPECT_EQ(opened, 3);
    EXPECT_EQ(actions[0]->text().toStdString(), "Talkweft: Ready 3");
    EXPECT_FALSE(actions[3]->isChecked());

    // Without a builder (the application has gone) the menu is empty.
    item.setMenuBuilder(nullptr);
    EXPECT_TRUE(open().empty());
}

TEST_F(QtStatusItemTest, WithoutATrayHostItSaysSoAndTheIconFollowsTheActivity) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    EXPECT_EQ(logged, std::vector<std::string>{"tray: no system tray is running; the icon and its menu appear when one starts"});

    item.setIcon("text.bubble", "Talkweft");
    EXPECT_EQ(item.trayIcon().toolTip().toStdString(), "Talkweft");
    EXPECT_TRUE(item.trayIcon().isVisible()) << "shown, for a tray host that starts later";
    auto shown = [&] { return item.trayIcon().icon().pixmap(22, 22).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied); };
    EXPECT_EQ(shown(), talkweft::platform::linuxdesktop::drawStatusIcon(StatusActivity::idle, 22));

    std::vector<QImage> seen{shown()};
    for (StatusActivity a : {StatusActivity::recording, StatusActivity::working, StatusActivity::idle}) {
        item.setActivity(a);
        EXPECT_EQ(item.activity(), a);
        EXPECT_EQ(shown(), talkweft::platform::linuxdesktop::drawStatusIcon(a, 22));
        seen.push_back(shown());
    }
    EXPECT_NE(seen[0], seen[1]);
    EXPECT_NE(seen[1], seen[2]);
    EXPECT_NE(seen[0], seen[2]);
    EXPECT_EQ(seen[0], seen[3]);
}

TEST(QtStatusIcon, KeyEquivalentsAreShownWithSuper) {
    struct Case {
        const char* key;
        const char* shown;  // Qt's portable text (Meta is the Super key)
    } cases[] = {{",", "Meta+,"}, {"q", "Meta+Q"}, {"Q", "Meta+Shift+Q"}, {"1", "Meta+1"}, {"", ""}};
    for (const auto& c : cases)
        EXPECT_EQ(talkweft::platform::linuxdesktop::calcMenuShortcut(c.key).toString(QKeySequence::PortableText).toStdString(), c.shown)
            << c.key;
}

TEST(QtStatusIcon, EveryStateIsABubbleOfItsOwnColour) {
    qtdesktoptest::ensureQApplication();
    for (StatusActivity a : {StatusActivity::idle, StatusActivity::recording, StatusActivity::working}) {
        for (int size : {16, 24, 64}) {
            const QImage image = talkweft::platform::linuxdesktop::drawStatusIcon(a, size);
            ASSERT_EQ(image.size(), QSize(size, size));
            // The corners stay clear, the bubble's middle is filled.
            EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
            EXPECT_EQ(qAlpha(image.pixel(size - 1, size - 1)), 0);
            EXPECT_EQ(qAlpha(image.pixel(size * 39 / 48, size * 21 / 48)), 255);
        }
    }
    auto fill = [](StatusActivity a) { return QColor(talkweft::platform::linuxdesktop::drawStatusIcon(a, 24).pixel(19, 10)); };
    EXPECT_GT(fill(StatusActivity::recording).red(), 200);
    EXPECT_LT(fill(StatusActivity::recording).green(), 100);
    EXPECT_GT(fill(StatusActivity::working).blue(), 200);
    EXPECT_GT(fill(StatusActivity::idle).lightness(), 200);
}

}  // namespace

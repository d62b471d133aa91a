// The status item on Qt: a tray icon (QSystemTrayIcon: the desktop's StatusNotifierItem host over
// D-Bus, else an XEmbed system tray such as trayer) with the application's menu.
//
// The menu is built afresh from the builder each time it is about to open; a chosen item's action
// runs on the main thread once the menu has closed. The icon is drawn here (a speech bubble with
// lines of text), in the colours of the activity: idle, recording, working; its tool tip is the
// accessibility description. Where no tray host runs, the item says so once through its log
// callback and keeps working: Qt shows the icon when a tray host starts later.
//
// Needs a QApplication. Main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QImage>
#include <QKeySequence>
#include <QString>

#include "Platform/StatusItem.hpp"

class QMenu;
class QSystemTrayIcon;

namespace talkweft::platform::linuxdesktop {

class QtStatusItem : public platform::StatusItem {
public:
    // `log` receives the line about a missing tray host (none: not reported).
    explicit QtStatusItem(std::function<void(const std::string&)> log = {});
    ~QtStatusItem() override;
    QtStatusItem(const QtStatusItem&) = delete;
    QtStatusItem& operator=(const QtStatusItem&) = delete;

    // Draws the icon and shows it (the tray icon appears with the first call).
    void setIcon(const std::string& symbol, const std::string& accessibilityDescription) override;
    void setMenuBuilder(std::function<std::vector<MenuItem>()> build) override;
    void setActivity(StatusActivity activity) override;

    QSystemTrayIcon& trayIcon() { return *tray_; }
    QMenu& menu() { return *menu_; }
    StatusActivity activity() const { return activity_; }

private:
    void rebuildMenu();
    void redraw();

    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::function<std::vector<MenuItem>()> build_;
    StatusActivity activity_ = StatusActivity::idle;
    bool hasIcon_ = false;
};

// The icon for `activity`, `size` pixels square: a speech bubble with three lines of text.
QImage drawStatusIcon(StatusActivity activity, int size);

// The shortcut shown next to an item whose key equivalent is `key` (with the Command modifier,
// which is Super, Qt's Meta): "," gives Meta+, and "q" Meta+Q; an upper-case letter adds Shift, as
// a key equivalent does. Empty for an empty key.
QKeySequence calcMenuShortcut(const std::string& key);

// The text of a menu entry titled `title`: "&" doubled (a single one would make a mnemonic and
// vanish) and tabs as spaces (a tab would start the shortcut column).
QString calcMenuText(const std::string& title);

}  // namespace talkweft::platform::linuxdesktop

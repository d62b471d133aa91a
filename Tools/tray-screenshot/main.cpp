// tray-screenshot DIR: opens the tray icon's menu as the application builds it (default chords, a
// text editor in front) and writes tray-menu.png into DIR. Needs an X display (run it through
// scripts/screenshots, which starts Xvfb and a window manager).
#include <cstdio>
#include <filesystem>

#include <QApplication>
#include <QMenu>

#include "Platform/Headless/Desktop.hpp"
#include "Platform/Linux/Qt/QtStatusItem.hpp"
#include "Talkweft/AppDelegate.hpp"

namespace fs = std::filesystem;
using namespace talkweft;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tray-screenshot DIR\n");
        return 2;
    }
    const fs::path out = argv[1];
    fs::create_directories(out);

    platform::headless::Desktop desktop(platform::headless::HeadlessLoop::ClockMode::realClock);
    auto editor = desktop.addApp(4242, "org.gnome.TextEditor", "Text Editor");
    editor->addWindow("plan.md");
    desktop.activate(4242);
    platform::ScopedPlatform scope(desktop.platform());

    QApplication app(argc, argv);
    AppDelegate delegate;
    delegate.status = "Ready";
    platform::linuxdesktop::QtStatusItem item;
    item.setMenuBuilder([&delegate] { return delegate.menuNeedsUpdate(); });
    QMenu& menu = item.menu();
    menu.popup(QPoint(40, 40));  // builds the menu (aboutToShow) and lays it out
    for (int i = 0; i < 20 && !menu.isVisible(); ++i) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    QApplication::processEvents();
    const fs::path file = out / "tray-menu.png";
    const bool written = menu.grab().save(QString::fromStdString(file.string()));
    menu.hide();
    if (!written) {
        std::fprintf(stderr, "tray-screenshot: can't write %s\n", file.c_str());
        return 1;
    }
    std::printf("%s\n", file.c_str());
    return 0;
}

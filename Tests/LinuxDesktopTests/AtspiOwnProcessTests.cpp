// This process's own windows are never asked over AT-SPI. A toolkit answers AT-SPI on its main
// thread, and that thread is the one waiting for the answer when the application reads a field:
// asking itself would stall it until the call timed out (the tray menu opened meanwhile closed at
// once).
#include <gtest/gtest.h>

#include <unistd.h>

#include <QApplication>
#include <QLineEdit>

#include <chrono>
#include <future>
#include <string>

#include "DesktopSession.hpp"
#include "Platform/Linux/AtspiAccessibility.hpp"

namespace desktoptest {
namespace {

using namespace std::chrono_literals;

class AtspiOwnProcessTest : public DesktopSuite {};

// Serves Qt's events on this thread until `pending` is ready, and gives its value.
template <class T>
T serveQtUntil(std::future<T>& pending) {
    while (pending.wait_for(0s) != std::future_status::ready) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return pending.get();
}

// Prints "found" once the app of process argv[1] shows a window through AT-SPI (20 s at most).
constexpr const char* FIND_APP = R"(
import sys, time, pyatspi
pid = int(sys.argv[1])
for _ in range(2000):
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.get_process_id() == pid and app.childCount > 0:
            print("found")
            sys.exit(0)
    time.sleep(0.01)
)";

TEST_F(AtspiOwnProcessTest, ItsOwnWindowsAreNotAskedWhileOtherProcessesSeeThem) {
    TALKWEFT_NEED_DESKTOP();
    // A Qt window of this process on the session's display; the session's environment turns Qt's
    // AT-SPI bridge on.
    static int argc = 3;
    static char name[] = "LinuxDesktopTests", flag[] = "-platform", xcb[] = "xcb";
    static char* argv[] = {name, flag, xcb, nullptr};
    if (QApplication::instance() == nullptr) new QApplication(argc, argv);
    QLineEdit field("own text");
    field.setWindowTitle("Own window");
    field.show();
    field.activateWindow();
    field.setFocus();

    // Another process finds the window (this thread answers it meanwhile)...
    auto seen = std::async(std::launch::async, [&] {
        return session()->run({"/usr/bin/python3", "-c", FIND_APP, std::to_string(getpid())}).out;
    });
    ASSERT_EQ(serveQtUntil(seen), "found\n");

    // ... but this process's own reader does not ask it, even while this thread could answer.
    talkweft::platform::linuxdesktop::AtspiAccessibility ax;
    auto asked = std::async(std::launch::async, [&] {
        return ax.application(getpid())->attribute(talkweft::platform::AX_FOCUSED_UI_ELEMENT);
    });
    EXPECT_FALSE(serveQtUntil(asked).has_value());
}

}  // namespace
}  // namespace desktoptest

// What the heads-up panel window tests share: the program's QApplication (made once, after the
// desktop session, so it connects to the session's X server), waits that keep both Qt's events and
// the application's main loop running, and X11 reads and clicks on a connection of their own.
//
// Include it first: every Qt header the tests use comes before Xlib's, whose macros (Bool, Status,
// None ...) break Qt's and GoogleTest's headers (the tests compile in one unity batch).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QApplication>
#include <QFontInfo>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextFragment>
#include <QWidget>

#include <gtest/gtest.h>

#include "Clicks.hpp"
#include "DesktopSession.hpp"
#include "FieldApps.hpp"
#include "Platform/Linux/Qt/QtPanel.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/shape.h>
#include "Platform/Geometry.hpp"
#include "Platform/Headless/HeadlessLoop.hpp"
#include "Platform/Linux/LinuxDesktop.hpp"
#include "Platform/Platform.hpp"

namespace desktoptest {

// A desktop suite with Qt on the session's display. Its session has a tray host (trayer, a dock
// along the top right with a 24-point strut) and no sound server.
class HUDWindowSuite : public DesktopSuite {
public:
    static void SetUpTestSuite() {
        if (session_ || !startError_.empty() || !DesktopSession::available()) return;
        SessionOptions options;
        options.pulse = false;
        options.trayHost = true;
        try {
            session_ = std::make_unique<DesktopSession>(options);
        } catch (const std::exception& e) {
            startError_ = e.what();
        }
    }

protected:
    // The program's QApplication on the session's X server; null when this process already runs Qt
    // on another platform (HUDScreensTest's), which only a process of its own avoids.
    static QApplication* qtApp() {
        static int argc = 1;
        static char name[] = "HUDWindowTests";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QApplication(argc, argv);  // lives until the process ends
        return QGuiApplication::platformName() == "xcb" ? qApp : nullptr;
    }

    // Runs Qt's events and the loop's due jobs until `done` holds; false after the timeout.
    static bool pumpUntil(talkweft::platform::headless::HeadlessLoop& loop, const std::function<bool()>& done,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return DesktopSession::waitFor(
            [&] {
                loop.runPending();
                QCoreApplication::processEvents();
                return done();
            },
            timeout);
    }

    // Runs what is due, then makes sure the X server has handled every request Qt made so far (a
    // round trip on Qt's own connection), so what the server says next reflects them.
    static void settle(talkweft::platform::headless::HeadlessLoop& loop) {
        loop.runPending();
        QCoreApplication::processEvents();
        if (auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) XSync(x11->display(), False);
        QCoreApplication::processEvents();
    }
};

// Reads and clicks on a connection of the tests' own.
class XProbe {
public:
    XProbe() : d_(XOpenDisplay(nullptr)) {}
    ~XProbe() {
        if (d_) XCloseDisplay(d_);
    }
    XProbe(const XProbe&) = delete;
    XProbe& operator=(const XProbe&) = delete;

    Display* display() const { return d_; }
    Window root() const { return DefaultRootWindow(d_); }

    // The window's rectangle in root coordinates; absent when it does not exist.
    std::optional<talkweft::platform::Rect> geometry(Window w) {
        XWindowAttributes a{};
        if (!XGetWindowAttributes(d_, w, &a)) return std::nullopt;
        int x = 0, y = 0;
        Window child = None;
        XTranslateCoordinates(d_, w, root(), 0, 0, &x, &y, &child);
        return talkweft::platform::Rect{double(x), double(y), double(a.width), double(a.height)};
    }
    bool viewable(Window w) {
        XWindowAttributes a{};
        return XGetWindowAttributes(d_, w, &a) && a.map_state == IsViewable;
    }
    bool overrideRedirect(Window w) {
        XWindowAttributes a{};
        return XGetWindowAttributes(d_, w, &a) && a.override_redirect;
    }
    std::vector<unsigned long> rootWindows(const char* property) {
        std::vector<unsigned long> out;
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(d_, root(), XInternAtom(d_, property, False), 0, 4096, False, XA_WINDOW, &type, &format, &count,
                               &after, &data) == Success &&
            data && format == 32) {
            auto* v = reinterpret_cast<unsigned long*>(data);
            out.assign(v, v + count);
        }
        if (data) XFree(data);
        return out;
    }
    Window activeWindow() {
        auto v = rootWindows("_NET_ACTIVE_WINDOW");
        return v.empty() ? None : v.front();
    }
    Window inputFocus() {
        Window w = None;
        int revert = 0;
        XGetInputFocus(d_, &w, &revert);
        return w;
    }
    // True when the point (window coordinates) is inside the window's shape (its outline).
    bool shapeContains(Window w, int x, int y) {
        int count = 0, ordering = 0;
        XRectangle* rects = XShapeGetRectangles(d_, w, ShapeBounding, &count, &ordering);
        bool inside = false;
        for (int i = 0; i < count; ++i)
            inside |= x >= rects[i].x && x < rects[i].x + rects[i].width && y >= rects[i].y && y < rects[i].y + rects[i].height;
        if (rects) XFree(rects);
        return inside;
    }
    // The top-level window that gets the pointer at (x, y): the pointer is moved there (windows
    // whose input region leaves the point out are passed by, as for a click).
    Window windowAt(int x, int y) {
        XTestFakeMotionEvent(d_, -1, x, y, CurrentTime);
        XSync(d_, False);
        Window r = None, child = None;
        int rx = 0, ry = 0, wx = 0, wy = 0;
        unsigned mask = 0;
        XQueryPointer(d_, root(), &r, &child, &rx, &ry, &wx, &wy, &mask);
        return child;
    }
    // A real click of the first button at (x, y) in root coordinates.
    void click(int x, int y) { desktoptest::click(d_, x, y, 1); }

private:
    Display* d_;
};

// The X11 desktop with the heads-up panel on it, installed as the current platform while it lives,
// and a probe of the X server beside it.
struct PanelOnDesktop {
    talkweft::platform::linuxdesktop::LinuxDesktop desktop;
    talkweft::platform::linuxdesktop::QtPanel panel;
    talkweft::platform::ScopedPlatform scope{(desktop.platform().panel = &panel, desktop.platform())};
    XProbe x;
    const Window window = static_cast<Window>(panel.window()->winId());
};

}  // namespace desktoptest

// Skips without an X server; fails when the session did not start; skips when Qt in this process
// runs on another platform.
#define HUD_NEED_QT_ON_X11()                                                                                  \
    do {                                                                                                   \
        TALKWEFT_NEED_DESKTOP();                                                                           \
        if (!qtApp()) GTEST_SKIP() << "Qt runs on another platform in this process: run this test alone (ctest does)"; \
    } while (0)

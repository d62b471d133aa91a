// GoogleTest first: Xlib's macros (None, Bool ...) would break its headers when this file opens a
// unity batch.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "DesktopSession.hpp"
#include "FieldApps.hpp"

namespace desktoptest {
namespace {

using namespace std::chrono_literals;

class DesktopSessionTest : public DesktopSuite {};

TEST_F(DesktopSessionTest, StartsEveryPartAndPointsThisProcessAtIt) {
    TALKWEFT_NEED_DESKTOP();
    EXPECT_EQ(std::string(std::getenv("DISPLAY")), session()->display());
    Display* d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    XCloseDisplay(d);

    const auto enabled = session()->run({"dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                                         "org.freedesktop.DBus.Properties.Get", "string:org.a11y.Status", "string:IsEnabled"});
    EXPECT_EQ(enabled.status, 0);
    EXPECT_NE(enabled.out.find("boolean true"), std::string::npos) << enabled.out;

    const auto wm = session()->run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"});
    EXPECT_NE(wm.out.find("window id"), std::string::npos) << wm.out;

    const auto source = session()->run({"pactl", "get-default-source"});
    EXPECT_EQ(source.out, "virtual_mic\n");
}

TEST_F(DesktopSessionTest, RunServesInputAndOutputAndLeavesHelpersToTheSession) {
    TALKWEFT_NEED_DESKTOP();
    // xclip stays behind to serve the selection; run() returns once xclip itself has exited.
    ASSERT_EQ(session()->run({"xclip", "-selection", "clipboard", "-i"}, "hello session").status, 0);
    EXPECT_EQ(session()->run({"xclip", "-selection", "clipboard", "-o"}).out, "hello session");
    EXPECT_TRUE(session()->run({"sleep", "30"}, {}, 100ms).timedOut);
}

// True when a top-level window titled `title` exists (mapped or not).
bool windowTitled(Display* d, const std::string& title) {
    Window root = None, parent = None, *children = nullptr;
    unsigned count = 0;
    bool found = false;
    if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && !found; ++i) {
            char* name = nullptr;
            if (XFetchName(d, children[i], &name) && name != nullptr) found = title == name;
            if (name != nullptr) XFree(name);
        }
        if (children != nullptr) XFree(children);
    }
    return found;
}

// openbox announces itself before its start-up has ended, and a window mapped in between can stay
// unmapped for good. Held right after its announcement, until the first field app's window exists
// (which only a session start that did not wait for the start-up's end lets happen) or for a while
// (enough for such a window to have come), the window manager still maps that app's window.
TEST(DesktopSessionStartTest, AWindowManagerHeldRightAfterItsAnnouncementStillShowsTheFirstWindow) {
    if (!DesktopSession::available()) GTEST_SKIP() << "Xvfb is not installed: the desktop tests need an X server package (xvfb)";
    DesktopSession s(SessionOptions{.accessibility = true, .windowManager = false, .pulse = false, .environment = false});
    const std::string title = "First window";
    std::atomic<bool> resumed{false};
    bool heldInStartUp = false;
    std::jthread release;
    s.startWindowManager([&](pid_t openbox) {
        ASSERT_EQ(kill(openbox, SIGSTOP), 0);
        heldInStartUp = !std::filesystem::exists(s.windowManagerMarker());
        release = std::jthread([&, openbox] {
            Display* d = XOpenDisplay(s.display().c_str());
            DesktopSession::waitFor([&] { return d != nullptr && windowTitled(d, title); }, 2s);
            if (d != nullptr) XCloseDisplay(d);
            kill(openbox, SIGCONT);
            resumed = true;
        });
    });
    // What the hold caught (its start-up command runs last, when the start-up is over).
    std::cout << "openbox was held " << (heldInStartUp ? "before" : "after") << " its start-up command ran; the session start went on "
              << (resumed ? "after" : "before") << " it was let go\n";

    FieldApp app(s, "gtk_fields.py", {"--title", title}, "gtk-first");
    EXPECT_TRUE(app.waitReady()) << "the first window of the session never got the focus";
}

// Each session stands alone (its own display and folders), and its end takes every process that
// carries its marker, also those the buses started that are not our children; nothing else.
TEST(DesktopSessionEndTest, EndsExactlyTheProcessesItStarted) {
    if (!DesktopSession::available()) GTEST_SKIP() << "Xvfb is not installed: the desktop tests need an X server package (xvfb)";
    std::vector<pid_t> first;
    pid_t outsider = -1;
    {
        DesktopSession a(SessionOptions{.environment = false});
        DesktopSession b(SessionOptions{.accessibility = true, .windowManager = false, .pulse = false, .environment = false});
        EXPECT_NE(a.display(), b.display());
        EXPECT_NE(a.runFolder(), b.runFolder());
        // The bus's own services (the accessibility bus's daemon) carry the marker too.
        first = a.markedProcesses();
        EXPECT_GE(first.size(), 6u);  // Xvfb, dbus-daemon, bus launcher and its bus, openbox, pulseaudio, pacat
        outsider = fork();
        if (outsider == 0) {
            pause();
            _exit(0);
        }
        ASSERT_GT(outsider, 0);
    }
    for (pid_t pid : first) {
        const bool gone = DesktopSession::waitFor([&] { return kill(pid, 0) != 0; }, 100ms) ||
                          std::ifstream("/proc/" + std::to_string(pid) + "/environ").peek() == EOF;
        EXPECT_TRUE(gone) << "process " << pid << " outlived its session";
    }
    EXPECT_EQ(kill(outsider, 0), 0) << "a process outside the session was ended";
    kill(outsider, SIGKILL);
    waitpid(outsider, nullptr, 0);
}

}  // namespace
}  // namespace desktoptest

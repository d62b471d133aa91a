// GoogleTest first: Xlib's macros (None, Bool ...) would break its headers when this file opens a
// unity batch.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "DesktopSession.hpp"

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

// A private headless desktop for tests: an X server (Xvfb on a free display), a session bus, the
// accessibility bus (enabled), the openbox window manager and a PulseAudio server with a null sink,
// a microphone made from its monitor ("virtual_mic") and a silent keep-alive stream (an idle
// monitor delivers nothing).
//
// Each session lives in its own run folder with its own HOME, XDG folders and XDG_RUNTIME_DIR, so
// sessions in parallel test programs never meet. Every process the session starts carries a marker
// variable unique to the session; at the end exactly the processes whose environment holds it are
// ended (also those the session bus started, which are not our children). Nothing else is touched.
//
// A session started with `environment` points this process's environment at it (DISPLAY, the bus,
// PulseAudio, HOME, XDG_*), so the code under test finds it. The old values are not put back at
// its end: other threads (GLib's, libatspi's) read the environment at any time, and changing it
// under them can crash the process. The test suites share one such session per program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace desktoptest {

// The marker variable every process of a session carries.
inline constexpr const char* SESSION_MARKER_VARIABLE = "TALKWEFT_DESKTOP_SESSION";

// Keycodes of the X server's default (evdev) keymap that the tests press.
inline constexpr unsigned KEYCODE_ESCAPE = 9;
inline constexpr unsigned KEYCODE_CONTROL_L = 37;
inline constexpr unsigned KEYCODE_SHIFT_L = 50;
inline constexpr unsigned KEYCODE_SHIFT_R = 62;
inline constexpr unsigned KEYCODE_ALT_L = 64;
inline constexpr unsigned KEYCODE_CONTROL_R = 105;
inline constexpr unsigned KEYCODE_ALT_R = 108;
inline constexpr unsigned KEYCODE_SUPER_L = 133;
inline constexpr unsigned KEYCODE_SUPER_R = 134;
inline constexpr unsigned KEYCODE_A = 38;

struct SessionOptions {
    bool accessibility = true;  // session bus + accessibility bus, enabled
    bool windowManager = true;  // openbox
    bool pulse = true;          // PulseAudio with null sink, virtual_mic, keep-alive stream
    bool trayHost = false;      // trayer, a system tray (XEmbed) at the top right; needs windowManager
    bool environment = true;    // point this process's environment at the session
};

// What a finished command left.
struct CommandResult {
    int status = -1;  // exit code; -1 when it did not start or a signal ended it
    std::string out;
    bool timedOut = false;
};

class DesktopSession {
public:
    // True when the machine has an X server to start (Xvfb on PATH).
    static bool available();

    // Starts the session. Throws std::runtime_error naming the service that did not come up and
    // where the logs are (the run folder is kept and the ends of the logs are printed).
    explicit DesktopSession(SessionOptions options = {});
    // Ends every process of the session and removes the run folder, unless a test failed while the
    // session lived: then the folder stays and the ends of its logs are printed (standard error).
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    const std::string& display() const { return display_; }           // ":N"
    const std::filesystem::path& runFolder() const { return run_; }
    std::string pulseServer() const { return "unix:" + (run_ / "pulse.sock").string(); }
    // The session's environment, as given to its processes (marker included).
    const std::map<std::string, std::string>& environment() const { return env_; }

    // Starts a program in the session (its output goes to <run>/logs/<name>.log). The PID, or -1
    // when it could not start. The process is ended with the session at the latest.
    pid_t spawn(const std::vector<std::string>& argv, const std::string& logName = {});
    // Ends one spawned process (SIGTERM, then SIGKILL) and reaps it.
    void stop(pid_t pid);
    // True while a process the session spawned is running.
    bool running(pid_t pid);

    // Runs a program in the session to its end, with `input` on its standard input; its standard
    // output is returned (standard error goes to the run folder's log). Killed after `timeout`.
    // A program that leaves a helper behind (xclip serving a selection) leaves it to the session.
    CommandResult run(const std::vector<std::string>& argv, const std::string& input = {},
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // Waits until `condition` holds, checking it every few milliseconds; false after `timeout`.
    static bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // Starts the window manager (openbox) and waits until its start-up has ended; what
    // `SessionOptions::windowManager` starts. `announced` is called as soon as openbox has announced
    // itself on the root window (its start-up still going on), with its PID: a test can hold it there.
    void startWindowManager(const std::function<void(pid_t openbox)>& announced = {});
    // The file openbox's start-up command leaves once its start-up has ended.
    std::filesystem::path windowManagerMarker() const { return run_ / "openbox-started"; }

    // Starts the tray host (trayer, along the top right) and waits until it owns the system tray;
    // what `SessionOptions::trayHost` starts, for a test that starts it later. Throws
    // std::runtime_error when it does not come up.
    void startTrayHost();

    // PIDs of the live processes that carry this session's marker.
    std::vector<pid_t> markedProcesses() const;

private:
    void startX();
    void startBus();
    void startPulse();
    void endAll();
    void applyEnvironment();
    void restoreEnvironment();
    // Prints `why`, where the run folder is and the ends of the session's logs to standard error.
    void reportLogs(const std::string& why) const;

    std::filesystem::path run_;
    std::string display_;
    std::string marker_;
    std::map<std::string, std::string> env_;
    std::vector<pid_t> children_;
    std::map<std::string, std::optional<std::string>> savedEnv_;
    bool keepRunFolder_ = false;
    int failedTestsAtStart_ = 0;
};

// A test suite on the program's desktop session. Tests call TALKWEFT_NEED_DESKTOP() first: it skips
// when there is no X server on the machine and fails when the session did not start.
// The session is started by the first suite that needs it and ended when the program's tests end
// (not with each suite): libatspi keeps its first accessibility bus for the whole process, so
// every suite of one program must see the same session. (ctest runs each test in a process of its
// own, each with its own session.)
class DesktopSuite : public ::testing::Test {
public:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    static void endSession();

protected:
    static DesktopSession* session() { return session_.get(); }
    static std::unique_ptr<DesktopSession> session_;
    static std::string startError_;
};

}  // namespace desktoptest

#define TALKWEFT_NEED_DESKTOP()                                                                    \
    do {                                                                                           \
        if (!::desktoptest::DesktopSession::available())                                           \
            GTEST_SKIP() << "Xvfb is not installed: the desktop tests need an X server package (xvfb)"; \
        ASSERT_TRUE(session() != nullptr) << "the desktop session did not start: " << startError_; \
    } while (0)

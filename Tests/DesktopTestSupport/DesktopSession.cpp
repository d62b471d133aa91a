#include "DesktopSession.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace desktoptest {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::atomic<int> g_sessionNumber{0};

// Variables this process takes from an open session.
const char* const SESSION_VARIABLES[] = {"DISPLAY",          "HOME",          "XDG_CONFIG_HOME",
                                         "XDG_CACHE_HOME",   "XDG_DATA_HOME", "XDG_STATE_HOME",
                                         "XDG_RUNTIME_DIR",  "DBUS_SESSION_BUS_ADDRESS",
                                         "PULSE_SERVER",     "QT_LINUX_ACCESSIBILITY_ALWAYS_ON",
                                         "QT_QPA_PLATFORM",  "NO_AT_BRIDGE",  "GTK_MODULES",
                                         "AT_SPI_BUS_ADDRESS", "WAYLAND_DISPLAY"};

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && access((fs::path(dir) / program).c_str(), X_OK) == 0) return true;
    return false;
}

std::vector<std::string> flatten(const std::map<std::string, std::string>& env) {
    std::vector<std::string> out;
    for (const auto& [k, v] : env) out.push_back(k + "=" + v);
    return out;
}

// posix_spawnp with a clean signal state. `files` opens files on child fds (appending, or
// truncated), then `dups` sets child fds from fds the child has then (-1: /dev/null).
pid_t spawnWith(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                const std::vector<std::pair<int, int>>& dups, const std::vector<std::pair<int, std::string>>& files,
                bool truncate = false) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::vector<std::string> envStrings = flatten(env);
    std::vector<char*> envp;
    for (const auto& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const auto& [child, path] : files)
        posix_spawn_file_actions_addopen(&actions, child, path.c_str(), O_WRONLY | O_CREAT | O_APPEND | (truncate ? O_TRUNC : 0), 0600);
    for (const auto& [child, ours] : dups) {
        if (ours < 0)
            posix_spawn_file_actions_addopen(&actions, child, "/dev/null", O_RDWR, 0);
        else
            posix_spawn_file_actions_adddup2(&actions, ours, child);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data()) != 0) pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

bool isZombie(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;  // gone
    const auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() || line[close + 2] == 'Z' || line[close + 2] == 'X';
}

}  // namespace

bool DesktopSession::available() { return onPath("Xvfb"); }

DesktopSession::DesktopSession(SessionOptions options) {
    std::string pattern = (fs::temp_directory_path() / "talkweft-desktop-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error(std::string("cannot make a run folder: ") + std::strerror(errno));
    run_ = pattern;
    marker_ = std::to_string(getpid()) + "." + std::to_string(g_sessionNumber++) + "." + run_.filename().string();
    for (const char* dir : {"home", "home/.config", "home/.cache", "home/.local/share", "home/.local/state", "xdg", "logs"})
        fs::create_directories(run_ / dir);
    chmod((run_ / "xdg").c_str(), 0700);

    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const auto eq = entry.find('=');
        if (eq != std::string::npos) env_[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const char* name : {"NO_AT_BRIDGE", "GTK_MODULES", "AT_SPI_BUS_ADDRESS", "WAYLAND_DISPLAY", "SESSION_MANAGER"})
        env_.erase(name);
    env_[SESSION_MARKER_VARIABLE] = marker_;
    env_["HOME"] = (run_ / "home").string();
    env_["XDG_CONFIG_HOME"] = (run_ / "home/.config").string();
    env_["XDG_CACHE_HOME"] = (run_ / "home/.cache").string();
    env_["XDG_DATA_HOME"] = (run_ / "home/.local/share").string();
    env_["XDG_STATE_HOME"] = (run_ / "home/.local/state").string();
    env_["XDG_RUNTIME_DIR"] = (run_ / "xdg").string();
    env_["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (run_ / "session_bus").string();
    env_["PULSE_SERVER"] = pulseServer();
    env_["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1";
    env_["QT_QPA_PLATFORM"] = "xcb";
    env_["GSETTINGS_BACKEND"] = "memory";

    try {
        startX();
        if (options.environment) applyEnvironment();
        if (options.accessibility) startBus();
        if (options.windowManager) startWindowManager();
        if (options.trayHost) startTrayHost();
        if (options.pulse) startPulse();
    } catch (const std::exception& e) {
        keepRunFolder_ = true;  // its logs say why
        endAll();
        restoreEnvironment();
        reportLogs(std::string("the desktop session did not start: ") + e.what());
        throw std::runtime_error(std::string(e.what()) + " (the session's logs are in " + (run_ / "logs").string() + ")");
    }
    failedTestsAtStart_ = ::testing::UnitTest::GetInstance()->failed_test_count();
}

DesktopSession::~DesktopSession() {
    endAll();
    // A test that failed on this session keeps its folder, and its logs go to the test's output:
    // they are what tells why.
    auto* unit = ::testing::UnitTest::GetInstance();
    if (!keepRunFolder_ && (unit->failed_test_count() > failedTestsAtStart_ || ::testing::Test::HasFailure() ||
                            unit->ad_hoc_test_result().Failed())) {
        keepRunFolder_ = true;
        reportLogs("a test failed on the desktop session " + display_);
    }
    if (!keepRunFolder_) {
        std::error_code ignored;
        fs::remove_all(run_, ignored);
    }
}

void DesktopSession::reportLogs(const std::string& why) const {
    // The session's services and the programs it ran (logs/), and what the applications wrote to
    // their own log files below the session's home.
    std::vector<fs::path> logs;
    std::error_code ec;
    for (const fs::path& dir : {run_ / "logs", run_ / "home"})
        for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            if (it->is_regular_file(ec) && (dir == run_ / "logs" || it->path().extension() == ".log")) logs.push_back(it->path());
    std::sort(logs.begin(), logs.end());
    constexpr std::size_t TAIL_LINES = 80;
    std::ostringstream out;
    out << "\n==== " << why << "; its run folder is kept: " << run_.string() << "\n";
    for (const auto& log : logs) {
        std::ifstream in(log, std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        out << "---- " << fs::relative(log, run_, ec).string() << " (" << lines.size() << " lines";
        const std::size_t from = lines.size() > TAIL_LINES ? lines.size() - TAIL_LINES : 0;
        if (from > 0) out << ", the last " << TAIL_LINES;
        out << ")\n";
        for (std::size_t i = from; i < lines.size(); ++i) out << lines[i] << "\n";
    }
    out << "==== end of the session's logs (" << run_.string() << ")\n";
    std::cerr << out.str() << std::flush;
}

void DesktopSession::startX() {
    // Xvfb picks a free display itself and writes its number to the pipe once it accepts clients.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = spawnWith({"Xvfb", "-displayfd", "3", "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"}, env_,
                                {{0, -1}, {1, -1}, {3, fds[1]}}, {{2, (run_ / "logs" / "Xvfb.log").string()}});
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        throw std::runtime_error("Xvfb did not start");
    }
    children_.push_back(pid);
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (number.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fds[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[32];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        number.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) throw std::runtime_error("Xvfb gave no display number (see " + run_.string() + "/logs/Xvfb.log)");
    display_ = ":" + number.substr(0, number.find('\n'));
    env_["DISPLAY"] = display_;
    const bool answers = waitFor([&] {
        Display* d = XOpenDisplay(display_.c_str());
        if (d == nullptr) return false;
        XCloseDisplay(d);
        return true;
    });
    if (!answers) throw std::runtime_error("the X server on " + display_ + " does not answer");
}

void DesktopSession::startBus() {
    const std::string address = env_["DBUS_SESSION_BUS_ADDRESS"];
    if (spawn({"dbus-daemon", "--session", "--address=" + address, "--nofork", "--nopidfile"}, "dbus-daemon") < 0)
        throw std::runtime_error("dbus-daemon did not start");
    if (!waitFor([&] {
            return run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus.GetId"}, {}, 5s)
                       .status == 0;
        }))
        throw std::runtime_error("the session bus does not answer");
    const pid_t launcher = spawn({"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"}, "at-spi-bus-launcher");
    if (launcher < 0) throw std::runtime_error("at-spi-bus-launcher did not start");
    // Only once the launcher owns its name may anything ask for the address: a call to a name
    // without an owner makes the bus start a second launcher, and the one of the two that loses
    // the name removes the accessibility bus's address from the root window as it exits.
    bool launcherGone = false;
    if (!waitFor([&] {
            if (!running(launcher)) return launcherGone = true;
            return run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus.NameHasOwner", "string:org.a11y.Bus"},
                       {}, 5s)
                       .out.find("boolean true") != std::string::npos;
        }) ||
        launcherGone)
        throw std::runtime_error("at-spi-bus-launcher did not take its bus name org.a11y.Bus");
    if (!waitFor([&] {
            return run({"dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus.GetAddress"},
                       {}, 5s)
                       .status == 0;
        }))
        throw std::runtime_error("the accessibility bus does not answer");
    const auto set = run({"dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                          "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:IsEnabled", "variant:boolean:true"});
    if (set.status != 0) throw std::runtime_error("the accessibility bus could not be enabled");
}

void DesktopSession::startWindowManager(const std::function<void(pid_t openbox)>& announced) {
    // openbox announces itself on the root window before its start-up has ended, and a window
    // mapped in between can stay unmapped. Its start-up command runs once the start-up is over: it
    // leaves the marker file that the session waits for.
    std::error_code ignored;
    fs::remove(windowManagerMarker(), ignored);
    Display* d = XOpenDisplay(display_.c_str());
    if (d == nullptr) throw std::runtime_error("the X server went away");
    std::unique_ptr<Display, int (*)(Display*)> closeDisplay(d, XCloseDisplay);
    const Window root = DefaultRootWindow(d);
    const Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
    XSelectInput(d, root, PropertyChangeMask);  // before openbox starts: its property change is an event
    XSync(d, False);
    const std::string startup = "touch '" + windowManagerMarker().string() + "'";
    const pid_t openbox = spawn({"openbox", "--sm-disable", "--startup", startup}, "openbox");
    if (openbox < 0) throw std::runtime_error("openbox did not start");

    auto announcedYet = [&] {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        const bool found = XGetWindowProperty(d, root, check, 0, 1, False, XA_WINDOW, &type, &format, &count, &after, &data) == Success &&
                           count == 1;
        if (data != nullptr) XFree(data);
        return found;
    };
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!announcedYet()) {
        if (!running(openbox)) throw std::runtime_error("openbox ended during its start-up");
        if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("openbox did not take the screen");
        // Sleeps until the root window's properties change (or a while passes, to notice an exit).
        if (XPending(d) == 0) {
            pollfd p{ConnectionNumber(d), POLLIN, 0};
            poll(&p, 1, 100);
        }
        while (XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
        }
    }
    closeDisplay.reset();
    if (announced) announced(openbox);
    bool ended = false;
    if (!waitFor([&] { return fs::exists(windowManagerMarker()) || (ended = !running(openbox)); }, 30s) || ended)
        throw std::runtime_error(ended ? "openbox ended during its start-up" : "openbox did not finish its start-up");
}

void DesktopSession::startTrayHost() {
    if (spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24", "--transparent", "false",
               "--SetDockType", "true", "--SetPartialStrut", "true"},
              "trayer") < 0)
        throw std::runtime_error("trayer did not start");
    // A tray host owns the screen's system-tray selection.
    Display* d = XOpenDisplay(display_.c_str());
    if (d == nullptr) throw std::runtime_error("the X server went away");
    const Atom tray = XInternAtom(d, ("_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(d))).c_str(), False);
    const bool up = waitFor([&] { return XGetSelectionOwner(d, tray) != None; });
    XCloseDisplay(d);
    if (!up) throw std::runtime_error("trayer did not take the system tray");
}

void DesktopSession::startPulse() {
    const std::string socket = (run_ / "pulse.sock").string();
    if (spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--log-target=stderr", "--use-pid-file=no",
               "-L", "module-native-protocol-unix socket=" + socket + " auth-anonymous=1", "-L", "module-null-sink sink_name=test_null",
               "-L", "module-remap-source master=test_null.monitor source_name=virtual_mic"},
              "pulseaudio") < 0)
        throw std::runtime_error("pulseaudio did not start");
    if (!waitFor([&] { return run({"pactl", "info"}, {}, 5s).status == 0; }, 30s))
        throw std::runtime_error("PulseAudio does not answer");
    if (run({"pactl", "set-default-sink", "test_null"}).status != 0 || run({"pactl", "set-default-source", "virtual_mic"}).status != 0)
        throw std::runtime_error("PulseAudio has no test_null sink or virtual_mic source");
    if (spawn({"pacat", "--playback", "--latency-msec=20", "--raw", "--format=s16le", "--rate=16000", "--channels=1", "/dev/zero"},
              "keep-alive") < 0)
        throw std::runtime_error("the keep-alive stream did not start");
}

pid_t DesktopSession::spawn(const std::vector<std::string>& argv, const std::string& logName) {
    const std::string name = logName.empty() ? fs::path(argv.at(0)).filename().string() : logName;
    const std::string log = (run_ / "logs" / (name + ".log")).string();
    // A fresh log: a later process of the same name must not find its predecessor's lines.
    const pid_t pid = spawnWith(argv, env_, {{0, -1}, {2, 1}}, {{1, log}}, true);  // standard error joins it
    if (pid > 0) children_.push_back(pid);
    return pid;
}

bool DesktopSession::running(pid_t pid) {
    if (std::find(children_.begin(), children_.end(), pid) == children_.end()) return false;
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || r < 0) {
        children_.erase(std::remove(children_.begin(), children_.end(), pid), children_.end());
        return false;
    }
    return true;
}

void DesktopSession::stop(pid_t pid) {
    if (!running(pid)) return;
    kill(pid, SIGTERM);
    if (!waitFor([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }, 5s)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    children_.erase(std::remove(children_.begin(), children_.end(), pid), children_.end());
}

CommandResult DesktopSession::run(const std::vector<std::string>& argv, const std::string& input, std::chrono::milliseconds timeout) {
    CommandResult result;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return result;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return result;
    }
    const pid_t pid = spawnWith(argv, env_, {{0, in[0]}, {1, out[1]}}, {{2, (run_ / "logs" / "commands.log").string()}});
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        return result;
    }
    signal(SIGPIPE, SIG_IGN);
    std::size_t written = 0;
    while (written < input.size()) {
        const ssize_t n = write(in[1], input.data() + written, input.size() - written);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    close(in[1]);
    // Read until the output ends or the program has exited (a helper it left behind may hold the
    // pipe open: what the program wrote before its exit is in the pipe already).
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    bool exited = false;
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        const int ready = poll(&p, 1, 20);
        if (ready > 0) {
            char buf[65536];
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n > 0) {
                result.out.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0) break;  // end of output
        }
        if (exited) break;  // drained after the exit
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            continue;  // one more drain
        }
        if (std::chrono::steady_clock::now() > deadline) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
    }
    close(out[0]);
    if (!exited) waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) && !result.timedOut ? WEXITSTATUS(status) : -1;
    return result;
}

bool DesktopSession::waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);  // between checks of the condition
    }
}

std::vector<pid_t> DesktopSession::markedProcesses() const {
    std::vector<pid_t> pids;
    const std::string needle = std::string(SESSION_MARKER_VARIABLE) + "=" + marker_;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == getpid()) continue;
        std::ifstream environ("/proc/" + std::string(entry->d_name) + "/environ", std::ios::binary);
        std::string env((std::istreambuf_iterator<char>(environ)), std::istreambuf_iterator<char>());
        std::size_t at = 0;
        while ((at = env.find(needle, at)) != std::string::npos) {
            const bool starts = at == 0 || env[at - 1] == '\0';
            const bool ends = at + needle.size() == env.size() || env[at + needle.size()] == '\0';
            if (starts && ends) {
                if (!isZombie(static_cast<pid_t>(pid))) pids.push_back(static_cast<pid_t>(pid));
                break;
            }
            at += needle.size();
        }
    }
    closedir(proc);
    return pids;
}

void DesktopSession::endAll() {
    auto reap = [&] {
        for (auto it = children_.begin(); it != children_.end();) {
            const pid_t r = waitpid(*it, nullptr, WNOHANG);
            it = (r == *it || r < 0) ? children_.erase(it) : it + 1;
        }
    };
    auto signalAll = [&](int sig) {
        for (pid_t pid : children_) kill(pid, sig);
        for (pid_t pid : markedProcesses()) kill(pid, sig);
    };
    signalAll(SIGTERM);
    const bool ended = waitFor([&] {
        reap();
        return children_.empty() && markedProcesses().empty();
    }, 10s);
    if (!ended) {
        signalAll(SIGKILL);
        waitFor([&] {
            reap();
            return children_.empty() && markedProcesses().empty();
        }, 10s);
    }
}

void DesktopSession::applyEnvironment() {
    for (const char* name : SESSION_VARIABLES) {
        const char* old = std::getenv(name);
        savedEnv_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        const auto it = env_.find(name);
        if (it != env_.end())
            setenv(name, it->second.c_str(), 1);
        else
            unsetenv(name);
    }
}

void DesktopSession::restoreEnvironment() {
    for (const auto& [name, value] : savedEnv_) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    savedEnv_.clear();
}

std::unique_ptr<DesktopSession> DesktopSuite::session_;
std::string DesktopSuite::startError_;

namespace {
// Ends the program's session after the last test.
class SessionEnd : public ::testing::Environment {
public:
    void TearDown() override { DesktopSuite::endSession(); }
};
[[maybe_unused]] ::testing::Environment* const g_sessionEnd = ::testing::AddGlobalTestEnvironment(new SessionEnd);
}  // namespace

void DesktopSuite::SetUpTestSuite() {
    if (session_ || !startError_.empty() || !DesktopSession::available()) return;
    try {
        session_ = std::make_unique<DesktopSession>();
    } catch (const std::exception& e) {
        startError_ = e.what();
    }
}

void DesktopSuite::TearDownTestSuite() {}

void DesktopSuite::endSession() { session_.reset(); }

}  // namespace desktoptest

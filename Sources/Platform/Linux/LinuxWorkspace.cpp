#include "Platform/Linux/LinuxWorkspace.hpp"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace talkweft::platform::linuxdesktop {

namespace {

namespace fs = std::filesystem;

std::string lowercase(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

std::vector<DesktopEntry> readDesktopEntries() {
    auto entries = listDesktopEntries(calcApplicationDirs(processEnvironment, processHome()));
    std::erase_if(entries, [](const DesktopEntry& e) { return e.hidden; });
    return entries;
}

std::optional<DesktopEntry> findDesktopEntry(const std::vector<DesktopEntry>& entries, const std::string& gtkApplicationID,
                                             const std::string& wmClass, const std::string& wmInstance) {
    if (!gtkApplicationID.empty())
        for (const auto& e : entries)
            if (e.id == gtkApplicationID) return e;
    if (!wmClass.empty())
        for (const auto& e : entries)
            if (!e.startupWMClass.empty() && e.startupWMClass == wmClass) return e;
    for (const std::string& name : {wmClass, wmInstance}) {
        if (name.empty()) continue;
        for (const auto& e : entries)
            if (lowercase(e.id) == lowercase(name)) return e;
    }
    return std::nullopt;
}

std::optional<WindowFacts> activeWindow(Display* d) {
    const Window root = DefaultRootWindow(d);
    WindowFacts facts;
    if (auto active = readCardinals(d, root, XInternAtom(d, "_NET_ACTIVE_WINDOW", False), XA_WINDOW); active && !active->empty())
        facts.window = (*active)[0];
    if (facts.window == None) {
        // No window manager to ask: the input focus, up to its top-level window.
        int revert = 0;
        Window focus = None;
        XGetInputFocus(d, &focus, &revert);
        if (focus == None || focus == PointerRoot || focus == root) return std::nullopt;
        for (;;) {
            Window r = None, parent = None, *children = nullptr;
            unsigned count = 0;
            ErrorTrap trap(d);
            if (!XQueryTree(d, focus, &r, &parent, &children, &count)) return std::nullopt;
            if (children) XFree(children);
            if (parent == root || parent == None) break;
            focus = parent;
        }
        facts.window = focus;
    }
    ErrorTrap trap(d);
    if (auto pid = readCardinals(d, facts.window, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL); pid && !pid->empty())
        facts.pid = static_cast<std::int32_t>((*pid)[0]);
    if (auto cls = readBytes(d, facts.window, XA_WM_CLASS)) {
        const auto nul = cls->find('\0');
        facts.wmInstance = cls->substr(0, nul);
        if (nul != std::string::npos) {
            facts.wmClass = cls->substr(nul + 1);
            if (const auto end = facts.wmClass.find('\0'); end != std::string::npos) facts.wmClass.resize(end);
        }
    }
    if (auto name = readBytes(d, facts.window, XInternAtom(d, "_NET_WM_NAME", False))) facts.title = *name;
    else if (auto old = readBytes(d, facts.window, XA_WM_NAME)) facts.title = *old;
    if (auto gtk = readBytes(d, facts.window, XInternAtom(d, "_GTK_APPLICATION_ID", False))) facts.gtkApplicationID = *gtk;
    if (trap.failed() && facts.wmClass.empty() && !facts.pid) return std::nullopt;  // the window went away
    return facts;
}

LinuxWorkspace::LinuxWorkspace(XEventThread& events, XRequests& requests, MainLoop& loop)
    : events_(events), requests_(requests), loop_(loop) {
    events_.call([this] {
        Display* d = events_.display();
        activeAtom_ = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
        XSelectInput(d, DefaultRootWindow(d), PropertyChangeMask);
        handler_ = events_.addHandler([this](XEvent& e) {
            if (e.type != PropertyNotify || e.xproperty.atom != activeAtom_ || e.xproperty.window != DefaultRootWindow(events_.display()))
                return;
            loop_.post([this, alive = alive_] {
                if (alive->load()) checkActivation();
            });
        });
    });
}

LinuxWorkspace::~LinuxWorkspace() {
    alive_->store(false);
    events_.call([this] { events_.removeHandler(handler_); });
}

const std::vector<DesktopEntry>& LinuxWorkspace::entries() {
    std::call_once(entriesOnce_, [this] { entries_ = readDesktopEntries(); });
    return entries_;
}

std::optional<RunningApp> LinuxWorkspace::frontmostApplication() {
    const auto facts = requests_.with([](Display* d) { return activeWindow(d); });
    // A window that names no process and no class belongs to no app (the window manager's own
    // focus window when nothing has focus, say).
    if (!facts || (!facts->pid && facts->wmClass.empty() && facts->gtkApplicationID.empty())) return std::nullopt;
    RunningApp app;
    app.pid = facts->pid.value_or(0);
    const auto entry = findDesktopEntry(entries(), facts->gtkApplicationID, facts->wmClass, facts->wmInstance);
    if (entry) {
        app.bundleID = entry->id;
        if (!entry->name.empty()) app.localizedName = entry->name;
    } else if (!facts->gtkApplicationID.empty()) {
        app.bundleID = facts->gtkApplicationID;
    } else if (!facts->wmClass.empty()) {
        app.bundleID = facts->wmClass;
    }
    if (!app.localizedName && !facts->wmClass.empty()) app.localizedName = facts->wmClass;
    return app;
}

std::string LinuxWorkspace::frontClass() {
    const auto facts = requests_.with([](Display* d) { return activeWindow(d); });
    return facts ? facts->wmClass : std::string();
}

void LinuxWorkspace::checkActivation() {
    auto front = frontmostApplication();
    if (!front || front == lastFront_) return;
    lastFront_ = front;
    const auto observers = activation_;
    for (const auto& [id, handler] : observers)
        if (activation_.count(id)) handler(*front);
}

ObserverId LinuxWorkspace::addActivationObserver(std::function<void(const RunningApp&)> handler) {
    if (!lastFront_) lastFront_ = frontmostApplication();
    const ObserverId id = nextId_++;
    activation_[id] = std::move(handler);
    return id;
}

ObserverId LinuxWorkspace::addSleepObserver(std::function<void()> handler) {
    const ObserverId id = nextId_++;
    sleep_[id] = std::move(handler);
    return id;
}

void LinuxWorkspace::removeObserver(ObserverId id) {
    activation_.erase(id);
    sleep_.erase(id);
}

void LinuxWorkspace::notifySleep() {
    const auto observers = sleep_;
    for (const auto& [id, handler] : observers)
        if (sleep_.count(id)) handler();
}

bool LinuxWorkspace::openPath(const std::string& path) {
    std::vector<char*> argv = {const_cast<char*>("xdg-open"), const_cast<char*>(path.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();  // reaped whenever it ends
    return true;
}

std::string LinuxWorkspace::userName() {
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_name) return pw->pw_name;
    return {};
}

}  // namespace talkweft::platform::linuxdesktop

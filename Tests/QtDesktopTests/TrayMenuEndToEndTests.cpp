// The talkweft executable on a headless desktop with a tray host (trayer): its icon is embedded in
// the tray, a right click opens its menu, whose items (read through AT-SPI: titles, check marks,
// disabled lines, key bindings) are the application's, and a real click on each item does what it
// says. Without a tray host the application says so and keeps answering URL commands; a tray host
// that starts later gets the icon.
// GoogleTest first: Xlib's macros (None, Bool ...) would break its headers when this file opens a
// unity batch.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <atspi/atspi.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Clicks.hpp"
#include "DamagedSpeechModel.hpp"
#include "DesktopSession.hpp"
#include "FieldApps.hpp"
#include "Platform/FileDefaults.hpp"
#include "Talkweft/SettingsStore.hpp"
#include "TalkweftCore/Context.hpp"
#include "TalkweftCore/History.hpp"

namespace desktoptest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const fs::path TALKWEFT = fs::path(TALKWEFT_BINARY_DIR) / "Sources" / "Talkweft" / "talkweft";

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// ---- what the application leaves in its folders ----

// The application's folders below a session's home (the XDG defaults).
struct AppFolders {
    explicit AppFolders(const DesktopSession& s)
        : data(s.runFolder() / "home/.local/share/talkweft"),
          log(s.runFolder() / "home/.local/state/talkweft/talkweft.log"),
          defaults(s.runFolder() / "home/.config/talkweft/defaults.json"),
          output(s.runFolder() / "logs/talkweft.log") {}
    fs::path data, log, defaults, output;  // output: what the process printed

    bool logHas(const std::string& text) const { return readText(log).find(text) != std::string::npos; }
    bool printed(const std::string& text) const { return readText(output).find(text) != std::string::npos; }
    // The settings as the application saved them.
    talkweft::Settings settings() const {
        talkweft::platform::FileDefaults file(defaults);
        return talkweft::SettingsStore(file).value();
    }
};

// ---- X: the tray icon's window, clicks ----

std::optional<long> cardinal(Display* d, Window w, const char* name) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<long> out;
    if (XGetWindowProperty(d, w, XInternAtom(d, name, False), 0, 1, False, AnyPropertyType, &type, &format, &count, &after, &data) ==
            Success &&
        data != nullptr && count == 1 && format == 32)
        out = *reinterpret_cast<long*>(data);
    if (data != nullptr) XFree(data);
    return out;
}

bool hasProperty(Display* d, Window w, const char* name) {
    int count = 0;
    Atom* atoms = XListProperties(d, w, &count);
    bool found = false;
    const Atom wanted = XInternAtom(d, name, False);
    for (int i = 0; i < count; ++i) found = found || atoms[i] == wanted;
    if (atoms != nullptr) XFree(atoms);
    return found;
}

std::string windowName(Display* d, Window w) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string out;
    if (XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False), 0, 1024, False, AnyPropertyType, &type, &format, &count,
                           &after, &data) == Success &&
        data != nullptr)
        out.assign(reinterpret_cast<char*>(data), count);
    if (data != nullptr) XFree(data);
    return out;
}

struct Spot {
    Window window = None;
    int x = 0, y = 0;  // the middle, on the screen
};

// A viewable window of process `pid` (below the root window at any depth) that `wanted` accepts.
std::optional<Spot> findWindow(Display* d, pid_t pid, const std::function<bool(Window, Window parent)>& wanted) {
    std::vector<std::pair<Window, Window>> todo{{DefaultRootWindow(d), None}};
    while (!todo.empty()) {
        const auto [w, parent] = todo.back();
        todo.pop_back();
        XWindowAttributes attrs{};
        if (w != DefaultRootWindow(d) && cardinal(d, w, "_NET_WM_PID") == static_cast<long>(pid) &&
            XGetWindowAttributes(d, w, &attrs) && attrs.map_state == IsViewable && wanted(w, parent)) {
            Spot spot{w, 0, 0};
            Window child = None;
            XTranslateCoordinates(d, w, DefaultRootWindow(d), attrs.width / 2, attrs.height / 2, &spot.x, &spot.y, &child);
            return spot;
        }
        Window root = None, up = None, *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(d, w, &root, &up, &children, &count)) {
            for (unsigned i = 0; i < count; ++i) todo.emplace_back(children[i], w);
            if (children != nullptr) XFree(children);
        }
    }
    return std::nullopt;
}

// The tray icon of `pid`, once a tray host has embedded it (an XEmbed client below another window).
std::optional<Spot> findTrayIcon(Display* d, pid_t pid) {
    return findWindow(d, pid, [d](Window w, Window parent) { return parent != DefaultRootWindow(d) && hasProperty(d, w, "_XEMBED_INFO"); });
}

// ---- AT-SPI: the menu ----

struct MenuEntry {
    std::string title;  // "-" for a separator
    bool enabled = false;
    bool checked = false;
    std::string keys;   // the key binding shown
    int x = 0, y = 0;   // the middle, on the screen
};

// Follows the popup menus that show (Qt lists no popup among an application's children; the
// "showing" event names the menu).
class MenuWatch {
public:
    MenuWatch() {
        atspi_init();
        atspi_set_timeout(5000, 5000);  // a hung app fails the test instead of hanging it
        listener_ = atspi_event_listener_new(&MenuWatch::onEvent, this, nullptr);
        atspi_event_listener_register(listener_, "object:state-changed:showing", nullptr);
    }
    ~MenuWatch() {
        atspi_event_listener_deregister(listener_, "object:state-changed:showing", nullptr);
        g_object_unref(listener_);
        if (menu_ != nullptr) g_object_unref(menu_);
    }
    MenuWatch(const MenuWatch&) = delete;
    MenuWatch& operator=(const MenuWatch&) = delete;

    // Delivers the events that arrived.
    void pump() {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }
    bool shown() const { return shown_; }
    // The entries of the menu that showed last (read afresh from the application).
    std::vector<MenuEntry> entries() {
        std::vector<MenuEntry> out;
        if (menu_ == nullptr) return out;
        atspi_accessible_clear_cache(menu_);
        const int count = atspi_accessible_get_child_count(menu_, nullptr);
        for (int i = 0; i < count; ++i) {
            AtspiAccessible* child = atspi_accessible_get_child_at_index(menu_, i, nullptr);
            if (child == nullptr) continue;
            MenuEntry e;
            if (atspi_accessible_get_role(child, nullptr) == ATSPI_ROLE_SEPARATOR) {
                e.title = "-";
            } else {
                gchar* name = atspi_accessible_get_name(child, nullptr);
                e.title = name != nullptr ? name : "";
                g_free(name);
                AtspiStateSet* states = atspi_accessible_get_state_set(child);
                e.enabled = atspi_state_set_contains(states, ATSPI_STATE_ENABLED);
                e.checked = atspi_state_set_contains(states, ATSPI_STATE_CHECKED);
                g_object_unref(states);
                if (AtspiAction* action = atspi_accessible_get_action_iface(child)) {
                    gchar* keys = atspi_action_get_key_binding(action, 0, nullptr);
                    e.keys = keys != nullptr ? keys : "";
                    g_free(keys);
                    g_object_unref(action);
                }
                if (AtspiComponent* component = atspi_accessible_get_component_iface(child)) {
                    if (AtspiRect* r = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, nullptr)) {
                        e.x = r->x + r->width / 2;
                        e.y = r->y + r->height / 2;
                        g_free(r);
                    }
                    g_object_unref(component);
                }
            }
            out.push_back(e);
            g_object_unref(child);
        }
        return out;
    }

private:
    static void onEvent(AtspiEvent* event, void* data) {
        auto* self = static_cast<MenuWatch*>(data);
        if (event->source != nullptr) {
            if (event->detail1 != 0 && atspi_accessible_get_role(event->source, nullptr) == ATSPI_ROLE_POPUP_MENU) {
                if (self->menu_ != nullptr) g_object_unref(self->menu_);
                self->menu_ = static_cast<AtspiAccessible*>(g_object_ref(event->source));
                self->shown_ = true;
            } else if (event->detail1 == 0 && event->source == self->menu_) {
                self->shown_ = false;
            }
        }
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }

    AtspiEventListener* listener_ = nullptr;
    AtspiAccessible* menu_ = nullptr;
    bool shown_ = false;
};

std::vector<std::string> titlesOf(const std::vector<MenuEntry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.title);
    return out;
}

const MenuEntry* entryTitled(const std::vector<MenuEntry>& entries, const std::string& title) {
    for (const auto& e : entries)
        if (e.title == title) return &e;
    return nullptr;
}

// ---- the suite: one session with a tray host for the program ----

class TrayMenuEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The windows the tests walk (menus, the tray's icons) may go between two requests: every
        // read checks its result, so an X error is no reason to end the test program.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        if (session_ || !startError_.empty() || !DesktopSession::available()) return;
        try {
            SessionOptions options;
            options.trayHost = true;
            options.pulse = false;  // no recording here
            session_ = std::make_unique<DesktopSession>(options);
        } catch (const std::exception& e) {
            startError_ = e.what();
        }
    }
    static void TearDownTestSuite() { session_.reset(); }

    // Starts talkweft with a fake xdg-open first on PATH (it records its arguments).
    pid_t startTalkweft(DesktopSession& s) {
        const fs::path bin = s.runFolder() / "bin";
        fs::create_directories(bin);
        {
            std::ofstream script(bin / "xdg-open");
            script << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" << (s.runFolder() / "xdg-open.txt").string() << "'\n";
        }
        fs::permissions(bin / "xdg-open", fs::perms::owner_all);
        talkweft::testing_support::writeDamagedSpeechModel(AppFolders(s).data);
        return s.spawn({"env", "PATH=" + bin.string() + ":" + s.environment().at("PATH"), TALKWEFT.string()}, "talkweft");
    }

    static std::unique_ptr<DesktopSession> session_;
    static std::string startError_;
};

std::unique_ptr<DesktopSession> TrayMenuEndToEnd::session_;
std::string TrayMenuEndToEnd::startError_;

// Waits for the process to end: its exit status (-1 when a signal ended it), or none when it still
// runs at the wait's end.
std::optional<int> waitForExit(pid_t pid) {
    int status = 0;
    if (!DesktopSession::waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; })) return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(TrayMenuEndToEnd, TheTrayIconsMenuShowsTheApplicationsItemsAndEachDoesWhatItSays) {
    if (!DesktopSession::available()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(session_) << "the desktop session did not start: " << startError_;
    DesktopSession& s = *session_;
    const AppFolders app(s);

    const pid_t talkweft = startTalkweft(s);
    ASSERT_GT(talkweft, 0);
    ASSERT_TRUE(DesktopSession::waitFor([&] { return app.printed("status: Speech model failed to load"); })) << readText(app.output);

    // The icon, embedded in the tray.
    Display* d = XOpenDisplay(s.display().c_str());
    ASSERT_NE(d, nullptr);
    std::unique_ptr<Display, int (*)(Display*)> closeDisplay(d, XCloseDisplay);
    std::optional<Spot> icon;
    ASSERT_TRUE(DesktopSession::waitFor([&] { return (icon = findTrayIcon(d, talkweft)).has_value(); })) << "no tray icon";

    // It shows the drawn bubble: its light fill and dark outline (the idle colours).
    {
        XWindowAttributes attrs{};
        ASSERT_TRUE(XGetWindowAttributes(d, icon->window, &attrs));
        int fill = 0, outline = 0;
        ASSERT_TRUE(DesktopSession::waitFor([&] {
            XImage* image = XGetImage(d, icon->window, 0, 0, attrs.width, attrs.height, AllPlanes, ZPixmap);
            if (image == nullptr) return false;
            fill = outline = 0;
            for (int y = 0; y < attrs.height; ++y)
                for (int x = 0; x < attrs.width; ++x) {
                    const unsigned long p = XGetPixel(image, x, y) & 0xffffff;
                    fill += p == 0xf2f2f2;
                    outline += p == 0x404040;
                }
            XDestroyImage(image);
            return fill >= 20 && outline >= 10;
        })) << "fill " << fill << ", outline " << outline;
    }

    MenuWatch watch;
    std::vector<MenuEntry> menu;
    auto openMenu = [&](unsigned button = 3) {
        watch.pump();
        click(d, icon->x, icon->y, button);
        return DesktopSession::waitFor([&] {
            watch.pump();
            if (!watch.shown()) return false;
            menu = watch.entries();
            return !menu.empty() && menu.front().title.rfind("Talkweft: ", 0) == 0;
        });
    };
    auto choose = [&](const std::string& title) {
        const MenuEntry* e = entryTitled(menu, title);
        if (e == nullptr || !e->enabled) return false;
        click(d, e->x, e->y, 1);
        return DesktopSession::waitFor([&] {
            watch.pump();
            return !watch.shown();
        });
    };
    auto pressEscape = [&] {
        XTestFakeKeyEvent(d, KEYCODE_ESCAPE, True, CurrentTime);
        XTestFakeKeyEvent(d, KEYCODE_ESCAPE, False, CurrentTime);
        XSync(d, False);
        return DesktopSession::waitFor([&] {
            watch.pump();
            return !watch.shown();
        });
    };

    // No window in front yet: the menu has no lines about an app.
    ASSERT_TRUE(openMenu()) << "the menu did not open";
    std::vector<std::string> general{"Talkweft: Speech model failed to load",
                                     menu.size() > 1 ? menu[1].title : "",
                                     "-",
                                     "Connectors (read-only)",
                                     "Show History Folder",
                                     "Show Log",
                                     "-",
                                     "Settings…",
                                     "Quit Talkweft"};
    if (app.settings().claude.connectorWrites && app.settings().claude.connectors)
        general.insert(general.begin() + 2, "⚠︎ Connectors can make changes");
    EXPECT_EQ(titlesOf(menu), general);
    ASSERT_TRUE(pressEscape());

    // A GTK window in front: the menu's app lines are about it.
    FieldApp notes(s, "gtk_fields.py", {"--title", "Tray notes", "--entry", "some text"}, "gtk-notes");
    ASSERT_TRUE(notes.waitReady());

    // What the application sees in front, as its probe command reports it.
    ASSERT_EQ(s.run({TALKWEFT.string(), "talkweft://probe"}).status, 0);
    ASSERT_TRUE(DesktopSession::waitFor([&] { return app.logHas("probe subject="); }));
    const std::string log = readText(app.log);
    const auto jsonStart = log.find("\n{", log.find("probe subject="));
    const auto jsonEnd = log.find("\n}", jsonStart);
    ASSERT_NE(jsonEnd, std::string::npos) << log;
    const auto front = talkweft::AppContext::fromJSON(nlohmann::ordered_json::parse(log.substr(jsonStart + 1, jsonEnd - jsonStart + 1)));
    ASSERT_EQ(front.pid, notes.pid());
    const std::string subject = talkweft::calcSubject(front);
    EXPECT_EQ(subject, "window:Tray notes");

    const std::string turnOff = "Turn Off in " + front.appName;
    const std::string forget = "Forget History for " + front.appName + ": " + subject;

    ASSERT_TRUE(openMenu()) << "the menu did not open";
    const bool connectors = app.settings().claude.connectors;
    std::vector<std::string> expected{"Talkweft: Speech model failed to load",
                                      menu.size() > 1 ? menu[1].title : "",
                                      "-",
                                      turnOff,
                                      forget,
                                      "Connectors (read-only)",
                                      "Show History Folder",
                                      "Show Log",
                                      "-",
                                      "Settings…",
                                      "Quit Talkweft"};
    if (app.settings().claude.connectorWrites && connectors) expected.insert(expected.begin() + 2, "⚠︎ Connectors can make changes");
    ASSERT_EQ(titlesOf(menu), expected);
    EXPECT_EQ(menu[1].title.rfind("Dictate: ", 0), 0u);
    EXPECT_FALSE(menu[0].enabled);
    EXPECT_FALSE(menu[1].enabled);
    EXPECT_TRUE(entryTitled(menu, turnOff)->enabled);
    EXPECT_EQ(entryTitled(menu, "Connectors (read-only)")->checked, connectors);
    EXPECT_FALSE(entryTitled(menu, "Show Log")->checked);
    EXPECT_EQ(entryTitled(menu, "Settings…")->keys, "Meta+,");
    EXPECT_EQ(entryTitled(menu, "Quit Talkweft")->keys, "Meta+Q");

    // Turn Off, then Turn On, in the app in front: the saved list of switched-off apps follows.
    const std::vector<std::string> before = app.settings().disabledApps;
    std::vector<std::string> off = before;
    off.push_back(front.bundleID);
    ASSERT_TRUE(choose(turnOff));
    ASSERT_TRUE(DesktopSession::waitFor([&] { return app.settings().disabledApps == off; }))
        << testing::PrintToString(app.settings().disabledApps);
    ASSERT_TRUE(openMenu());
    ASSERT_TRUE(choose("Turn On in " + front.appName)) << testing::PrintToString(titlesOf(menu));
    ASSERT_TRUE(DesktopSession::waitFor([&] { return app.settings().disabledApps == before; }));

    // Forget History: the context's folder goes.
    const fs::path contextDir = talkweft::HistoryStore(app.data / "History").calcDir(talkweft::calcContextKey(front));
    fs::create_directories(contextDir);
    std::ofstream(contextDir / "history.jsonl") << "{}\n";
    ASSERT_TRUE(openMenu());
    ASSERT_TRUE(choose(forget));
    EXPECT_TRUE(DesktopSession::waitFor([&] { return !fs::exists(contextDir); })) << contextDir;

    // Connectors: the setting and the check mark turn over. (A left click opens the menu too.)
    ASSERT_TRUE(openMenu(1));
    ASSERT_TRUE(choose("Connectors (read-only)"));
    ASSERT_TRUE(DesktopSession::waitFor([&] { return app.settings().claude.connectors == !connectors; }));
    ASSERT_TRUE(openMenu());
    EXPECT_EQ(entryTitled(menu, "Connectors (read-only)")->checked, !connectors);

    // Show History Folder and Show Log open those paths.
    ASSERT_TRUE(choose("Show History Folder"));
    ASSERT_TRUE(openMenu());
    ASSERT_TRUE(choose("Show Log"));
    const fs::path opened = s.runFolder() / "xdg-open.txt";
    ASSERT_TRUE(DesktopSession::waitFor([&] {
        const std::string text = readText(opened);
        return std::count(text.begin(), text.end(), '\n') == 2;
    }));
    EXPECT_EQ(readText(opened), (app.data / "History").string() + "\n" + app.log.string() + "\n");

    // Settings… shows the settings window.
    ASSERT_TRUE(openMenu());
    ASSERT_TRUE(choose("Settings…"));
    EXPECT_TRUE(DesktopSession::waitFor([&] {
        return findWindow(d, talkweft, [&](Window w, Window) { return windowName(d, w) == "Talkweft Settings"; }).has_value();
    })) << "no window titled \"Talkweft Settings\"";

    // Quit Talkweft ends the process with status 0.
    ASSERT_TRUE(openMenu());
    ASSERT_TRUE(choose("Quit Talkweft"));
    const auto status = waitForExit(talkweft);
    ASSERT_TRUE(status) << "still running after Quit";
    EXPECT_EQ(*status, 0);
}

TEST_F(TrayMenuEndToEnd, WithoutATrayHostTheAppSaysSoAndAnswersURLCommandsAndALaterTrayGetsTheIcon) {
    if (!DesktopSession::available()) GTEST_SKIP() << "Xvfb is not installed";
    // A session of its own, without a tray host (this process keeps its environment).
    SessionOptions options;
    options.pulse = false;
    options.environment = false;
    DesktopSession s(options);
    const AppFolders app(s);
    FieldApp notes(s, "gtk_fields.py", {"--title", "Probe notes"}, "gtk-notes");  // something for the probe to read
    ASSERT_TRUE(notes.waitReady());
    const pid_t talkweft = startTalkweft(s);
    ASSERT_GT(talkweft, 0);
    ASSERT_TRUE(DesktopSession::waitFor([&] { return app.printed("listening for URL commands"); })) << readText(app.output);
    EXPECT_TRUE(app.logHas("tray: no system tray is running; the icon and its menu appear when one starts")) << readText(app.log);

    ASSERT_EQ(s.run({TALKWEFT.string(), "talkweft://probe"}).status, 0);
    EXPECT_TRUE(DesktopSession::waitFor([&] { return app.logHas("probe subject="); })) << readText(app.log);

    // A tray host that starts now gets the icon.
    s.startTrayHost();
    Display* d = XOpenDisplay(s.display().c_str());
    ASSERT_NE(d, nullptr);
    std::unique_ptr<Display, int (*)(Display*)> closeDisplay(d, XCloseDisplay);
    EXPECT_TRUE(DesktopSession::waitFor([&] { return findTrayIcon(d, talkweft).has_value(); })) << "the icon did not come to the tray";

    // SIGTERM ends it cleanly.
    ASSERT_EQ(kill(talkweft, SIGTERM), 0);
    const auto status = waitForExit(talkweft);
    ASSERT_TRUE(status) << "still running after SIGTERM";
    EXPECT_EQ(*status, 0);
}

}  // namespace
}  // namespace desktoptest

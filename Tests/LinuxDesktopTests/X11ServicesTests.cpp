// The X11 services of the Linux desktop against a real X server: keys made with XTest and seen
// through XInput2, the clipboard served and put back, the active window, a window's image.
// GoogleTest first: Xlib's macros (None, Bool ...) would break its headers when this file opens a
// unity batch.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <signal.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DesktopSession.hpp"
#include "Platform/Linux/LinuxDesktop.hpp"
#include "Platform/PNG.hpp"
#include "Talkweft/Clipboard.hpp"
#include "Talkweft/Hotkeys.hpp"
#include "TalkweftCore/Chord.hpp"

namespace desktoptest {
namespace {

using namespace std::chrono_literals;
namespace pf = talkweft::platform;
namespace lx = talkweft::platform::linuxdesktop;
using talkweft::ModKey;

const std::string X11_APPS = TALKWEFT_DESKTOP_TEST_APPS "/x11_apps.py";

class X11Desktop : public DesktopSuite {
protected:
    void SetUp() override {
        if (!DesktopSession::available() || session() == nullptr) return;
        desktop_ = std::make_unique<lx::LinuxDesktop>(session()->display());
        scope_ = std::make_unique<pf::ScopedPlatform>(desktop_->platform());
        fakes_ = XOpenDisplay(session()->display().c_str());
    }
    void TearDown() override {
        if (fakes_) XCloseDisplay(fakes_);
        scope_.reset();
        desktop_.reset();
        for (pid_t pid : apps_) session()->stop(pid);
    }

    // A real key event made by XTest, as a user's keyboard would.
    void key(unsigned keycode, bool down) {
        XTestFakeKeyEvent(fakes_, keycode, down ? True : False, CurrentTime);
        XSync(fakes_, False);
    }
    // Runs the main loop until `done` holds (false after 10 s).
    bool runUntil(const std::function<bool()>& done) {
        desktop_->loop().setRunUntilLimit(10s);
        return desktop_->loop().runUntil(done);
    }
    // Starts one of the test apps and waits for its "ready" line in its log.
    pid_t startApp(const std::vector<std::string>& args, const std::string& name) {
        std::vector<std::string> argv = {"/usr/bin/python3", X11_APPS};
        argv.insert(argv.end(), args.begin(), args.end());
        const pid_t pid = session()->spawn(argv, name);
        if (pid > 0) apps_.push_back(pid);
        const auto log = session()->runFolder() / "logs" / (name + ".log");
        const bool ready = DesktopSession::waitFor([&] {
            std::ifstream in(log);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            return text.find("ready") != std::string::npos;
        });
        if (!ready) {
            std::ifstream in(log);
            ADD_FAILURE() << name << " did not start: " << std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        }
        return ready ? pid : -1;
    }
    std::string clip(const std::string& target) {
        return session()->run({"xclip", "-selection", "clipboard", "-o", "-t", target}, {}, 5s).out;
    }

    std::unique_ptr<lx::LinuxDesktop> desktop_;
    std::unique_ptr<pf::ScopedPlatform> scope_;
    Display* fakes_ = nullptr;
    std::vector<pid_t> apps_;
};

TEST_F(X11Desktop, ModifierKeysReachTheMonitorsLeftAndRightApart) {
    TALKWEFT_NEED_DESKTOP();
    ASSERT_TRUE(desktop_->keyboard().listening());
    std::vector<pf::KeyboardEvent> events;
    auto id = desktop_->keyboard().addMonitor(pf::MonitorScope::global, [&](const pf::KeyboardEvent& e) { events.push_back(e); });
    ASSERT_TRUE(id);
    const struct {
        unsigned keycode;
        ModKey key;
        std::uint64_t independent;
    } cases[] = {
        {KEYCODE_ALT_L, ModKey::leftOption, pf::FLAG_OPTION},       {KEYCODE_ALT_R, ModKey::rightOption, pf::FLAG_OPTION},
        {KEYCODE_SUPER_L, ModKey::leftCommand, pf::FLAG_COMMAND},   {KEYCODE_SUPER_R, ModKey::rightCommand, pf::FLAG_COMMAND},
        {KEYCODE_CONTROL_L, ModKey::leftControl, pf::FLAG_CONTROL}, {KEYCODE_CONTROL_R, ModKey::rightControl, pf::FLAG_CONTROL},
        {KEYCODE_SHIFT_L, ModKey::leftShift, pf::FLAG_SHIFT},       {KEYCODE_SHIFT_R, ModKey::rightShift, pf::FLAG_SHIFT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(talkweft::modKeyRawValue(c.key)));
        events.clear();
        key(c.keycode, true);
        ASSERT_TRUE(runUntil([&] { return !events.empty(); }));
        EXPECT_EQ(events[0].type, pf::KeyboardEvent::Type::flagsChanged);
        EXPECT_EQ(talkweft::calcHeldKeys(events[0].rawFlags), talkweft::ModKeySet{c.key});
        EXPECT_EQ(events[0].rawFlags & c.independent, c.independent);
        key(c.keycode, false);
        ASSERT_TRUE(runUntil([&] { return events.size() >= 2; }));
        EXPECT_EQ(events[1].type, pf::KeyboardEvent::Type::flagsChanged);
        EXPECT_EQ(events[1].rawFlags, 0u);
    }

    // A chord of both: the flags after each change hold every key still down.
    events.clear();
    key(KEYCODE_ALT_R, true);
    key(KEYCODE_SUPER_L, true);
    ASSERT_TRUE(runUntil([&] { return events.size() >= 2; }));
    EXPECT_EQ(talkweft::calcHeldKeys(events[1].rawFlags), (talkweft::ModKeySet{ModKey::rightOption, ModKey::leftCommand}));
    key(KEYCODE_SUPER_L, false);
    key(KEYCODE_ALT_R, false);
    ASSERT_TRUE(runUntil([&] { return events.size() >= 4; }));
    EXPECT_EQ(talkweft::calcHeldKeys(events[2].rawFlags), talkweft::ModKeySet{ModKey::rightOption});
    EXPECT_EQ(events[3].rawFlags, 0u);

    // Esc and other keys are key-downs; only Esc is flagged as such.
    events.clear();
    key(KEYCODE_ESCAPE, true);
    key(KEYCODE_ESCAPE, false);
    key(KEYCODE_A, true);
    key(KEYCODE_A, false);
    ASSERT_TRUE(runUntil([&] { return events.size() >= 2; }));
    EXPECT_EQ(events[0].type, pf::KeyboardEvent::Type::keyDown);
    EXPECT_TRUE(events[0].isEscape);
    EXPECT_EQ(events[0].keyCode, pf::KEY_ESCAPE);
    EXPECT_EQ(events[1].type, pf::KeyboardEvent::Type::keyDown);
    EXPECT_FALSE(events[1].isEscape);
    desktop_->keyboard().removeMonitor(*id);
}

// A release the monitors never saw is found by the hotkeys' poll, which reads the live keyboard.
TEST_F(X11Desktop, ReleaseMissedByTheMonitorsIsFoundByPolling) {
    TALKWEFT_NEED_DESKTOP();
    talkweft::Hotkeys hotkeys(talkweft::ChordTracker({ModKey::rightOption}, {ModKey::rightOption, ModKey::rightCommand}));
    std::vector<talkweft::ChordEvent> chords;
    hotkeys.onChord = [&](const talkweft::ChordEvent& e) { chords.push_back(e); };
    hotkeys.start();
    key(KEYCODE_ALT_R, true);
    ASSERT_TRUE(runUntil([&] { return !chords.empty(); }));
    EXPECT_EQ(chords[0], talkweft::ChordEvent::start(talkweft::Mode::dictate));
    key(KEYCODE_SUPER_L, true);
    EXPECT_EQ(talkweft::calcHeldKeys(desktop_->keyboard().currentFlags()), (talkweft::ModKeySet{ModKey::rightOption, ModKey::leftCommand}));

    hotkeys.stop();  // the monitors miss the releases
    key(KEYCODE_SUPER_L, false);
    key(KEYCODE_ALT_R, false);
    EXPECT_EQ(desktop_->keyboard().currentFlags(), 0u);
    hotkeys.poll();
    EXPECT_EQ(chords.back(), talkweft::ChordEvent::stop(talkweft::Mode::dictate));
}

// The paste chord goes out with the exact keycodes: Control_L + v, and Shift too into a terminal.
TEST_F(X11Desktop, PasteChordIsControlVAndControlShiftVInTerminals) {
    TALKWEFT_NEED_DESKTOP();
    for (const auto& terminalCase : {std::pair{std::string("TalkweftNotes"), false}, std::pair{std::string("XTerm"), true}}) {
        const std::string& cls = terminalCase.first;
        const bool shift = terminalCase.second;
        SCOPED_TRACE(cls);
        const pid_t app = startApp({"window", cls + " window", cls, "200", "100", "808080"}, cls);
        ASSERT_GT(app, 0);
        ASSERT_TRUE(DesktopSession::waitFor([&] { return desktop_->workspace().frontClass() == cls; }));
        std::vector<pf::KeyboardEvent> events;
        auto id = desktop_->keyboard().addMonitor(pf::MonitorScope::global, [&](const pf::KeyboardEvent& e) { events.push_back(e); });
        ASSERT_TRUE(desktop_->keyboard().post({{pf::KEY_V, true, pf::FLAG_COMMAND}, {pf::KEY_V, false, pf::FLAG_COMMAND}}));
        const std::size_t expected = shift ? 5 : 3;  // modifiers down, v, modifiers up
        ASSERT_TRUE(runUntil([&] { return events.size() >= expected; }));
        const auto& v = shift ? events[2] : events[1];
        EXPECT_EQ(v.type, pf::KeyboardEvent::Type::keyDown);
        const talkweft::ModKeySet chord = shift ? talkweft::ModKeySet{ModKey::leftControl, ModKey::leftShift}
                                                : talkweft::ModKeySet{ModKey::leftControl};
        EXPECT_EQ(talkweft::calcHeldKeys(v.rawFlags), chord);
        EXPECT_EQ(events.back().rawFlags, 0u);
        desktop_->keyboard().removeMonitor(*id);
        session()->stop(app);
    }
}

TEST_F(X11Desktop, ActiveWindowAndItsChanges) {
    TALKWEFT_NEED_DESKTOP();
    const pid_t first = startApp({"window", "First window", "TalkweftFirst", "200", "100", "ff0000"}, "first");
    ASSERT_GT(first, 0);
    ASSERT_TRUE(DesktopSession::waitFor([&] {
        auto front = desktop_->workspace().frontmostApplication();
        return front && front->pid == first;
    }));
    const auto front = desktop_->workspace().frontmostApplication();
    EXPECT_EQ(front->bundleID, "TalkweftFirst");  // no desktop entry: the window class
    EXPECT_EQ(front->localizedName, "TalkweftFirst");

    std::vector<pf::RunningApp> activated;
    desktop_->workspace().addActivationObserver([&](const pf::RunningApp& app) { activated.push_back(app); });
    const pid_t second = startApp({"window", "Second window", "TalkweftSecond", "200", "100", "00ff00"}, "second");
    ASSERT_GT(second, 0);
    ASSERT_TRUE(runUntil([&] { return !activated.empty() && activated.back().pid == second; }));
    EXPECT_EQ(activated.back().bundleID, "TalkweftSecond");

    // Back to the first window, now with a desktop entry naming its class: the entry gives the app
    // id and name.
    const auto apps = session()->runFolder() / "home/.local/share/applications";
    std::filesystem::create_directories(apps);
    std::ofstream(apps / "org.example.First.desktop") << "[Desktop Entry]\nType=Application\nName=First App\nStartupWMClass=TalkweftFirst\n";
    ASSERT_EQ(session()->run({"xdotool", "search", "--name", "First window", "windowactivate", "--sync"}).status, 0);
    ASSERT_TRUE(runUntil([&] { return activated.back().pid == first; }));
    lx::LinuxDesktop later(session()->display());
    const auto entry = later.workspace().frontmostApplication();
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->pid, first);
    EXPECT_EQ(entry->bundleID, "org.example.First");
    EXPECT_EQ(entry->localizedName, "First App");
}

TEST_F(X11Desktop, WindowScreenshotHasTheWindowSizeAndIsAValidPNG) {
    TALKWEFT_NEED_DESKTOP();
    const pid_t app = startApp({"window", "Shot", "TalkweftShot", "320", "200", "ff0000"}, "shot");
    ASSERT_GT(app, 0);
    // A window on top of it: the capture raises the window first.
    ASSERT_GT(startApp({"window", "Cover", "TalkweftCover", "400", "300", "0000ff"}, "cover"), 0);
    std::optional<std::int64_t> number;
    ASSERT_TRUE(DesktopSession::waitFor([&] {
        for (const auto& w : desktop_->screen().windowList().value_or(std::vector<pf::WindowInfo>{}))
            if (w.ownerPID == app && w.layer == 0) number = w.number;
        return number.has_value();
    }));
    const auto image = desktop_->screen().captureWindow(static_cast<std::uint32_t>(*number));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 320);
    EXPECT_EQ(image->height, 200);
    const std::size_t centre = (100u * 320u + 160u) * 4u;
    EXPECT_EQ(std::vector<std::uint8_t>(image->rgba.begin() + centre, image->rgba.begin() + centre + 4),
              (std::vector<std::uint8_t>{255, 0, 0, 255}));
    const auto png = pf::encodePNG(*image);
    ASSERT_TRUE(png);
    const auto file = session()->runFolder() / "shot.png";
    std::ofstream(file, std::ios::binary) << *png;
    EXPECT_EQ(session()->run({"identify", "-format", "%m %wx%h", file.string()}).out, "PNG 320x200");
    EXPECT_FALSE(desktop_->screen().captureWindow(0x7ffffff0u));  // no such window
}

// The clipboard of a paste: the user's contents (text and an image) are saved, our text is served
// with the password-manager hint, the restore waits for the target to read it, and afterwards every
// saved target is served again.
class X11Clipboard : public X11Desktop {
protected:
    void SetUp() override {
        X11Desktop::SetUp();
        if (desktop_ == nullptr) return;
        pf::Image pixel{2, 1, {1, 2, 3, 255, 4, 5, 6, 255}};
        png_ = *pf::encodePNG(pixel);
        const auto file = session()->runFolder() / "user.png";
        std::ofstream(file, std::ios::binary) << png_;
        owner_ = startApp({"clipboard", "the user's text", file.string()}, "clipboard-owner");
        // Owned once a reader gets the text (the app says "ready" before the server has it).
        if (!DesktopSession::waitFor([&] { return clip("UTF8_STRING") == "the user's text"; })) owner_ = -1;
    }
    void expectUserContents() {
        const std::string targets = clip("TARGETS");
        EXPECT_NE(targets.find("image/png"), std::string::npos) << targets;
        EXPECT_NE(targets.find("UTF8_STRING"), std::string::npos) << targets;
        EXPECT_EQ(targets.find(std::string(lx::PASSWORD_MANAGER_HINT)), std::string::npos) << targets;
        EXPECT_EQ(clip("UTF8_STRING"), "the user's text");
        EXPECT_EQ(clip("image/png"), png_);
    }
    std::string png_;
    pid_t owner_ = -1;
};

TEST_F(X11Clipboard, PasteWaitsForTheTargetThenServesTheUsersContentsAgain) {
    TALKWEFT_NEED_DESKTOP();
    ASSERT_GT(owner_, 0);
    ASSERT_TRUE(talkweft::Clipboard::paste("dictated words"));
    // The user's app no longer owns the clipboard: everything comes from us from now on.
    session()->stop(owner_);
    EXPECT_EQ(clip(std::string(lx::PASSWORD_MANAGER_HINT)), "secret");
    EXPECT_FALSE(desktop_->pasteboard().contentsFetched());  // asking for the hint is no fetch
    // A slow target: it reads the text only well after the usual restore delay.
    const auto late = desktop_->loop().now() + 1500ms;
    ASSERT_TRUE(runUntil([&] { return desktop_->loop().now() > late; }));
    EXPECT_EQ(clip("UTF8_STRING"), "dictated words");
    EXPECT_TRUE(desktop_->pasteboard().contentsFetched());
    ASSERT_TRUE(runUntil([&] { return clip("UTF8_STRING") == "the user's text"; }));
    expectUserContents();
}

TEST_F(X11Clipboard, TargetThatNeverReadsIsGivenUpOnAndOurTextIsNotLeft) {
    TALKWEFT_NEED_DESKTOP();
    ASSERT_GT(owner_, 0);
    const auto start = desktop_->loop().now();
    ASSERT_TRUE(talkweft::Clipboard::paste("never read"));
    session()->stop(owner_);
    // Checking the owner (not the data) is no fetch: the restore comes after the bounded wait.
    const Atom clipboard = XInternAtom(fakes_, "CLIPBOARD", False);
    const Window ours = XGetSelectionOwner(fakes_, clipboard);
    ASSERT_TRUE(runUntil([&] { return desktop_->loop().now() - start > 4s; }));
    EXPECT_EQ(XGetSelectionOwner(fakes_, clipboard), ours);
    expectUserContents();
}

// An owner that does not answer (stopped) costs the paste one bounded wait, not a hang.
TEST_F(X11Clipboard, HungOwnerDoesNotHoldUpThePaste) {
    TALKWEFT_NEED_DESKTOP();
    ASSERT_GT(owner_, 0);
    ASSERT_EQ(kill(owner_, SIGSTOP), 0);
    const auto start = desktop_->loop().now();
    EXPECT_TRUE(talkweft::Clipboard::paste("while hung"));
    EXPECT_LT(desktop_->loop().now() - start, 4s);
    EXPECT_EQ(clip("UTF8_STRING"), "while hung");
    kill(owner_, SIGCONT);
}

}  // namespace
}  // namespace desktoptest

namespace desktoptest {
namespace {

// talkweft takes the X11 desktop when a display answers, and says so.
TEST_F(X11Desktop, TalkweftRunsOnTheX11DesktopWhenADisplayAnswers) {
    TALKWEFT_NEED_DESKTOP();
    const std::string binary = TALKWEFT_BINARY_DIR "/Sources/Talkweft/talkweft";
    const pid_t app = session()->spawn({binary}, "talkweft");
    ASSERT_GT(app, 0);
    const auto log = session()->runFolder() / "logs" / "talkweft.log";
    const std::string line = "talkweft: desktop: the X11 desktop on display " + session()->display() + "\n";
    EXPECT_TRUE(DesktopSession::waitFor([&] {
        std::ifstream in(log);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()).find(line) != std::string::npos;
    })) << line;
    session()->stop(app);
}

}  // namespace
}  // namespace desktoptest

namespace desktoptest {
namespace {

// logind's PrepareForSleep reaches us (here a stand-in owning logind's name on the session bus).
TEST_F(X11Desktop, SleepNoticeFromLogind) {
    TALKWEFT_NEED_DESKTOP();
    std::atomic<int> notices{0};
    lx::LogindSleep sleep([&](bool sleeping) { notices += sleeping ? 1 : 0; }, session()->environment().at("DBUS_SESSION_BUS_ADDRESS"));
    ASSERT_TRUE(sleep.listening());
    const pid_t logind = session()->spawn({"/usr/bin/python3", TALKWEFT_DESKTOP_TEST_APPS "/fake_logind.py"}, "fake-logind");
    ASSERT_GT(logind, 0);
    EXPECT_TRUE(DesktopSession::waitFor([&] { return notices > 0; }));
    session()->stop(logind);
}

}  // namespace
}  // namespace desktoptest

namespace desktoptest {
namespace {

// The window is matched to its desktop entry by GTK id, StartupWMClass, then file name.
TEST(DesktopEntries, MatchWindows) {
    auto entry = [](const char* id, const char* name, const char* wmClass) {
        talkweft::platform::DesktopEntry e;
        e.id = id;
        e.name = name;
        e.startupWMClass = wmClass;
        return e;
    };
    const std::vector<talkweft::platform::DesktopEntry> entries = {entry("org.gnome.gedit", "Text Editor", ""),
                                                         entry("org.example.Notes", "Notes", "NotesWin"),
                                                         entry("firefox", "Firefox", "")};
    EXPECT_EQ(lx::findDesktopEntry(entries, "org.gnome.gedit", "Gedit", "gedit")->id, "org.gnome.gedit");
    EXPECT_EQ(lx::findDesktopEntry(entries, "", "NotesWin", "notes")->id, "org.example.Notes");
    EXPECT_EQ(lx::findDesktopEntry(entries, "", "Firefox", "Navigator")->id, "firefox");
    EXPECT_FALSE(lx::findDesktopEntry(entries, "", "XTerm", "xterm"));
}

}  // namespace
}  // namespace desktoptest

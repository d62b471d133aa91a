#include "Platform/Linux/LinuxKeyboard.hpp"

#include <X11/XKBlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <cctype>

namespace talkweft::platform::linuxdesktop {

std::uint64_t withSideIndependentFlags(std::uint64_t bits) {
    std::uint64_t flags = bits;
    if (bits & (RAW_LEFT_SHIFT | RAW_RIGHT_SHIFT)) flags |= FLAG_SHIFT;
    if (bits & (RAW_LEFT_CONTROL | RAW_RIGHT_CONTROL)) flags |= FLAG_CONTROL;
    if (bits & (RAW_LEFT_OPTION | RAW_RIGHT_OPTION)) flags |= FLAG_OPTION;
    if (bits & (RAW_LEFT_COMMAND | RAW_RIGHT_COMMAND)) flags |= FLAG_COMMAND;
    return flags;
}

bool isTerminalClass(const std::string& wmClass) {
    static const std::array<const char*, 24> terminals = {
        "xterm",        "uxterm",   "gnome-terminal", "gnome-terminal-server", "konsole", "xfce4-terminal", "alacritty",
        "kitty",        "terminator", "tilix",        "urxvt",                 "rxvt",    "st",             "st-256color",
        "wezterm",      "foot",     "lxterminal",     "mate-terminal",         "qterminal", "terminology",  "sakura",
        "guake",        "tilda",    "yakuake"};
    std::string lower = wmClass;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.rfind("org.wezfurlong.", 0) == 0 || lower == "org.gnome.terminal" || lower == "org.gnome.console" ||
        lower == "org.kde.konsole" || lower == "com.mitchellh.ghostty")
        return true;
    return std::find(terminals.begin(), terminals.end(), lower) != terminals.end();
}

LinuxKeyboard::LinuxKeyboard(XEventThread& events, XRequests& requests, MainLoop& loop, std::function<std::string()> frontClass)
    : events_(events), requests_(requests), loop_(loop), frontClass_(std::move(frontClass)) {
    // Which keycodes carry which modifier, from the server's keymap (the evdev numbers as fallback).
    modifierBits_ = {{37, RAW_LEFT_CONTROL}, {105, RAW_RIGHT_CONTROL}, {50, RAW_LEFT_SHIFT},   {62, RAW_RIGHT_SHIFT},
                     {64, RAW_LEFT_OPTION},  {108, RAW_RIGHT_OPTION},  {133, RAW_LEFT_COMMAND}, {134, RAW_RIGHT_COMMAND}};
    requests_.with([&](Display* d) {
        int minCode = 8, maxCode = 255;
        XDisplayKeycodes(d, &minCode, &maxCode);
        std::map<unsigned, std::uint64_t> found;
        for (int code = minCode; code <= maxCode; ++code) {
            const KeySym sym = XkbKeycodeToKeysym(d, static_cast<KeyCode>(code), 0, 0);
            std::uint64_t bit = 0;
            switch (sym) {
                case XK_Control_L: bit = RAW_LEFT_CONTROL; break;
                case XK_Control_R: bit = RAW_RIGHT_CONTROL; break;
                case XK_Shift_L: bit = RAW_LEFT_SHIFT; break;
                case XK_Shift_R: bit = RAW_RIGHT_SHIFT; break;
                case XK_Alt_L: case XK_Meta_L: bit = RAW_LEFT_OPTION; break;
                case XK_Alt_R: case XK_Meta_R: case XK_ISO_Level3_Shift: bit = RAW_RIGHT_OPTION; break;
                case XK_Super_L: bit = RAW_LEFT_COMMAND; break;
                case XK_Super_R: bit = RAW_RIGHT_COMMAND; break;
                default: break;
            }
            if (sym == XK_Escape) escapeKeycode_ = static_cast<unsigned>(code);
            // The keymap's pseudo keys (the level-3 key without a physical key, keycode 92 in evdev)
            // stay out when a real right Alt is there.
            if (bit != 0) found[static_cast<unsigned>(code)] = bit;
        }
        for (const auto& [code, bit] : found) modifierBits_[code] = bit;
    });

    listening_ = events_.call([this] {
        Display* d = events_.display();
        int event = 0, error = 0;
        if (!XQueryExtension(d, "XInputExtension", &xiOpcode_, &event, &error)) return false;
        int major = 2, minor = 0;
        if (XIQueryVersion(d, &major, &minor) != Success) return false;
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
        XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
        ErrorTrap trap(d);
        XISelectEvents(d, DefaultRootWindow(d), &mask, 1);
        if (trap.failed()) return false;
        handlerId_ = events_.addHandler([this](XEvent& ev) {
            if (ev.xcookie.type != GenericEvent || ev.xcookie.extension != xiOpcode_ || ev.xcookie.data == nullptr) return;
            if (ev.xcookie.evtype != XI_RawKeyPress && ev.xcookie.evtype != XI_RawKeyRelease) return;
            const auto* raw = static_cast<const XIRawEvent*>(ev.xcookie.data);
            onRawKey(static_cast<unsigned>(raw->detail), ev.xcookie.evtype == XI_RawKeyPress);
        });
        return true;
    });
}

LinuxKeyboard::~LinuxKeyboard() {
    alive_->store(false);
    if (listening_) events_.call([this] { events_.removeHandler(handlerId_); });
}

std::uint64_t LinuxKeyboard::bitOfKeycode(unsigned keycode) const {
    const auto it = modifierBits_.find(keycode);
    return it == modifierBits_.end() ? 0 : it->second;
}

// Event thread.
void LinuxKeyboard::onRawKey(unsigned keycode, bool press) {
    const std::uint64_t bit = bitOfKeycode(keycode);
    KeyboardEvent event;
    if (bit != 0) {
        const std::uint64_t before = heldBits_;
        heldBits_ = press ? (heldBits_ | bit) : (heldBits_ & ~bit);
        if (heldBits_ == before) return;  // a repeat
        event.type = KeyboardEvent::Type::flagsChanged;
        event.keyCode = static_cast<std::uint16_t>(keycode);
        event.rawFlags = withSideIndependentFlags(heldBits_);
    } else {
        if (!press) return;
        event.type = KeyboardEvent::Type::keyDown;
        event.isEscape = keycode == escapeKeycode_;
        event.keyCode = event.isEscape ? KEY_ESCAPE : static_cast<std::uint16_t>(1000 + keycode);
        event.rawFlags = withSideIndependentFlags(heldBits_);
    }
    loop_.post([this, alive = alive_, event] {
        if (alive->load()) deliver(event);
    });
}

void LinuxKeyboard::deliver(const KeyboardEvent& event) {
    const auto monitors = monitors_;  // a handler may remove monitors
    for (const auto& [id, handler] : monitors)
        if (monitors_.count(id)) handler(event);
}

std::optional<MonitorId> LinuxKeyboard::addMonitor(MonitorScope scope, std::function<void(const KeyboardEvent&)> handler) {
    if (!listening_) return std::nullopt;
    const MonitorId id = nextId_++;
    if (scope == MonitorScope::global) monitors_[id] = std::move(handler);
    return id;
}

void LinuxKeyboard::removeMonitor(MonitorId id) { monitors_.erase(id); }

std::uint64_t LinuxKeyboard::currentFlags() {
    char keys[32] = {};
    requests_.with([&](Display* d) { XQueryKeymap(d, keys); });
    std::uint64_t bits = 0;
    for (const auto& [code, bit] : modifierBits_)
        if (code < 256 && (keys[code / 8] & (1 << (code % 8)))) bits |= bit;
    return withSideIndependentFlags(bits);
}

bool LinuxKeyboard::post(const std::vector<KeyStroke>& strokes) {
    const bool terminal = frontClass_ && isTerminalClass(frontClass_());
    return requests_.with([&](Display* d) {
        int event = 0, error = 0, major = 0, minor = 0;
        if (!XTestQueryExtension(d, &event, &error, &major, &minor)) return false;
        auto code = [&](KeySym sym) { return static_cast<unsigned>(XKeysymToKeycode(d, sym)); };
        // Every event first, so that nothing is posted when one cannot be made.
        struct Press {
            unsigned keycode;
            bool down;
        };
        std::vector<Press> presses;
        for (const KeyStroke& s : strokes) {
            KeySym sym = NoSymbol;
            if (s.keyCode == KEY_V) sym = XK_v;
            else if (s.keyCode == KEY_ESCAPE) sym = XK_Escape;
            const unsigned key = sym == NoSymbol ? 0 : code(sym);
            if (key == 0) return false;
            // The desktop's paste chord: Command becomes Control (plus Shift in a terminal).
            std::vector<unsigned> mods;
            const bool paste = s.keyCode == KEY_V && (s.flags & FLAG_COMMAND);
            if (s.flags & (FLAG_COMMAND | FLAG_CONTROL)) mods.push_back(code(XK_Control_L));
            if ((s.flags & FLAG_SHIFT) || (paste && terminal)) mods.push_back(code(XK_Shift_L));
            if (s.flags & FLAG_OPTION) mods.push_back(code(XK_Alt_L));
            if (std::find(mods.begin(), mods.end(), 0u) != mods.end()) return false;
            if (s.down) {
                for (unsigned m : mods) presses.push_back({m, true});
                presses.push_back({key, true});
            } else {
                presses.push_back({key, false});
                for (auto it = mods.rbegin(); it != mods.rend(); ++it) presses.push_back({*it, false});
            }
        }
        ErrorTrap trap(d);
        for (const Press& p : presses) XTestFakeKeyEvent(d, p.keycode, p.down ? True : False, CurrentTime);
        return !trap.failed();
    });
}

}  // namespace talkweft::platform::linuxdesktop

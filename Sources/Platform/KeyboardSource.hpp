// The keyboard as the hotkeys see it: key-down events, modifier-flag changes, and the live
// modifier state. Raw modifier flags use the ModKey bit layout (device-dependent bits, so left and
// right keys differ; see TalkweftCore/Chord.hpp).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace talkweft::platform {

struct KeyboardEvent {
    enum class Type { keyDown = 10, flagsChanged = 12 };
    Type type = Type::keyDown;
    std::uint16_t keyCode = 0;   // virtual key code (KEY_ESCAPE for Esc)
    bool isEscape = false;       // key-down of the Esc key
    std::uint64_t rawFlags = 0;  // modifier flags after the event
};

// Events meant for other apps (global) or for this app's own windows and menus (local).
enum class MonitorScope { global, local };

using MonitorId = std::uint64_t;

class KeyboardSource {
public:
    virtual ~KeyboardSource() = default;

    // Installs a monitor; `handler` runs on the main thread for each key-down and flags-changed
    // event of `scope`. Local events still reach this app's windows. Returns an id for
    // removeMonitor, or absent when the monitor could not be installed. Main thread.
    virtual std::optional<MonitorId> addMonitor(MonitorScope scope, std::function<void(const KeyboardEvent&)> handler) = 0;

    // Removes a monitor; unknown ids are ignored. Main thread.
    virtual void removeMonitor(MonitorId id) = 0;

    // The live modifier flags of the keyboard (read without an event). Main thread.
    virtual std::uint64_t currentFlags() = 0;
};

}  // namespace talkweft::platform

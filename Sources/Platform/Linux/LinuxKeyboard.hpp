// The keyboard on X11: XInput2 raw key events on the root window (they arrive whichever window has
// the focus, also during another client's keyboard grab, and include XTest keys), and key synthesis
// through XTest with the exact keycodes.
//
// Modifier keys are told apart by keycode (left and right differ) and reported in the ModKey flag
// layout: Alt is Option, Super is Command. Events reach the global monitors on the main loop (no
// key of this process's own windows is told apart, so local monitors get none).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/KeySynth.hpp"
#include "Platform/KeyboardSource.hpp"
#include "Platform/MainLoop.hpp"
#include "Platform/Linux/XConnection.hpp"

namespace talkweft::platform::linuxdesktop {

// Device-dependent bits of the modifier flags (left and right keys differ).
inline constexpr std::uint64_t RAW_LEFT_CONTROL = 0x01;
inline constexpr std::uint64_t RAW_LEFT_SHIFT = 0x02;
inline constexpr std::uint64_t RAW_RIGHT_SHIFT = 0x04;
inline constexpr std::uint64_t RAW_LEFT_COMMAND = 0x08;
inline constexpr std::uint64_t RAW_RIGHT_COMMAND = 0x10;
inline constexpr std::uint64_t RAW_LEFT_OPTION = 0x20;
inline constexpr std::uint64_t RAW_RIGHT_OPTION = 0x40;
inline constexpr std::uint64_t RAW_RIGHT_CONTROL = 0x2000;

// The raw flags of a set of held modifier bits, with the device-independent flag of each side added.
std::uint64_t withSideIndependentFlags(std::uint64_t deviceBits);

// Whether a window class names a terminal emulator (they paste with Ctrl+Shift+V).
bool isTerminalClass(const std::string& wmClass);

class LinuxKeyboard : public KeyboardSource, public KeySynth {
public:
    // `frontClass` gives the WM_CLASS of the focused window (for the terminal paste chord).
    LinuxKeyboard(XEventThread& events, XRequests& requests, MainLoop& loop, std::function<std::string()> frontClass);
    ~LinuxKeyboard() override;

    // KeyboardSource
    std::optional<MonitorId> addMonitor(MonitorScope scope, std::function<void(const KeyboardEvent&)> handler) override;
    void removeMonitor(MonitorId id) override;
    std::uint64_t currentFlags() override;

    // KeySynth: Command-V is posted as Ctrl+V (Ctrl+Shift+V into a terminal).
    bool post(const std::vector<KeyStroke>& strokes) override;

    // False when the server lacks XInput2 (no events then).
    bool listening() const { return listening_; }

    // The device bit of an X keycode; 0 for a key that is no modifier.
    std::uint64_t bitOfKeycode(unsigned keycode) const;

private:
    void onRawKey(unsigned keycode, bool press);
    void deliver(const KeyboardEvent& event);

    XEventThread& events_;
    XRequests& requests_;
    MainLoop& loop_;
    std::function<std::string()> frontClass_;
    std::map<unsigned, std::uint64_t> modifierBits_;  // keycode -> device bit (fixed after start)
    unsigned escapeKeycode_ = 9;
    int xiOpcode_ = -1;
    bool listening_ = false;
    std::uint64_t handlerId_ = 0;
    std::uint64_t heldBits_ = 0;  // event thread
    MonitorId nextId_ = 1;
    std::map<MonitorId, std::function<void(const KeyboardEvent&)>> monitors_;  // main thread
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

}  // namespace talkweft::platform::linuxdesktop

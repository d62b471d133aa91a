// Screen capture: the list of on-screen windows and a still image of one window.
// Thread-safe: screenshots are taken off the main thread.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "Platform/Geometry.hpp"

namespace talkweft::platform {

// One entry of the window list. Fields a desktop does not report are absent.
struct WindowInfo {
    std::optional<std::int64_t> ownerPID;
    std::optional<std::int64_t> layer;   // 0: normal windows; floating panels and bars are above 0
    std::optional<std::int64_t> number;  // the window's id, as given to captureWindow
    Rect bounds;
};

// An image in 8-bit RGBA, rows top to bottom, no padding (rgba.size() == width * height * 4).
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

class ScreenCapture {
public:
    virtual ~ScreenCapture() = default;

    // True when this process may capture the screen; never asks the user.
    virtual bool preflightAccess() = 0;

    // Asks the user for screen-capture access (the answer is not awaited). False when it cannot ask.
    virtual bool requestAccess() = 0;

    // On-screen windows, desktop elements excluded, front to back. Absent when unreadable.
    virtual std::optional<std::vector<WindowInfo>> windowList() = 0;

    // One still image of window `number` alone (no cursor), at the window's size in pixels (its size
    // in points times the screen's scale, truncated). Absent when the window cannot be captured.
    virtual std::optional<Image> captureWindow(std::uint32_t number) = 0;
};

}  // namespace talkweft::platform

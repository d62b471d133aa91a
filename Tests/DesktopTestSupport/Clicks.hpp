// Real clicks through XTest. Two presses of one button close together in time and place are a
// double-click to the toolkits, and Qt's tray icon, for one, opens no menu on a double-click: a
// click that repeats the previous click's button near the same place waits out the double-click
// time first, so every click here is a single click.
#pragma once

#include <chrono>

struct _XDisplay;  // Xlib's Display

namespace desktoptest {

// The double-click time of Qt and GTK when no XSETTINGS manager sets another one (the sessions run
// none) and the distance within which a second press counts, with room to spare.
inline constexpr std::chrono::milliseconds DOUBLE_CLICK_INTERVAL{400};
inline constexpr int DOUBLE_CLICK_DISTANCE = 10;

// Moves the pointer to (x, y) on the root window and presses and releases `button` there; returns
// once the X server has handled the events.
void click(_XDisplay* display, int x, int y, unsigned button = 1);

}  // namespace desktoptest

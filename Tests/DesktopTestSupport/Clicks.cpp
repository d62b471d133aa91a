#include "Clicks.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

namespace desktoptest {

namespace {

struct LastPress {
    unsigned button = 0;
    int x = 0, y = 0;
    std::chrono::steady_clock::time_point handled;  // the server had stamped the press by then
};

// For the whole process: any connection's clicks reach the same X server's clients.
std::mutex g_mutex;
std::optional<LastPress> g_last;

}  // namespace

void click(Display* d, int x, int y, unsigned button) {
    std::lock_guard lock(g_mutex);
    // The toolkits compare the presses' server times (milliseconds of the same monotonic clock):
    // a press sent a full interval after the previous one was handled is stamped more than the
    // interval later.
    if (g_last && g_last->button == button && std::abs(g_last->x - x) <= DOUBLE_CLICK_DISTANCE &&
        std::abs(g_last->y - y) <= DOUBLE_CLICK_DISTANCE)
        std::this_thread::sleep_until(g_last->handled + DOUBLE_CLICK_INTERVAL + std::chrono::milliseconds(10));
    XTestFakeMotionEvent(d, -1, x, y, CurrentTime);
    XTestFakeButtonEvent(d, button, True, CurrentTime);
    XSync(d, False);
    g_last = LastPress{button, x, y, std::chrono::steady_clock::now()};
    XTestFakeButtonEvent(d, button, False, CurrentTime);
    XSync(d, False);
}

}  // namespace desktoptest

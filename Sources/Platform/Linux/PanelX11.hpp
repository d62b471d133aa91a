// The few X11 requests the heads-up panel window needs beyond what Qt offers: an input region that
// lets clicks through, whether a compositing manager runs, and where the active window stands.
// Kept apart from the Qt code so that Xlib's macros never meet Qt's headers.
#pragma once

#include <optional>
#include <string>

struct _XDisplay;

namespace talkweft::platform::linuxdesktop {

struct RootPoint {
    int x = 0;
    int y = 0;
};

// Makes `window`'s input region empty (clicks fall through to what lies below) or the whole window
// again. `display` is the connection that created the window (requests stay in order); flushed.
void setPanelInputEmpty(_XDisplay* display, unsigned long window, bool empty);

// True when `window`'s input region is empty.
bool panelInputEmpty(_XDisplay* display, unsigned long window);

// A connection of its own, to the server of `sameServerAs`, for reads about the desktop.
class PanelDesktopQueries {
public:
    explicit PanelDesktopQueries(_XDisplay* sameServerAs);
    ~PanelDesktopQueries();
    PanelDesktopQueries(const PanelDesktopQueries&) = delete;
    PanelDesktopQueries& operator=(const PanelDesktopQueries&) = delete;

    bool connected() const { return display_ != nullptr; }
    // True when a compositing manager owns the screen's _NET_WM_CM_S<n> selection.
    bool compositorRunning();
    // The centre of the active window (the window manager's, else the input focus's top-level) in
    // root coordinates; absent when no window is active.
    std::optional<RootPoint> activeWindowCentre();

private:
    _XDisplay* display_ = nullptr;
};

}  // namespace talkweft::platform::linuxdesktop

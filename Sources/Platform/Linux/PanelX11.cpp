#include "Platform/Linux/PanelX11.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/shape.h>

#include "Platform/Linux/LinuxWorkspace.hpp"
#include "Platform/Linux/XConnection.hpp"

namespace talkweft::platform::linuxdesktop {

void setPanelInputEmpty(Display* display, unsigned long window, bool empty) {
    if (display == nullptr || window == 0) return;
    int event = 0, error = 0;
    if (!XFixesQueryExtension(display, &event, &error)) return;
    if (empty) {
        XserverRegion region = XFixesCreateRegion(display, nullptr, 0);
        XFixesSetWindowShapeRegion(display, window, ShapeInput, 0, 0, region);
        XFixesDestroyRegion(display, region);
    } else {
        // No region: the input shape goes back to the window's whole (bounding) shape, whatever
        // size the window takes later.
        XFixesSetWindowShapeRegion(display, window, ShapeInput, 0, 0, None);
    }
    XFlush(display);
}

bool panelInputEmpty(Display* display, unsigned long window) {
    if (display == nullptr || window == 0) return false;
    int count = 0, ordering = 0;
    XRectangle* rects = XShapeGetRectangles(display, window, ShapeInput, &count, &ordering);
    if (rects != nullptr) XFree(rects);
    return count == 0;
}

PanelDesktopQueries::PanelDesktopQueries(Display* sameServerAs) {
    if (sameServerAs == nullptr) return;
    initXlib();
    display_ = XOpenDisplay(DisplayString(sameServerAs));
}

PanelDesktopQueries::~PanelDesktopQueries() {
    if (display_ != nullptr) XCloseDisplay(display_);
}

bool PanelDesktopQueries::compositorRunning() {
    if (display_ == nullptr) return false;
    const std::string name = "_NET_WM_CM_S" + std::to_string(DefaultScreen(display_));
    return XGetSelectionOwner(display_, XInternAtom(display_, name.c_str(), False)) != None;
}

std::optional<RootPoint> PanelDesktopQueries::activeWindowCentre() {
    if (display_ == nullptr) return std::nullopt;
    const auto facts = activeWindow(display_);
    if (!facts || facts->window == None) return std::nullopt;
    ErrorTrap trap(display_);
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display_, facts->window, &attributes)) return std::nullopt;
    int x = 0, y = 0;
    Window child = None;
    if (!XTranslateCoordinates(display_, facts->window, DefaultRootWindow(display_), attributes.width / 2, attributes.height / 2, &x,
                               &y, &child))
        return std::nullopt;
    if (trap.failed()) return std::nullopt;
    return RootPoint{x, y};
}

}  // namespace talkweft::platform::linuxdesktop

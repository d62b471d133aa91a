#include "Platform/Linux/X11ScreenCapture.hpp"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace talkweft::platform::linuxdesktop {

namespace {

// The client windows bottom to top (the window manager's stacking list, else its client list).
std::vector<Window> clientWindows(Display* d) {
    const Window root = DefaultRootWindow(d);
    for (const char* name : {"_NET_CLIENT_LIST_STACKING", "_NET_CLIENT_LIST"})
        if (auto list = readCardinals(d, root, XInternAtom(d, name, False), XA_WINDOW))
            return std::vector<Window>(list->begin(), list->end());
    return {};
}

int shiftOf(unsigned long mask) {
    int shift = 0;
    while (mask != 0 && (mask & 1) == 0) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

int widthOf(unsigned long mask) {
    mask >>= shiftOf(mask);
    int bits = 0;
    while (mask & 1) {
        mask >>= 1;
        ++bits;
    }
    return bits;
}

std::uint8_t channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) return 0;
    const unsigned long v = (pixel & mask) >> shiftOf(mask);
    const int bits = widthOf(mask);
    return static_cast<std::uint8_t>(bits >= 8 ? v >> (bits - 8) : v * 255 / ((1ul << bits) - 1));
}

}  // namespace

X11ScreenCapture::X11ScreenCapture(XRequests& requests) : requests_(requests) {
    requests_.with([](Display* d) {
        int event = 0, error = 0, major = 0, minor = 4;
        if (!XCompositeQueryExtension(d, &event, &error) || !XCompositeQueryVersion(d, &major, &minor)) return;
        ErrorTrap trap(d);
        XCompositeRedirectSubwindows(d, DefaultRootWindow(d), CompositeRedirectAutomatic);
        (void)trap.failed();  // a compositing manager may hold the manual redirection: its storage serves as well
    });
}

std::optional<std::vector<WindowInfo>> X11ScreenCapture::windowList() {
    return requests_.with([](Display* d) -> std::optional<std::vector<WindowInfo>> {
        const Window root = DefaultRootWindow(d);
        const Atom type = XInternAtom(d, "_NET_WM_WINDOW_TYPE", False);
        const std::vector<Atom> raised = {XInternAtom(d, "_NET_WM_WINDOW_TYPE_DOCK", False),
                                          XInternAtom(d, "_NET_WM_WINDOW_TYPE_NOTIFICATION", False),
                                          XInternAtom(d, "_NET_WM_WINDOW_TYPE_TOOLTIP", False),
                                          XInternAtom(d, "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", False),
                                          XInternAtom(d, "_NET_WM_WINDOW_TYPE_POPUP_MENU", False)};
        const Atom desktop = XInternAtom(d, "_NET_WM_WINDOW_TYPE_DESKTOP", False);
        std::vector<WindowInfo> out;
        auto windows = clientWindows(d);
        std::reverse(windows.begin(), windows.end());  // front to back
        for (Window w : windows) {
            ErrorTrap trap(d);
            XWindowAttributes attrs{};
            if (!XGetWindowAttributes(d, w, &attrs) || attrs.map_state != IsViewable) continue;
            int x = 0, y = 0;
            Window child = None;
            XTranslateCoordinates(d, w, root, 0, 0, &x, &y, &child);
            WindowInfo info;
            info.number = static_cast<std::int64_t>(w);
            info.bounds = {static_cast<double>(x), static_cast<double>(y), static_cast<double>(attrs.width),
                           static_cast<double>(attrs.height)};
            info.layer = 0;
            if (auto types = readCardinals(d, w, type, XA_ATOM)) {
                if (std::find(types->begin(), types->end(), desktop) != types->end()) continue;
                for (Atom t : *types)
                    if (std::find(raised.begin(), raised.end(), t) != raised.end()) info.layer = 1;
            }
            if (auto pid = readCardinals(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL); pid && !pid->empty())
                info.ownerPID = static_cast<std::int64_t>((*pid)[0]);
            if (trap.failed()) continue;  // gone meanwhile
            out.push_back(info);
        }
        return out;
    });
}

std::optional<Image> X11ScreenCapture::captureWindow(std::uint32_t number) {
    return requests_.with([number](Display* d) -> std::optional<Image> {
        const Window w = number;
        ErrorTrap trap(d);
        XWindowAttributes attrs{};
        if (!XGetWindowAttributes(d, w, &attrs) || attrs.map_state != IsViewable || attrs.width <= 0 || attrs.height <= 0)
            return std::nullopt;
        // Raise it (through the window manager) and wait until it is on top of the stacking list.
        XRaiseWindow(d, w);
        XSync(d, False);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < deadline) {
            const auto stack = clientWindows(d);
            if (stack.empty() || stack.back() == w || std::find(stack.begin(), stack.end(), w) == stack.end()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // until the window manager has restacked
        }
        XImage* image = XGetImage(d, w, 0, 0, static_cast<unsigned>(attrs.width), static_cast<unsigned>(attrs.height), AllPlanes, ZPixmap);
        if (image == nullptr || trap.failed()) {
            if (image) XDestroyImage(image);
            return std::nullopt;
        }
        Image out;
        out.width = image->width;
        out.height = image->height;
        out.rgba.resize(static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height) * 4);
        const bool fast = image->bits_per_pixel == 32 && image->red_mask == 0xff0000 && image->green_mask == 0xff00 &&
                          image->blue_mask == 0xff && image->byte_order == LSBFirst;
        std::uint8_t* dst = out.rgba.data();
        for (int y = 0; y < out.height; ++y) {
            const auto* row = reinterpret_cast<const std::uint8_t*>(image->data + static_cast<std::ptrdiff_t>(y) * image->bytes_per_line);
            for (int x = 0; x < out.width; ++x, dst += 4) {
                if (fast) {
                    dst[0] = row[x * 4 + 2];
                    dst[1] = row[x * 4 + 1];
                    dst[2] = row[x * 4 + 0];
                } else {
                    const unsigned long pixel = XGetPixel(image, x, y);
                    dst[0] = channel(pixel, image->red_mask);
                    dst[1] = channel(pixel, image->green_mask);
                    dst[2] = channel(pixel, image->blue_mask);
                }
                dst[3] = 255;
            }
        }
        XDestroyImage(image);
        return out;
    });
}

}  // namespace talkweft::platform::linuxdesktop

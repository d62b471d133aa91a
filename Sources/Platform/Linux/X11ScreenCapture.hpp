// Screen capture on X11: the window manager's client list (front to back) and one window's image
// read with XGetImage. Without compositing, whatever of a window lies under other windows holds no
// picture: the top-level windows are redirected to off-screen storage (Composite, automatic: the
// server still draws the screen), and a window is raised before its capture in any case.
// X11 needs no permission. Thread-safe.
#pragma once

#include "Platform/ScreenCapture.hpp"
#include "Platform/Linux/XConnection.hpp"

namespace talkweft::platform::linuxdesktop {

class X11ScreenCapture : public ScreenCapture {
public:
    explicit X11ScreenCapture(XRequests& requests);

    bool preflightAccess() override { return true; }
    bool requestAccess() override { return true; }
    std::optional<std::vector<WindowInfo>> windowList() override;
    std::optional<Image> captureWindow(std::uint32_t number) override;

private:
    XRequests& requests_;
};

}  // namespace talkweft::platform::linuxdesktop

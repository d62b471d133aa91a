// The workspace on an X11 desktop: the active window from the window manager's _NET_ACTIVE_WINDOW
// (the input focus without one) with its pid, WM_CLASS and title; the app id is the app's
// desktop-entry id where one is found (its GTK application id, or an entry whose StartupWMClass or
// name matches the window class), else the WM_CLASS class. Activation changes arrive as property
// changes on the root window. Opening a path runs xdg-open.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/DesktopEntries.hpp"
#include "Platform/MainLoop.hpp"
#include "Platform/Workspace.hpp"
#include "Platform/Linux/XConnection.hpp"

namespace talkweft::platform::linuxdesktop {

// The installed applications' entries (hidden ones left out), from the applications folders of
// $XDG_DATA_HOME and $XDG_DATA_DIRS (earlier folders win).
std::vector<DesktopEntry> readDesktopEntries();

// The entry for a window: by GTK application id, then StartupWMClass, then id equal to the class
// or instance name (case-insensitive).
std::optional<DesktopEntry> findDesktopEntry(const std::vector<DesktopEntry>& entries, const std::string& gtkApplicationID,
                                             const std::string& wmClass, const std::string& wmInstance);

struct WindowFacts {
    Window window = None;
    std::optional<std::int32_t> pid;
    std::string wmInstance, wmClass, title, gtkApplicationID;
};

// The facts of the active window; absent when no window is active.
std::optional<WindowFacts> activeWindow(Display* d);

class LinuxWorkspace : public Workspace {
public:
    LinuxWorkspace(XEventThread& events, XRequests& requests, MainLoop& loop);
    ~LinuxWorkspace() override;

    std::optional<RunningApp> frontmostApplication() override;
    ObserverId addActivationObserver(std::function<void(const RunningApp&)> handler) override;
    ObserverId addSleepObserver(std::function<void()> handler) override;
    void removeObserver(ObserverId id) override;
    bool openPath(const std::string& path) override;
    std::string userName() override;

    // The class of the active window ("" when none). Any thread.
    std::string frontClass();
    // Tells the sleep observers (the system's sleep notice). Main thread.
    void notifySleep();

private:
    void checkActivation();  // main thread
    const std::vector<DesktopEntry>& entries();

    XEventThread& events_;
    XRequests& requests_;
    MainLoop& loop_;
    std::uint64_t handler_ = 0;
    Atom activeAtom_ = None;
    ObserverId nextId_ = 1;
    std::map<ObserverId, std::function<void(const RunningApp&)>> activation_;
    std::map<ObserverId, std::function<void()>> sleep_;
    std::optional<RunningApp> lastFront_;
    std::once_flag entriesOnce_;
    std::vector<DesktopEntry> entries_;
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

}  // namespace talkweft::platform::linuxdesktop

// The workspace: which app is in front, notices of app activation and of the machine going to
// sleep, opening a file or folder with the desktop's default handler, the user's login name.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace talkweft::platform {

// A running application as the desktop knows it. On Linux the app id is the desktop-entry id
// (reverse-DNS where the app has one), else the window's WM_CLASS.
struct RunningApp {
    std::int32_t pid = 0;
    std::optional<std::string> bundleID;       // app id; absent when the desktop knows none
    std::optional<std::string> localizedName;  // display name; absent when unknown

    bool operator==(const RunningApp&) const = default;
};

using ObserverId = std::uint64_t;

class Workspace {
public:
    virtual ~Workspace() = default;

    // The app whose window has the keyboard focus; absent when there is none. Main thread.
    virtual std::optional<RunningApp> frontmostApplication() = 0;

    // Calls `handler` on the main thread each time an app becomes the frontmost one. Returns an id
    // for removeObserver (never 0). Main thread.
    virtual ObserverId addActivationObserver(std::function<void(const RunningApp&)> handler) = 0;

    // Calls `handler` on the main thread when the machine is about to sleep. Main thread.
    virtual ObserverId addSleepObserver(std::function<void()> handler) = 0;

    // Removes an observer; unknown ids are ignored. Main thread.
    virtual void removeObserver(ObserverId id) = 0;

    // Opens a file or folder with the desktop's default handler (a folder in the file browser).
    // Returns false when the handler could not be started. Main thread.
    virtual bool openPath(const std::string& path) = 0;

    // The login name of the user this process runs for (empty when unknown). Any thread.
    virtual std::string userName() = 0;
};

}  // namespace talkweft::platform

// The real Linux desktop on X11: the keyboard, key synthesis, workspace, clipboard and screen
// capture of the X server, and the fields of other apps through AT-SPI. X events are read on an
// event thread of their own and handed to the main loop; logind's sleep notices reach the
// workspace's observers.
//
// The main loop is either one of its own on the real clock (tests, tools) or the application's,
// given to it (the loop of the toolkit that draws the windows).
//
// A LinuxDesktop owns its services; platform() gathers them. Services it does not build (defaults,
// sounds, panel, status item, login item, microphone) are attached by its owner.
// Create it on the thread that will run the loop.
#pragma once

#include <memory>
#include <string>

#include "Platform/Headless/HeadlessLoop.hpp"
#include "Platform/Linux/AtspiAccessibility.hpp"
#include "Platform/Linux/LinuxKeyboard.hpp"
#include "Platform/Linux/LinuxWorkspace.hpp"
#include "Platform/Linux/LogindSleep.hpp"
#include "Platform/Linux/X11Pasteboard.hpp"
#include "Platform/Linux/X11ScreenCapture.hpp"
#include "Platform/Linux/XConnection.hpp"
#include "Platform/Platform.hpp"

namespace talkweft::platform::linuxdesktop {

// True when an X server answers on `displayName` ($DISPLAY when empty; false when that is unset).
bool displayAnswers(const std::string& displayName = {});

class LinuxDesktop {
public:
    // Connects to `displayName` ($DISPLAY when empty), with a main loop of its own on the real
    // clock. Throws std::runtime_error when no X server answers.
    explicit LinuxDesktop(const std::string& displayName = {});
    // The same on `loop`, which must outlive the desktop.
    explicit LinuxDesktop(MainLoop& loop, const std::string& displayName = {});
    ~LinuxDesktop();
    LinuxDesktop(const LinuxDesktop&) = delete;
    LinuxDesktop& operator=(const LinuxDesktop&) = delete;

    Platform& platform() { return platform_; }
    // The loop the services post to.
    MainLoop& mainLoop() { return *loop_; }
    // The loop of its own. Throws std::logic_error on a desktop made on an outside loop.
    headless::HeadlessLoop& loop();
    LinuxKeyboard& keyboard() { return *keyboard_; }
    LinuxWorkspace& workspace() { return *workspace_; }
    X11Pasteboard& pasteboard() { return *pasteboard_; }
    X11ScreenCapture& screen() { return *screen_; }
    LogindSleep& sleepNotices() { return *sleep_; }
    AtspiAccessibility& accessibility() { return *accessibility_; }
    const std::string& displayName() const { return displayName_; }

private:
    void start(const std::string& displayName);

    std::string displayName_;
    std::unique_ptr<headless::HeadlessLoop> ownLoop_;
    MainLoop* loop_;
    std::unique_ptr<XRequests> requests_;
    std::unique_ptr<XRequests> captureRequests_;  // a capture waits for the raise: it holds no one else up
    std::unique_ptr<XEventThread> events_;
    std::unique_ptr<LinuxWorkspace> workspace_;
    std::unique_ptr<LinuxKeyboard> keyboard_;
    std::unique_ptr<X11Pasteboard> pasteboard_;
    std::unique_ptr<X11ScreenCapture> screen_;
    std::unique_ptr<LogindSleep> sleep_;
    std::unique_ptr<AtspiAccessibility> accessibility_;
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
    Platform platform_;
};

}  // namespace talkweft::platform::linuxdesktop

// The simulated desktop: apps with accessibility trees, a frontmost app, a pasteboard, a keyboard
// whose Command-V pastes into the focused field after a set delay, a screen with a window list,
// in-memory defaults and a main loop on a virtual clock. Tests (and headless runs) drive it.
//
// A Desktop owns its services; platform() gathers them. Services a Desktop does not build itself
// (sound, panel ...) are attached by whoever owns them: desktop.platform().sound = &mySound.
// Create and use it on one thread, which becomes the main thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Headless/HeadlessKeyboard.hpp"
#include "Platform/Headless/HeadlessLoop.hpp"
#include "Platform/Headless/HeadlessPasteboard.hpp"
#include "Platform/Headless/HeadlessScreen.hpp"
#include "Platform/Headless/MemoryDefaults.hpp"
#include "Platform/Headless/Nodes.hpp"
#include "Platform/Headless/SettingsWindow.hpp"
#include "Platform/Platform.hpp"

namespace talkweft::platform::headless {

class Desktop {
public:
    explicit Desktop(HeadlessLoop::ClockMode clock = HeadlessLoop::ClockMode::virtualClock);
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    // Every service of this desktop; the pointers stay valid while the Desktop lives.
    Platform& platform() { return platform_; }

    HeadlessLoop& loop() { return loop_; }
    HeadlessPasteboard& pasteboard() { return pasteboard_; }
    HeadlessKeyboard& keyboard() { return keyboard_; }
    HeadlessScreen& screen() { return screen_; }
    MemoryDefaults& defaults() { return defaults_; }
    SettingsWindowSurface& settingsWindow() { return settingsWindow_; }

    // ---- apps and the front ----
    // Adds a running app (not frontmost). Its element is what accessibility().application(pid) gives.
    std::shared_ptr<AppNode> addApp(std::int32_t pid, std::optional<std::string> bundleID,
                                    std::optional<std::string> name);
    std::shared_ptr<AppNode> app(std::int32_t pid) const;
    // Brings the app to the front and tells the activation observers.
    void activate(std::int32_t pid);
    // No app is in front.
    void clearFrontmost() { frontmost_.reset(); }
    std::shared_ptr<AppNode> frontmost() const;
    // Tells the sleep observers that the machine is about to sleep.
    void sleep();
    // Paths given to Workspace::openPath, in order.
    std::vector<std::string> openedPaths;
    // Answer of Workspace::userName.
    std::string userName = "tester";

    // ---- accessibility ----
    void setTrusted(bool trusted) { trusted_ = trusted; }
    int trustPrompts() const { return trustPrompts_; }
    // The system-wide element (its `answers` flag makes it fail every read).
    SystemWideNode& systemWide() { return *systemWide_; }

    // ---- pasting ----
    // Time between a posted Command-V and the text landing in the focused field (default 0.05 s).
    Duration pasteDelay = seconds(0.05);
    // Number of Command-V chords that landed in a field.
    int pastesLanded = 0;

private:
    class WorkspaceImpl;
    class AccessibilityImpl;
    void landPaste();

    HeadlessLoop loop_;
    HeadlessPasteboard pasteboard_;
    HeadlessKeyboard keyboard_;
    HeadlessScreen screen_;
    MemoryDefaults defaults_;
    SettingsWindowSurface settingsWindow_;
    std::unique_ptr<WorkspaceImpl> workspace_;
    std::unique_ptr<AccessibilityImpl> accessibility_;
    std::shared_ptr<SystemWideNode> systemWide_;
    std::map<std::int32_t, std::shared_ptr<AppNode>> apps_;
    std::optional<std::int32_t> frontmost_;
    bool trusted_ = true;
    int trustPrompts_ = 0;
    Platform platform_;
};

}  // namespace talkweft::platform::headless

// The status item (tray icon) and its menu, kept as a data model that the backend renders.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace talkweft::platform {

struct MenuItem {
    std::string title;
    bool separator = false;
    bool enabled = true;
    bool checked = false;
    std::string keyEquivalent;     // with the Command (Super) modifier; empty: none
    std::function<void()> action;  // absent for disabled lines

    static MenuItem line(std::string title) { return {std::move(title), false, false, false, {}, {}}; }
    static MenuItem divider() { return {{}, true, false, false, {}, {}}; }
};

// What the application is doing, shown by the icon.
enum class StatusActivity { idle, recording, working };

// Main thread.
class StatusItem {
public:
    virtual ~StatusItem() = default;
    // The icon: a symbol name and the text screen readers announce.
    virtual void setIcon(const std::string& symbol, const std::string& accessibilityDescription) = 0;
    // Called each time the menu is about to open; its answer is the menu shown.
    virtual void setMenuBuilder(std::function<std::vector<MenuItem>()> build) = 0;
    // The icon's state: idle, recording (the microphone is on) or working (transcribing, the agent).
    virtual void setActivity(StatusActivity) {}
};

}  // namespace talkweft::platform

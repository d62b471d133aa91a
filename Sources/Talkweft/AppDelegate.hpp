// The application: its launch steps, the status item's menu (rebuilt each time it opens) with its
// actions, the login item, and the URL commands "run" and "probe".
//
// Uses the current platform. Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/StatusItem.hpp"
#include "Talkweft/Controller.hpp"

namespace talkweft {

namespace LoginItem {
// Registers (true) or removes (false) the application as a login item; a failure is logged as
// "login item: <description>" and not reported.
void set(bool on);
}  // namespace LoginItem

// Longest delay a URL command may ask for, in seconds; longer ones are cut to it.
inline constexpr double MAX_URL_DELAY_SECONDS = 60;

// The settings window, made once on first use and kept when closed. The platform's settings-window
// surface shows it (the settings view edits the settings through the store and lists the stored
// history contexts).
struct SettingsWindow {
    std::string title = "Talkweft Settings";
    SettingsStore* store = nullptr;  // edits are written back through it
    HistoryStore history{""};         // a copy of the controller's store, for listing and clearing contexts
    int presentations = 0;           // times it was brought to the front
};

class AppDelegate {
public:
    // `transcriber` null: the application's own. The settings come from the platform's defaults.
    explicit AppDelegate(std::shared_ptr<Transcriber> transcriber = nullptr);
    ~AppDelegate();

    // The launch steps: status item and menu, URL commands, activation observer, status routing,
    // first-launch login item, permission prompts, then (after the microphone permission) the
    // hotkeys and the speech model; logs "launched".
    void applicationDidFinishLaunching();

    // The menu as it opens: captures the front app's context first.
    std::vector<platform::MenuItem> menuNeedsUpdate();

    void toggleApp();
    void forget();
    void toggleConnectors();
    void openHistory();
    void openLog();
    void openSettings();
    void quit();

    // A URL command ("talkweft://run?mode=agent&text=...", "talkweft://probe?delay=1"). Bad input is
    // ignored with a log line.
    void handleURL(const std::string& url);

    SettingsStore settings;
    Controller& controller();
    std::string status = "Starting…";
    // Called after each change of `status` (the menu reads it when it opens; a headless run prints it).
    std::function<void(const std::string&)> onStatusChange = [](const std::string&) {};
    std::optional<Capture> menuCapture;
    std::optional<SettingsWindow> settingsWindow;

private:
    void afterDelay(double delay, std::function<void()> job);

    std::shared_ptr<Transcriber> transcriber_;
    std::unique_ptr<Controller> controller_;
    std::uint64_t activationObserver_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::vector<std::unique_ptr<std::jthread>> waits_;
};

// The query items of a URL as name -> value (percent-decoded; the first of a repeated name wins;
// an item without "=" has the empty value). Absent when the URL does not parse.
std::optional<std::vector<std::pair<std::string, std::string>>> calcQueryItems(const std::string& url);

// A "delay" value in seconds: a decimal number, else 0; negative, infinite or not-a-number give 0,
// and values above MAX_URL_DELAY_SECONDS are cut to it.
double calcURLDelay(const std::string& value);

}  // namespace talkweft

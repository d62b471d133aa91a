// The settings window's view: four tabs (General, Agent, Apps, History) whose controls write
// straight into the settings store, which publishes and saves each change at once. It also shows
// the state of the desktop permissions the program needs and lists and clears the stored history
// contexts (disk and git work runs on a worker thread).
//
// UI thread only.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QWidget>

#include "Talkweft/SettingsStore.hpp"
#include "Talkweft/Settings/WorkQueue.hpp"
#include "TalkweftCore/History.hpp"

class QCheckBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTabWidget;
class QVBoxLayout;

namespace talkweft {

class Stepper;

// A question the user must answer before a risky change.
struct Confirmation {
    std::string title;
    std::string message;
    std::string confirmButton;  // the destructive choice; the other one is "Cancel"
};

// What the view asks of the desktop besides the platform layer. Tests replace members.
struct SettingsEnvironment {
    // Asks `question`; true when the user chose its confirm button.
    std::function<bool(const Confirmation& question)> confirm;
    // Opens the desktop's settings for a permission ("Privacy_Accessibility",
    // "Privacy_Microphone", "Privacy_ScreenCapture").
    std::function<void(const std::string& pane)> openPane;
    // Shows a folder selected in the file manager.
    std::function<void(const std::filesystem::path& folder)> reveal;
    // Lets the user pick an installed application; its id, or nothing when cancelled.
    std::function<std::optional<std::string>()> pickApp;
    // The display name of the installed application `id`; nothing when it is not installed.
    std::function<std::optional<std::string>(const std::string& id)> appName;
    // The current time, for the history list's relative dates.
    std::function<Date()> now;
};

// The environment of the running desktop: message boxes, the desktop's settings app, the file
// manager over D-Bus (else the folder opened), the installed desktop entries. `parent` parents the
// dialogs.
SettingsEnvironment makeDesktopEnvironment(QWidget* parent);

class SettingsView : public QWidget {
public:
    // `store` must outlive the view. An environment member left empty takes the desktop's.
    SettingsView(SettingsStore& store, HistoryStore history, SettingsEnvironment environment = {},
                 QWidget* parent = nullptr);
    ~SettingsView() override;

    // Reads the stored contexts again (on the worker) and rebuilds the Permissions section.
    void reload();

    // Raises the desktop's capture request when capture is not allowed; otherwise captures this
    // process's front window once (on the worker) and deletes the picture, so the desktop asks any
    // capture question now rather than during a hotkey.
    void checkScreenshotAccess();

    // Waits until the worker's jobs and their completions have run. For tests and shutdown.
    void waitForIdle();

    // What the History tab shows: the contexts the last reload read, and how many reloads ran.
    const std::vector<StoredContext>& contexts() const { return contexts_; }
    int tick() const { return tick_; }

    QTabWidget* tabs() const { return tabs_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildGeneral();
    QWidget* buildAgent();
    QWidget* buildApps();
    QWidget* buildHistory();
    QWidget* chordPicker(const QString& name, ModKeySet Settings::*keys);
    // A check box named `name` bound to the setting `get` returns: a click stores it, a reload shows it.
    QCheckBox* settingToggle(const QString& text, const QString& name, bool& (*get)(Settings&));
    QWidget* permission(const QString& title, bool ok, const std::string& pane, const QString& detail);
    QWidget* appList(const QString& name, std::vector<std::string> Settings::*list);
    void rebuildPermissions();
    void showContexts();
    void clearContext(const std::filesystem::path& dir);
    void clearAllHistory();
    void showClearResult(const std::string& error);
    void refresh(const Settings& settings);

    SettingsStore& store_;
    HistoryStore history_;
    SettingsEnvironment env_;
    std::vector<StoredContext> contexts_;
    int tick_ = 0;
    bool loginItem_ = false;

    QTabWidget* tabs_ = nullptr;
    QGroupBox* permissions_ = nullptr;
    QListWidget* contextList_ = nullptr;
    QPushButton* clearAll_ = nullptr;
    QLabel* historyError_ = nullptr;
    // Each brings its controls up to date with a new record (signals blocked).
    std::vector<std::function<void(const Settings&)>> refreshers_;
    SettingsStore::SubscriptionId subscription_ = 0;
    WorkQueue work_;  // last: stopped first
};

// The history list's texts for one context.
QString calcContextTitle(const ContextRecord& record);
// "<app> · <user> · <n> edits · <relative date>".
QString calcContextCaption(const ContextRecord& record, Date now);
// A date relative to `now` in words: "now", "in 5 minutes", "2 hours ago", "yesterday",
// "tomorrow", "last week", "in 3 months", "last year" ...
std::string calcRelativeDate(Date date, Date now);

}  // namespace talkweft

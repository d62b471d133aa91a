// settings-screenshots DIR: shows the settings window with sample settings and a sample history
// and writes a PNG of each tab into DIR (settings-general.png, ...). Needs a display (run it
// through scripts/screenshots, which starts Xvfb and a window manager).
#include <cstdio>
#include <filesystem>

#include <QApplication>
#include <QScrollArea>
#include <QTabWidget>

#include "AudioInput/TestAudioSystem.hpp"
#include "Platform/Headless/Desktop.hpp"
#include "Platform/Headless/LoginItem.hpp"
#include "Talkweft/Settings/QtSettingsWindow.hpp"
#include "TalkweftCore/Context.hpp"

namespace fs = std::filesystem;
using namespace talkweft;

namespace {

// A context folder as the history store writes it, with a chosen last-seen date.
void addContext(const fs::path& root, const std::string& app, const std::string& bundleID, const std::string& subject,
                std::optional<std::string> documentPath, std::optional<std::string> url, std::optional<std::string> window,
                int edits, std::chrono::seconds age) {
    ContextRecord record;
    record.key = ContextKey{"dana", bundleID, subject};
    record.appName = app;
    record.documentPath = std::move(documentPath);
    record.url = std::move(url);
    record.windowTitle = std::move(window);
    record.lastSeen = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now()) - age;
    record.firstSeen = record.lastSeen - std::chrono::hours(24 * 40);
    record.editCount = edits;
    fs::path dir = root / record.key.relativePath();
    fs::create_directories(dir);
    std::FILE* f = std::fopen((dir / "context.json").c_str(), "w");
    if (!f) return;
    std::string text = record.toJSON().dump(2);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: settings-screenshots DIR\n");
        return 2;
    }
    const fs::path out = argv[1];
    fs::create_directories(out);
    const fs::path history = fs::temp_directory_path() / ("talkweft-shots-" + std::to_string(::getpid()));

    platform::headless::Desktop desktop(platform::headless::HeadlessLoop::ClockMode::realClock);
    platform::headless::LoginItemService loginItem;
    loginItem.registered = true;
    audioinput::TestAudioSystem audio;
    audio.addDevice("Built-in microphone", {48000, 1});
    desktop.platform().loginItem = &loginItem;
    desktop.platform().audio = &audio;
    desktop.screen().setAccess(false);  // shows a missing permission with its button
    platform::ScopedPlatform scope(desktop.platform());

    SettingsStore store(desktop.defaults());
    store.update([](Settings& s) {
        s.agentInstructions = "Keep it short. Sign emails \"Dana\".";
        s.claude.path = "/home/dana/.local/bin/claude";
        s.claude.connectorTools = "mcp__claude_ai_Gmail__search_threads mcp__claude_ai_Calendar__list_events";
        s.noHistoryApps = {"org.gnome.Terminal", "org.mozilla.firefox"};
    });
    using namespace std::chrono_literals;
    addContext(history, "Text Editor", "org.gnome.TextEditor", "doc:/home/dana/notes/plan.md", "/home/dana/notes/plan.md",
               std::nullopt, "plan.md", 14, 5min);
    addContext(history, "Firefox", "org.mozilla.firefox", "url:https://mail.example.com/compose",
               std::nullopt, "https://mail.example.com/compose", "Compose - Mail", 3, 26h);
    addContext(history, "Slack", "com.slack.Slack", "window:general", std::nullopt, std::nullopt, "general - Team", 1,
               24h * 9);

    QApplication app(argc, argv);
    SettingsEnvironment env;
    QtSettingsWindow surface(env);
    surface.present("Talkweft Settings", store, HistoryStore(history));
    SettingsView* view = surface.view();
    const char* names[] = {"general", "agent", "apps", "history"};
    int failures = 0;
    for (int i = 0; i < view->tabs()->count(); ++i) {
        view->tabs()->setCurrentIndex(i);
        view->waitForIdle();
        QApplication::processEvents();
        const fs::path file = out / (std::string("settings-") + names[i] + ".png");
        if (!surface.window()->grab().save(QString::fromStdString(file.string()))) {
            std::fprintf(stderr, "settings-screenshots: can't write %s\n", file.c_str());
            ++failures;
        } else {
            std::printf("%s\n", file.c_str());
        }
    }
    // The Agent tab scrolls: its whole content as well.
    view->tabs()->setCurrentIndex(1);
    QApplication::processEvents();
    if (auto* scroll = qobject_cast<QScrollArea*>(view->tabs()->widget(1))) {
        const fs::path file = out / "settings-agent-full.png";
        QWidget* content = scroll->widget();
        content->resize(content->width(), content->sizeHint().height());
        if (content->grab().save(QString::fromStdString(file.string())))
            std::printf("%s\n", file.c_str());
        else
            ++failures;
    }
    std::error_code ec;
    fs::remove_all(history, ec);
    return failures == 0 ? 0 : 1;
}

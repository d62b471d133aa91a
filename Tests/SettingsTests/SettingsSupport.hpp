// The settings view's test fixture: a QApplication on the offscreen platform, a simulated desktop
// with a microphone and a login-item registry, a store saving into the desktop's defaults, a real
// history folder, and a recording environment (answers to confirmations, picked apps, revealed
// folders, opened panes).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>

#include "AudioInput/TestAudioSystem.hpp"
#include "Platform/Headless/LoginItem.hpp"
#include "Talkweft/Settings/SettingsView.hpp"
#include "Talkweft/Settings/Widgets.hpp"
#include "TestSupport.hpp"

namespace talkweft::testing {

// One QApplication for the whole program, on the offscreen platform.
inline void ensureQApplication() {
    if (QApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "SettingsTests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

class SettingsViewTest : public ::testing::Test, public DesktopFixture {
protected:
    SettingsViewTest() {
        ensureQApplication();
        audio.addDevice("Test microphone", {16000, 1});
        desktop.platform().audio = &audio;
        desktop.platform().loginItem = &loginItem;
    }
    ~SettingsViewTest() override {
        if (view) view->waitForIdle();
        view.reset();
    }

    // Builds the view (after the test arranged the desktop and the store) and shows it.
    SettingsView& makeView() {
        SettingsEnvironment env;
        env.confirm = [this](const Confirmation& q) {
            asked.push_back(q);
            return answer;
        };
        env.openPane = [this](const std::string& pane) { panes.push_back(pane); };
        env.reveal = [this](const std::filesystem::path& dir) { revealed.push_back(dir); };
        env.pickApp = [this] { return picked; };
        env.appName = [](const std::string& id) -> std::optional<std::string> {
            if (id == "org.example.Editor") return "Editor";
            return std::nullopt;
        };
        env.now = [this] { return now; };
        view = std::make_unique<SettingsView>(store, history, env);
        view->show();
        view->waitForIdle();
        return *view;
    }

    // The view's child of type W named `name` (fails the test when missing).
    template <class W>
    W* find(const QString& name, QWidget* in = nullptr) {
        W* w = (in ? in : view.get())->findChild<W*>(name);
        EXPECT_NE(w, nullptr) << "no widget named " << name.toStdString();
        return w;
    }

    // The record saved in the defaults, as a new store would load it.
    Settings saved() { return SettingsStore(desktop.defaults()).value(); }

    audioinput::TestAudioSystem audio;
    platform::headless::LoginItemService loginItem;
    TempDir dir;
    SettingsStore store{desktop.defaults()};
    HistoryStore history{dir.path() / "History"};
    std::vector<Confirmation> asked;
    bool answer = false;
    std::vector<std::string> panes;
    std::vector<std::filesystem::path> revealed;
    std::optional<std::string> picked;
    Date now = std::chrono::system_clock::now();
    std::unique_ptr<SettingsView> view;
};

}  // namespace talkweft::testing

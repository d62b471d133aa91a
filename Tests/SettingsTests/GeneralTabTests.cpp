#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include "SettingsSupport.hpp"
#include "Talkweft/Settings/DesktopSettings.hpp"

namespace talkweft::testing {
namespace {

using GeneralTab = SettingsViewTest;

TEST_F(GeneralTab, TogglesAndLanguageAreStoredAndSavedAtOnce) {
    store.update([](Settings& s) { s.minHoldSeconds = 0.7; });
    makeView();
    auto* dictation = find<QCheckBox>("dictationEnabled");
    auto* cues = find<QCheckBox>("soundCues");
    ASSERT_TRUE(dictation && cues);
    EXPECT_TRUE(dictation->isChecked());
    dictation->click();
    cues->click();
    EXPECT_FALSE(saved().dictationEnabled);
    EXPECT_FALSE(saved().soundCues);

    // The language is stored with every keystroke.
    std::vector<std::string> seen;
    store.subscribe([&](const Settings& s) { seen.push_back(s.language); });
    seen.clear();
    QTest::keyClicks(find<QLineEdit>("language"), "de");
    EXPECT_EQ(seen, (std::vector<std::string>{"d", "de"}));
    EXPECT_EQ(saved().language, "de");
    EXPECT_EQ(saved().minHoldSeconds, 0.7) << "no control edits the minimum hold time";

    // A change made elsewhere (the tray menu) shows in the open window.
    store.update([](Settings& s) { s.soundCues = true; s.language = "fr"; });
    EXPECT_TRUE(cues->isChecked());
    EXPECT_EQ(find<QLineEdit>("language")->text(), "fr");
}

TEST_F(GeneralTab, WhisperModelIsTakenWhenEditingEndsNotPerKeystroke) {
    makeView();
    view->activateWindow();
    QApplication::setActiveWindow(view.get());
    auto* model = find<QLineEdit>("whisperModel");
    ASSERT_TRUE(model);
    int changes = 0;
    std::vector<std::string> models;
    store.subscribe([&](const Settings& s) { ++changes; models.push_back(s.whisperModel); });
    changes = 0;
    models.clear();

    model->setFocus();
    model->selectAll();
    QTest::keyClicks(model, "openai_whisper-tiny");
    EXPECT_EQ(changes, 0) << "a half-typed name starts nothing";
    EXPECT_EQ(saved().whisperModel, Settings::DEFAULT().whisperModel);

    // Another change arriving meanwhile leaves the edit in progress alone.
    store.update([](Settings& s) { s.soundCues = false; });
    EXPECT_EQ(model->text(), "openai_whisper-tiny");

    QTest::keyClick(model, Qt::Key_Return);
    EXPECT_EQ(saved().whisperModel, "openai_whisper-tiny");
    EXPECT_EQ(models.back(), "openai_whisper-tiny");
    const int afterReturn = changes;

    // Leaving the field takes the edit too; leaving it unchanged stores nothing.
    QTest::keyClicks(model, "-en");
    find<QLineEdit>("language")->setFocus();
    EXPECT_EQ(saved().whisperModel, "openai_whisper-tiny-en");
    EXPECT_EQ(changes, afterReturn + 1);
    model->setFocus();
    find<QLineEdit>("language")->setFocus();
    EXPECT_EQ(changes, afterReturn + 1);
}

TEST_F(GeneralTab, ChordPickerTogglesKeysAndShowsNoneForAnEmptyChord) {
    store.update([](Settings& s) { s.dictateChord = {}; });
    makeView();
    auto* picker = find<QToolButton>("dictateChord");
    ASSERT_TRUE(picker && picker->menu());
    EXPECT_EQ(picker->text(), "None");
    EXPECT_EQ(picker->width(), 220);
    const auto actions = picker->menu()->actions();
    ASSERT_EQ(actions.size(), 9);
    QStringList labels;
    for (auto* a : actions) labels << a->text();
    EXPECT_EQ(labels.join("|").toStdString(), "Left Alt|Right Alt|Left Super|Right Super|Left Ctrl|Right Ctrl|Left Shift|Right Shift|Fn");

    actions[1]->trigger();  // Right Alt
    EXPECT_EQ(picker->text(), "Right Alt");
    EXPECT_EQ(saved().dictateChord, (ModKeySet{ModKey::rightOption}));
    actions[8]->trigger();  // Fn
    actions[0]->trigger();  // Left Alt
    EXPECT_EQ(saved().dictateChord, (ModKeySet{ModKey::leftOption, ModKey::rightOption, ModKey::fn}));
    EXPECT_EQ(picker->text(), "Left Alt + Right Alt + Fn");
    EXPECT_TRUE(actions[0]->isChecked());

    // Nothing is enforced: the agent chord may equal the dictation chord, and a chord may be emptied.
    for (int i : {0, 1, 8}) actions[i]->trigger();
    EXPECT_EQ(picker->text(), "None");
    EXPECT_TRUE(saved().dictateChord.empty());
    EXPECT_EQ(saved().agentChord, Settings::DEFAULT().agentChord) << "the other picker keeps its chord";
}

TEST_F(GeneralTab, OpenAtLoginShowsTheRegistrationThatTookEffect) {
    loginItem.failure = "needs approval";
    makeView();
    auto* login = find<QCheckBox>("openAtLogin");
    ASSERT_TRUE(login);
    EXPECT_FALSE(login->isChecked());
    login->click();
    EXPECT_EQ(loginItem.calls, 1);
    EXPECT_FALSE(login->isChecked()) << "a refused registration leaves the toggle off";

    loginItem.failure.reset();
    login->click();
    EXPECT_TRUE(loginItem.registered);
    EXPECT_TRUE(login->isChecked());
    login->click();
    EXPECT_FALSE(loginItem.registered);
    EXPECT_FALSE(login->isChecked());
}

TEST_F(GeneralTab, PermissionRowsShowTheDesktopsAnswersAndRefreshOnReload) {
    desktop.setTrusted(false);
    desktop.screen().setAccess(false);
    makeView();
    auto row = [&](const QString& title) { return find<QWidget>("permission:" + title); };
    ASSERT_TRUE(row("Accessibility") && row("Microphone") && row("Screen Capture (for screenshots)"));
    EXPECT_FALSE(row("Accessibility")->property("ok").toBool());
    EXPECT_TRUE(row("Microphone")->property("ok").toBool());
    EXPECT_EQ(row("Microphone")->findChild<QPushButton*>("openSettings"), nullptr) << "a granted row has no button";
    EXPECT_EQ(desktop.trustPrompts(), 0) << "showing a status never prompts";
    EXPECT_EQ(desktop.screen().accessRequests(), 0);

    find<QPushButton>("openSettings", row("Accessibility"))->click();
    find<QPushButton>("openSettings", row("Screen Capture (for screenshots)"))->click();
    EXPECT_EQ(panes, (std::vector<std::string>{"Privacy_Accessibility", "Privacy_ScreenCapture"}));

    // Granted on the desktop: the next reload shows it; a microphone unplugged shows as missing.
    desktop.setTrusted(true);
    audio.removeDevice(audio.inputDevices().front().id);
    const int tick = view->tick();
    view->hide();
    view->show();  // shown again
    EXPECT_EQ(view->tick(), tick + 1);
    EXPECT_TRUE(row("Accessibility")->property("ok").toBool());
    EXPECT_FALSE(row("Microphone")->property("ok").toBool());
}

TEST_F(GeneralTab, SteppersStopAtTheirBoundsAndStoreEachStep) {
    struct Case {
        const char* name;
        double (*get)(const Settings&);
        void (*set)(Settings&, double);
        double start, lower, upper, step;
        const char* startLabel;
    };
    const Case cases[] = {
        {"maxRecordingSeconds", [](const Settings& s) { return s.maxRecordingSeconds; },
         [](Settings& s, double v) { s.maxRecordingSeconds = v; }, 90, 60, 1800, 60, "Longest recording: 1 min"},
        {"claudeTimeout", [](const Settings& s) { return s.claude.timeout; },
         [](Settings& s, double v) { s.claude.timeout = v; }, 180, 15, 900, 15, "Timeout: 180s"},
        {"historyLimit", [](const Settings& s) { return static_cast<double>(s.historyLimit); },
         [](Settings& s, double v) { s.historyLimit = static_cast<std::int64_t>(v); }, 8, 0, 50, 1,
         "Recent edits shown to the agent: 8"},
    };
    makeView();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store.update([&](Settings& s) { c.set(s, c.start); });
        auto* stepper = find<Stepper>(c.name);
        ASSERT_TRUE(stepper);
        EXPECT_EQ(stepper->label()->text().toStdString(), c.startLabel);
        stepper->incrementButton()->click();
        EXPECT_EQ(c.get(saved()), c.start + c.step);
        stepper->decrementButton()->click();
        EXPECT_EQ(c.get(saved()), c.start);
        // Upward: the last step stops at the bound, and the button is then disabled.
        store.update([&](Settings& s) { c.set(s, c.upper - c.step / 3); });
        stepper->incrementButton()->click();
        EXPECT_EQ(c.get(saved()), c.upper);
        EXPECT_FALSE(stepper->incrementButton()->isEnabled());
        EXPECT_TRUE(stepper->decrementButton()->isEnabled());
        // Downward alike.
        store.update([&](Settings& s) { c.set(s, c.lower + c.step / 3); });
        stepper->decrementButton()->click();
        EXPECT_EQ(c.get(saved()), c.lower);
        EXPECT_FALSE(stepper->decrementButton()->isEnabled());
    }
}

TEST(PermissionPanes, TheDesktopsSettingsAppIsFoundInTheDesktopList) {
    using Command = std::vector<std::string>;
    EXPECT_EQ(calcSettingsPaneCommand("Privacy_Accessibility", "ubuntu:GNOME"),
              (Command{"gnome-control-center", "universal-access"}));
    EXPECT_EQ(calcSettingsPaneCommand("Privacy_Microphone", "KDE"), (Command{"systemsettings", "kcm_pulseaudio"}));
    EXPECT_EQ(calcSettingsPaneCommand("Privacy_ScreenCapture", "XFCE"), (Command{"xfce4-settings-manager"}));
    EXPECT_TRUE(calcSettingsPaneCommand("Privacy_Microphone", "GNOMEISH").empty()) << "whole names only";
    EXPECT_TRUE(calcSettingsPaneCommand("Privacy_Microphone", "").empty());
    EXPECT_TRUE(calcSettingsPaneCommand("Privacy_Camera", "GNOME").empty());
}

}  // namespace
}  // namespace talkweft::testing

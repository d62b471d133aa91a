// SettingsView: the tab view, the General tab, the chord picker, the permission rows, reloading
// and the screenshot check.
#include "Talkweft/Settings/SettingsView.hpp"

#include <unistd.h>

#include <cmath>

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "AudioInput/AudioSystem.hpp"
#include "Platform/LoginItem.hpp"
#include "Platform/Platform.hpp"
#include "Talkweft/AppDelegate.hpp"
#include "Talkweft/ContextReader.hpp"
#include "Talkweft/Log.hpp"
#include "Talkweft/Paths.hpp"
#include "Talkweft/Settings/Widgets.hpp"

namespace talkweft {

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

bool loginItemRegistered() {
    auto* service = platform::hasCurrent() ? platform::current().loginItem : nullptr;
    return service && service->isRegistered();
}

// The three permissions as the desktop reports them; none of these asks the user anything.
bool accessibilityEnabled() {
    auto* ax = platform::hasCurrent() ? platform::current().accessibility : nullptr;
    return ax && ax->isProcessTrusted(false);
}

bool microphoneAvailable() {
    auto* audio = platform::hasCurrent() ? platform::current().audio : nullptr;
    return audio && !audio->inputDevices().empty();
}

bool screenCapturePossible() {
    auto* screen = platform::hasCurrent() ? platform::current().screen : nullptr;
    return screen && screen->preflightAccess();
}

}  // namespace

SettingsView::SettingsView(SettingsStore& store, HistoryStore history, SettingsEnvironment environment, QWidget* parent)
    : QWidget(parent), store_(store), history_(std::move(history)), env_(std::move(environment)), work_(this) {
    SettingsEnvironment desktop = makeDesktopEnvironment(this);
    if (!env_.confirm) env_.confirm = desktop.confirm;
    if (!env_.openPane) env_.openPane = desktop.openPane;
    if (!env_.reveal) env_.reveal = desktop.reveal;
    if (!env_.pickApp) env_.pickApp = desktop.pickApp;
    if (!env_.appName) env_.appName = desktop.appName;
    if (!env_.now) env_.now = desktop.now;
    loginItem_ = loginItemRegistered();

    tabs_ = new QTabWidget(this);
    tabs_->setDocumentMode(true);
    auto icon = [this](const char* name, QStyle::StandardPixmap fallback) {
        return QIcon::fromTheme(name, style()->standardIcon(fallback));
    };
    tabs_->addTab(buildGeneral(), icon("preferences-desktop-keyboard", QStyle::SP_ComputerIcon), "General");
    tabs_->addTab(buildAgent(), icon("system-run", QStyle::SP_MediaPlay), "Agent");
    tabs_->addTab(buildApps(), icon("view-grid", QStyle::SP_FileDialogContentsView), "Apps");
    tabs_->addTab(buildHistory(), icon("document-open-recent", QStyle::SP_BrowserReload), "History");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(tabs_);
    setFixedSize(640, 600);

    // Called now and with each new record before the store holds it: draw from the record given.
    subscription_ = store_.subscribe([this](const Settings& s) { refresh(s); });
}

SettingsView::~SettingsView() { store_.unsubscribe(subscription_); }

void SettingsView::refresh(const Settings& settings) {
    for (auto& r : refreshers_) r(settings);
}

void SettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    reload();
}

void SettingsView::waitForIdle() { work_.waitForIdle(); }

void SettingsView::reload() {
    ++tick_;
    rebuildPermissions();
    work_.run([history = history_, this] {
        auto list = history.list();
        return [this, list = std::move(list)]() mutable {
            contexts_ = std::move(list);
            showContexts();
        };
    });
}

void SettingsView::checkScreenshotAccess() {
    auto* screen = platform::hasCurrent() ? platform::current().screen : nullptr;
    if (!screen) return;
    if (!screen->preflightAccess()) {
        screen->requestAccess();
        return;
    }
    const auto pid = static_cast<std::int32_t>(::getpid());
    work_.run([pid] {
        // The capture brings any question the desktop asks now rather than mid-hotkey; the picture
        // stays in the screenshots folder like every other one.
        ContextReader::calcScreenshot(pid, Paths::screenshots());
        return WorkQueue::Completion{};
    });
}

// ---- General ----

QCheckBox* SettingsView::settingToggle(const QString& text, const QString& name, bool& (*get)(Settings&)) {
    auto* box = new QCheckBox(text);
    box->setObjectName(name);
    connect(box, &QCheckBox::toggled, this, [this, get](bool on) { store_.update([&](Settings& s) { get(s) = on; }); });
    refreshers_.push_back([box, get](const Settings& s) {
        QSignalBlocker block(box);
        box->setChecked(get(const_cast<Settings&>(s)));
    });
    return box;
}

QWidget* SettingsView::buildGeneral() {
    QVBoxLayout* column = nullptr;
    QWidget* page = makeFormPage(column);

    auto* hotkeys = makeSection("Hotkeys (hold to talk)", "hotkeys");
    auto* hotkeysForm = static_cast<QFormLayout*>(hotkeys->layout());
    hotkeysForm->addRow("Dictation", chordPicker("dictateChord", &Settings::dictateChord));
    hotkeysForm->addRow("Agent", chordPicker("agentChord", &Settings::agentChord));
    hotkeysForm->addRow(settingToggle("Enable plain dictation", "dictationEnabled",
                                      [](Settings& s) -> bool& { return s.dictationEnabled; }));
    hotkeysForm->addRow(makeFootnote("Holding the dictation keys and then adding the rest of the agent keys switches to "
                                     "agent mode. Pressing any other key while holding cancels."));
    column->addWidget(hotkeys);

    auto* app = makeSection("App", "app");
    auto* appForm = static_cast<QFormLayout*>(app->layout());
    auto* login = new QCheckBox("Open at login");
    login->setObjectName("openAtLogin");
    login->setChecked(loginItem_);
    // Shows the registration that took effect, read back after the change, not the click.
    connect(login, &QCheckBox::toggled, this, [this, login](bool on) {
        LoginItem::set(on);
        loginItem_ = loginItemRegistered();
        QSignalBlocker block(login);
        login->setChecked(loginItem_);
    });
    appForm->addRow(login);
    appForm->addRow(settingToggle("Sound cues when recording starts and stops", "soundCues",
                                  [](Settings& s) -> bool& { return s.soundCues; }));
    auto* longest = new Stepper(60, 1800, 60, [](double seconds) {
        return QString("Longest recording: %1 min").arg(static_cast<long long>(std::trunc(seconds / 60)));
    });
    longest->setObjectName("maxRecordingSeconds");
    longest->onChange = [this](double v) { store_.update([&](Settings& s) { s.maxRecordingSeconds = v; }); };
    refreshers_.push_back([longest](const Settings& s) { longest->setValue(s.maxRecordingSeconds); });
    appForm->addRow(longest);
    column->addWidget(app);

    auto* speech = makeSection("Speech", "speech");
    auto* speechForm = static_cast<QFormLayout*>(speech->layout());
    // The model name is taken when editing ends (Return or leaving the field): each change of
    // it replaces the speech model, so a half-typed name must not start a download.
    auto* model = new QLineEdit;
    model->setObjectName("whisperModel");
    connect(model, &QLineEdit::editingFinished, this, [this, model] {
        model->setModified(false);
        std::string text = model->text().toStdString();
        if (text != store_.value().whisperModel) store_.update([&](Settings& s) { s.whisperModel = text; });
    });
    refreshers_.push_back([model](const Settings& s) {
        if (model->isModified()) return;  // the user's edit in progress wins until it is taken
        if (model->text().toStdString() != s.whisperModel) model->setText(qs(s.whisperModel));
    });
    speechForm->addRow("Whisper model", model);
    auto* language = new QLineEdit;
    language->setObjectName("language");
    connect(language, &QLineEdit::textEdited, this, [this](const QString& text) {
        store_.update([&](Settings& s) { s.language = text.toStdString(); });
    });
    refreshers_.push_back([language](const Settings& s) {
        if (language->text().toStdString() != s.language) language->setText(qs(s.language));
    });
    speechForm->addRow("Language code (blank = auto)", language);
    column->addWidget(speech);

    permissions_ = makeSection("Permissions", "permissions");
    column->addWidget(permissions_);
    column->addStretch(1);
    rebuildPermissions();
    return page;
}

QWidget* SettingsView::chordPicker(const QString& name, ModKeySet Settings::*keys) {
    auto* button = new QToolButton;
    button->setObjectName(name);
    button->setPopupMode(QToolButton::InstantPopup);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setFixedWidth(220);
    auto* menu = new QMenu(button);
    std::vector<QAction*> actions;
    for (ModKey key : MODKEY_ALL_CASES) {
        QAction* action = menu->addAction(QString::fromUtf8(modKeyLabel(key).data(), static_cast<int>(modKeyLabel(key).size())));
        action->setCheckable(true);
        action->setData(QString::fromUtf8(modKeyRawValue(key).data(), static_cast<int>(modKeyRawValue(key).size())));
        connect(action, &QAction::toggled, this, [this, keys, key](bool on) {
            store_.update([&](Settings& s) {
                if (on)
                    (s.*keys).insert(key);
                else
                    (s.*keys).erase(key);
            });
        });
        actions.push_back(action);
    }
    button->setMenu(menu);
    refreshers_.push_back([button, actions, keys](const Settings& s) {
        const ModKeySet& chord = s.*keys;
        button->setText(chord.empty() ? "None" : qs(calcChordLabel(chord)));
        for (std::size_t i = 0; i < actions.size(); ++i) {
            QSignalBlocker block(actions[i]);
            actions[i]->setChecked(chord.contains(MODKEY_ALL_CASES[i]));
        }
    });
    return button;
}

QWidget* SettingsView::permission(const QString& title, bool ok, const std::string& pane, const QString& detail) {
    auto* row = new QWidget;
    row->setObjectName("permission:" + title);
    row->setProperty("ok", ok);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* mark = new QLabel(ok ? QString::fromUtf8("✔") : QString::fromUtf8("✖"));
    mark->setObjectName("status");
    QPalette palette = mark->palette();
    palette.setColor(QPalette::WindowText, ok ? QColor(0x26, 0xa2, 0x69) : QColor(0xe6, 0x61, 0x00));
    mark->setPalette(palette);
    layout->addWidget(mark);
    auto* text = makeFootnote(detail);
    text->setObjectName("detail");
    layout->addWidget(text, 1);
    if (!ok) {
        auto* open = new QPushButton("Open Settings");
        open->setObjectName("openSettings");
        connect(open, &QPushButton::clicked, this, [this, pane] { env_.openPane(pane); });
        layout->addWidget(open);
    }
    return row;
}

void SettingsView::rebuildPermissions() {
    if (!permissions_) return;
    auto* form = static_cast<QFormLayout*>(permissions_->layout());
    while (form->rowCount() > 0) form->removeRow(0);
    const bool ax = accessibilityEnabled(), mic = microphoneAvailable(), capture = screenCapturePossible();
    form->addRow("Accessibility",
                 permission("Accessibility", ax, "Privacy_Accessibility",
                            ax ? "The accessibility bus is on: text fields can be read and edited."
                               : "The accessibility bus is off: turn on assistive technologies."));
    form->addRow("Microphone", permission("Microphone", mic, "Privacy_Microphone",
                                          mic ? "A microphone is available." : "No microphone found."));
    form->addRow("Screen Capture (for screenshots)",
                 permission("Screen Capture (for screenshots)", capture, "Privacy_ScreenCapture",
                            capture ? "Windows can be captured." : "This session does not allow capturing windows."));
}

}  // namespace talkweft

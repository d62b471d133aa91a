// The Agent tab: standing instructions, strategy and screenshot, connectors, the confirmed
// connector writes, and the agent command-line settings.
#include <algorithm>
#include <cmath>

#include <QAbstractTextDocumentLayout>
#include <QTextDocument>

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "Talkweft/Settings/SettingsView.hpp"
#include "Talkweft/Settings/Widgets.hpp"

namespace talkweft {

namespace {

// A multi-line text field that grows with its text from `fewest` to `most` lines, then scrolls.
QPlainTextEdit* makeTextArea(const QString& name, int fewest, int most) {
    auto* area = new QPlainTextEdit;
    area->setObjectName(name);
    area->setTabChangesFocus(true);
    auto fit = [area, fewest, most] {
        const int line = area->fontMetrics().lineSpacing();
        const int frame = 2 * (area->frameWidth() + static_cast<int>(area->document()->documentMargin()));
        // The plain-text layout measures the document in lines (wrapped lines included).
        const int lines = std::clamp(static_cast<int>(area->document()->size().height()), fewest, most);
        area->setFixedHeight(lines * line + frame);
    };
    QObject::connect(area->document(), &QTextDocument::contentsChanged, area, fit);
    QObject::connect(area->document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, area, fit);
    fit();
    return area;
}

}  // namespace

QWidget* SettingsView::buildAgent() {
    QVBoxLayout* column = nullptr;
    QWidget* page = makeFormPage(column);
    // Binds a text field to a string of the record; each keystroke is stored.
    auto bindLine = [this](QLineEdit* field, std::string& (*get)(Settings&)) {
        connect(field, &QLineEdit::textEdited, this, [this, get](const QString& text) {
            store_.update([&](Settings& s) { get(s) = text.toStdString(); });
        });
        refreshers_.push_back([field, get](const Settings& s) {
            const std::string& value = get(const_cast<Settings&>(s));
            if (field->text().toStdString() != value) field->setText(QString::fromStdString(value));
        });
    };
    auto bindArea = [this](QPlainTextEdit* area, std::string& (*get)(Settings&)) {
        connect(area, &QPlainTextEdit::textChanged, this, [this, area, get] {
            std::string text = area->toPlainText().toStdString();
            if (text != get(const_cast<Settings&>(store_.value()))) store_.update([&](Settings& s) { get(s) = text; });
        });
        refreshers_.push_back([area, get](const Settings& s) {
            const std::string& value = get(const_cast<Settings&>(s));
            if (area->toPlainText().toStdString() == value) return;
            QSignalBlocker block(area);
            area->setPlainText(QString::fromStdString(value));
        });
    };

    auto* standing = makeSection("Standing instructions", "standingInstructions");
    auto* standingForm = static_cast<QFormLayout*>(standing->layout());
    auto* instructions = makeTextArea("agentInstructions", 4, 10);
    instructions->setAccessibleName("Standing instructions");
    instructions->setPlaceholderText("e.g. Write like me: short, plain, no exclamation marks. Sign emails \"Zobb\". "
                                     "Use my voice skill for email and Slack.");
    bindArea(instructions, [](Settings& s) -> std::string& { return s.agentInstructions; });
    standingForm->addRow(instructions);
    standingForm->addRow(makeFootnote("Added to every agent request. The spoken instruction wins if they conflict."));
    column->addWidget(standing);

    auto* strategy = makeSection("Strategy", "strategy");
    auto* strategyForm = static_cast<QFormLayout*>(strategy->layout());
    auto* kind = new QComboBox;
    kind->setObjectName("agentKind");
    for (AgentKind k : AGENT_KIND_ALL_CASES) {
        const char* title = k == AgentKind::claudeCLI ? "Claude Code (headless, with tools)" : "";
        kind->addItem(title, QString::fromUtf8(agentKindRawValue(k).data(), static_cast<int>(agentKindRawValue(k).size())));
    }
    connect(kind, &QComboBox::currentIndexChanged, this, [this, kind](int index) {
        if (index < 0) return;
        auto k = agentKindFromRawValue(kind->itemData(index).toString().toStdString());
        if (k) store_.update([&](Settings& s) { s.agentKind = *k; });
    });
    refreshers_.push_back([kind](const Settings& s) {
        QSignalBlocker block(kind);
        kind->setCurrentIndex(kind->findData(QString::fromUtf8(agentKindRawValue(s.agentKind).data())));
    });
    strategyForm->addRow("Agent", kind);
    auto* screenshot = new QCheckBox("Attach a screenshot of the window");
    screenshot->setObjectName("captureScreenshot");
    connect(screenshot, &QCheckBox::toggled, this, [this](bool on) {
        store_.update([&](Settings& s) { s.captureScreenshot = on; });
        if (on) checkScreenshotAccess();
    });
    strategyForm->addRow(screenshot);
    strategyForm->addRow(makeFootnote(
        "One still image of the front window when agent mode starts. Needs a desktop session that allows "
        "window capture; no video or audio is captured. Test Screenshot takes one picture now (kept in the "
        "screenshots folder), so any question the desktop asks about capturing comes now instead of mid-hotkey."));
    auto* test = new QPushButton("Test Screenshot");
    test->setObjectName("testScreenshot");
    test->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(test, &QPushButton::clicked, this, [this] { checkScreenshotAccess(); });
    strategyForm->addRow(test);
    refreshers_.push_back([screenshot, test](const Settings& s) {
        QSignalBlocker block(screenshot);
        screenshot->setChecked(s.captureScreenshot);
        test->setEnabled(s.captureScreenshot);
    });
    column->addWidget(strategy);

    auto* connectorsBox = makeSection("Connectors", "connectorsSection");
    auto* connectorsForm = static_cast<QFormLayout*>(connectorsBox->layout());
    connectorsForm->addRow(settingToggle("Let the agent use connected services (read-only)", "connectors",
                                         [](Settings& s) -> bool& { return s.claude.connectors; }));
    auto* tools = makeTextArea("connectorTools", 3, 6);
    tools->setPlaceholderText("Allowed connector tools");
    tools->setAccessibleName("Allowed connector tools");
    bindArea(tools, [](Settings& s) -> std::string& { return s.claude.connectorTools; });
    connectorsForm->addRow(tools);
    connectorsForm->addRow(makeFootnote("Gmail, Calendar, Drive, Notion, Slack and Asana from your Claude account load "
                                        "only when an instruction needs them. Tools not listed here, such as sending "
                                        "email, are refused."));
    column->addWidget(connectorsBox);

    auto* danger = makeSection(QString::fromUtf8("⚠ Danger zone"), "dangerZone");
    danger->setStyleSheet("QGroupBox#dangerZone::title { color: #c01c28; }");
    auto* dangerForm = static_cast<QFormLayout*>(danger->layout());
    auto* writes = new QCheckBox("Allow connectors to make changes");
    writes->setObjectName("connectorWrites");
    // Switching on only asks; the stored value turns on when the user allows it. Off is stored at once.
    connect(writes, &QCheckBox::toggled, this, [this, writes](bool on) {
        if (!on) {
            store_.update([&](Settings& s) { s.claude.connectorWrites = false; });
            return;
        }
        {
            QSignalBlocker block(writes);
            writes->setChecked(false);
        }
        const bool allowed = env_.confirm({"Allow connectors to make changes?",
                                           "A misheard instruction could send an email or post a message for real. "
                                           "Every change is listed afterward and recorded in the context's history.",
                                           "Allow"});
        if (allowed) store_.update([&](Settings& s) { s.claude.connectorWrites = true; });
    });
    dangerForm->addRow(writes);
    dangerForm->addRow(makeFootnote("Lets the agent send email, post Slack messages, create calendar events and edit "
                                    "Notion pages or Asana tasks when you explicitly ask. These actions happen in your "
                                    "real accounts and can't be undone by Talkweft."));
    refreshers_.push_back([tools, writes](const Settings& s) {
        QSignalBlocker block(writes);
        writes->setChecked(s.claude.connectorWrites);
        tools->setEnabled(s.claude.connectors);
        writes->setEnabled(s.claude.connectors);
    });
    column->addWidget(danger);

    auto* claude = makeSection("Claude Code", "claudeCode");
    auto* claudeForm = static_cast<QFormLayout*>(claude->layout());
    struct LineField {
        const char* title;
        const char* name;
        std::string& (*get)(Settings&);
    };
    const LineField lines[] = {
        {"claude path", "claudePath", [](Settings& s) -> std::string& { return s.claude.path; }},
        {"Model (blank = Claude Code default)", "claudeModel", [](Settings& s) -> std::string& { return s.claude.model; }},
        {"Available tools", "claudeTools", [](Settings& s) -> std::string& { return s.claude.tools; }},
        {"Auto-allowed tools", "claudeAllowedTools", [](Settings& s) -> std::string& { return s.claude.allowedTools; }},
        {"Extra arguments", "claudeExtraArgs", [](Settings& s) -> std::string& { return s.claude.extraArgs; }},
    };
    for (const auto& line : lines) {
        auto* field = new QLineEdit;
        field->setObjectName(line.name);
        bindLine(field, line.get);
        claudeForm->addRow(line.title, field);
    }
    auto* timeout = new Stepper(15, 900, 15, [](double seconds) {
        return QString("Timeout: %1s").arg(static_cast<long long>(std::trunc(seconds)));
    });
    timeout->setObjectName("claudeTimeout");
    timeout->onChange = [this](double v) { store_.update([&](Settings& s) { s.claude.timeout = v; }); };
    refreshers_.push_back([timeout](const Settings& s) { timeout->setValue(s.claude.timeout); });
    claudeForm->addRow(timeout);
    column->addWidget(claude);
    column->addStretch(1);
    return page;
}

}  // namespace talkweft

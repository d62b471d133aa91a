// The settings view's desktop services on Linux: message boxes, the desktop's settings app for
// the permission panes, the file manager, and the installed applications.
#include <cstdlib>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "Platform/Platform.hpp"
#include "Platform/DesktopEntries.hpp"
#include "Talkweft/Log.hpp"
#include "Talkweft/Paths.hpp"
#include "Talkweft/Settings/SettingsView.hpp"
#include "Talkweft/Settings/DesktopSettings.hpp"

namespace talkweft {

namespace {

std::optional<std::string> envValue(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

bool askUser(QWidget* parent, const Confirmation& question) {
    QMessageBox box(parent);
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QString::fromStdString(question.title));
    box.setText(QString::fromStdString(question.title));
    box.setInformativeText(QString::fromStdString(question.message));
    QPushButton* yes = box.addButton(QString::fromStdString(question.confirmButton), QMessageBox::DestructiveRole);
    QPushButton* no = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

void openDesktopPane(const std::string& pane) {
    auto command = calcSettingsPaneCommand(pane, envValue("XDG_CURRENT_DESKTOP").value_or(""));
    if (command.empty()) {
        Log::write("settings: no settings app known for this desktop (" + pane + ")");
        return;
    }
    QStringList args;
    for (std::size_t i = 1; i < command.size(); ++i) args << QString::fromStdString(command[i]);
    if (!QProcess::startDetached(QString::fromStdString(command[0]), args))
        Log::write("settings: can't start " + command[0]);
}

// Asks the file manager to show the folder selected; when no file manager answers, opens the
// folder that holds it.
void revealFolder(QWidget* parent, const std::filesystem::path& folder) {
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    call << QStringList{QUrl::fromLocalFile(QString::fromStdString(folder.string())).toString()} << QString();
    auto fallback = [folder] {
        if (platform::hasCurrent())
            if (auto* ws = platform::current().workspace) ws->openPath(folder.parent_path().string());
    };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        fallback();
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000), parent);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, parent, [watcher, fallback] {
        if (watcher->isError()) fallback();
        watcher->deleteLater();
    });
}

// A list of the installed applications with a filter field.
std::optional<std::string> pickInstalledApp(QWidget* parent) {
    QDialog dialog(parent);
    dialog.setWindowTitle("Choose an App");
    dialog.resize(420, 480);
    auto* layout = new QVBoxLayout(&dialog);
    auto* filter = new QLineEdit;
    filter->setPlaceholderText("Search");
    filter->setClearButtonEnabled(true);
    auto* list = new QListWidget;
    for (const auto& app : platform::listPickableApps(platform::calcApplicationDirs(envValue, Paths::home()))) {
        auto* item = new QListWidgetItem(QString::fromStdString(app.name + "  (" + app.id + ")"), list);
        item->setData(Qt::UserRole, QString::fromStdString(app.id));
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setText("Add");
    buttons->button(QDialogButtonBox::Ok)->setEnabled(false);
    layout->addWidget(filter);
    layout->addWidget(list);
    layout->addWidget(buttons);
    QObject::connect(filter, &QLineEdit::textChanged, &dialog, [list](const QString& text) {
        for (int i = 0; i < list->count(); ++i)
            list->item(i)->setHidden(!list->item(i)->text().contains(text, Qt::CaseInsensitive));
    });
    QObject::connect(list, &QListWidget::currentItemChanged, &dialog, [buttons](QListWidgetItem* item) {
        buttons->button(QDialogButtonBox::Ok)->setEnabled(item != nullptr);
    });
    QObject::connect(list, &QListWidget::itemDoubleClicked, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted || !list->currentItem()) return std::nullopt;
    return list->currentItem()->data(Qt::UserRole).toString().toStdString();
}

}  // namespace

std::vector<std::string> calcSettingsPaneCommand(const std::string& pane, const std::string& desktop) {
    auto has = [&](const char* name) {
        // XDG_CURRENT_DESKTOP is a colon-separated list, e.g. "ubuntu:GNOME".
        std::string list = ":" + desktop + ":";
        return list.find(std::string(":") + name + ":") != std::string::npos;
    };
    if (has("GNOME") || has("Unity") || has("Budgie")) {
        if (pane == "Privacy_Accessibility") return {"gnome-control-center", "universal-access"};
        if (pane == "Privacy_Microphone") return {"gnome-control-center", "sound"};
        if (pane == "Privacy_ScreenCapture") return {"gnome-control-center", "privacy"};
    } else if (has("KDE")) {
        if (pane == "Privacy_Accessibility") return {"systemsettings", "kcm_access"};
        if (pane == "Privacy_Microphone") return {"systemsettings", "kcm_pulseaudio"};
        if (pane == "Privacy_ScreenCapture") return {"systemsettings"};
    } else if (has("XFCE")) {
        if (pane == "Privacy_Accessibility") return {"xfce4-accessibility-settings"};
        if (pane == "Privacy_Microphone") return {"pavucontrol"};
        if (pane == "Privacy_ScreenCapture") return {"xfce4-settings-manager"};
    }
    return {};
}

SettingsEnvironment makeDesktopEnvironment(QWidget* parent) {
    SettingsEnvironment env;
    env.confirm = [parent](const Confirmation& q) { return askUser(parent, q); };
    env.openPane = openDesktopPane;
    env.reveal = [parent](const std::filesystem::path& folder) { revealFolder(parent, folder); };
    env.pickApp = [parent] { return pickInstalledApp(parent); };
    env.appName = [](const std::string& id) { return platform::findAppName(platform::calcApplicationDirs(envValue, Paths::home()), id); };
    env.now = [] { return std::chrono::system_clock::now(); };
    return env;
}

}  // namespace talkweft

#include "Talkweft/Settings/QtSettingsWindow.hpp"

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

namespace talkweft {

QtSettingsWindow::QtSettingsWindow(SettingsEnvironment environment) : environment_(std::move(environment)) {}

QtSettingsWindow::~QtSettingsWindow() = default;

void QtSettingsWindow::present(const std::string& title, SettingsStore& store, const HistoryStore& history) {
    if (!window_) {
        window_ = std::make_unique<QWidget>();
        window_->setWindowTitle(QString::fromStdString(title));
        auto* layout = new QVBoxLayout(window_.get());
        layout->setContentsMargins(0, 0, 0, 0);
        view_ = new SettingsView(store, history, environment_, window_.get());
        layout->addWidget(view_);
        window_->setFixedSize(640, 600);
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect area = screen->availableGeometry();
            window_->move(area.center() - QPoint(320, 300));
        }
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

}  // namespace talkweft

// The settings-window surface on Qt: a top-level window, 640 x 600, holding the SettingsView;
// made on first presentation, kept when closed and shown again later. Needs a QApplication.
#pragma once

#include <memory>

#include "Platform/SettingsWindow.hpp"
#include "Talkweft/Settings/SettingsView.hpp"

namespace talkweft {

class QtSettingsWindow : public platform::SettingsWindowSurface {
public:
    explicit QtSettingsWindow(SettingsEnvironment environment = {});
    ~QtSettingsWindow() override;

    void present(const std::string& title, SettingsStore& store, const HistoryStore& history) override;

    // The window's view; null before the first presentation.
    SettingsView* view() const { return view_; }
    QWidget* window() const { return window_.get(); }

private:
    SettingsEnvironment environment_;
    std::unique_ptr<QWidget> window_;
    SettingsView* view_ = nullptr;  // owned by window_
};

}  // namespace talkweft

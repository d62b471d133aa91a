// A settings window that only records how it was shown.
#pragma once

#include <string>

#include "Platform/SettingsWindow.hpp"

namespace talkweft::platform::headless {

class SettingsWindowSurface : public platform::SettingsWindowSurface {
public:
    void present(const std::string& title, SettingsStore& store, const HistoryStore& history) override;

    std::string title;                       // of the first presentation
    SettingsStore* store = nullptr;          // of the first presentation
    const HistoryStore* history = nullptr;   // of the first presentation
    int presentations = 0;                   // times it was brought to the front
};

}  // namespace talkweft::platform::headless

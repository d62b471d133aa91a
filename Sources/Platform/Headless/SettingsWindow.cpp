#include "Platform/Headless/SettingsWindow.hpp"

namespace talkweft::platform::headless {

void SettingsWindowSurface::present(const std::string& windowTitle, SettingsStore& settingsStore,
                                    const HistoryStore& historyStore) {
    if (presentations++ == 0) {
        title = windowTitle;
        store = &settingsStore;
        history = &historyStore;
    }
}

}  // namespace talkweft::platform::headless

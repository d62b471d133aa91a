// The settings window's surface: the desktop's window that shows the settings view.
//
// The view itself edits application objects (the settings store, the history store); the platform
// layer only passes them through, so it names them without depending on their library.
#pragma once

#include <string>

namespace talkweft {
class SettingsStore;  // Talkweft/SettingsStore.hpp
class HistoryStore;   // TalkweftCore/History.hpp
}  // namespace talkweft

namespace talkweft::platform {

// Main thread.
class SettingsWindowSurface {
public:
    virtual ~SettingsWindowSurface() = default;

    // Shows the settings window titled `title`, editing `store` and listing the contexts of
    // `history`, and brings it to the front. The first call makes the window; it is kept when the
    // user closes it, and later calls show that same window again (the arguments of the first
    // call stay in force). `store` must outlive the surface.
    virtual void present(const std::string& title, SettingsStore& store, const HistoryStore& history) = 0;
};

}  // namespace talkweft::platform

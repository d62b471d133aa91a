// The simulated screen: a window list the test arranges and one-window captures that give an
// image of the window's size filled with its colour. Thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "Platform/ScreenCapture.hpp"

namespace talkweft::platform::headless {

class HeadlessScreen : public platform::ScreenCapture {
public:
    struct Window {
        WindowInfo info;                                 // as listed (fields may be absent)
        std::array<std::uint8_t, 4> rgba{40, 90, 160, 255};  // fill colour of its capture
        bool capturable = true;                          // false: captureWindow fails for it
    };

    bool preflightAccess() override;
    bool requestAccess() override;
    std::optional<std::vector<WindowInfo>> windowList() override;
    std::optional<Image> captureWindow(std::uint32_t number) override;

    // Test side.
    void setAccess(bool granted);
    int accessRequests();
    // Front to back: index 0 is the frontmost window.
    void setWindows(std::vector<Window> windows);
    void setListReadable(bool readable);
    // Pixels per point (2 on a "retina" screen).
    void setScale(double scale);

private:
    std::mutex mutex_;
    bool access_ = true;          // guarded by mutex_
    int requests_ = 0;            // guarded by mutex_
    bool listReadable_ = true;    // guarded by mutex_
    double scale_ = 1.0;          // guarded by mutex_
    std::vector<Window> windows_; // guarded by mutex_
};

}  // namespace talkweft::platform::headless

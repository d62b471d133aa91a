// Each state of the heads-up panel drawn by the application's HUD on the real panel window, written
// as PNGs (hud-<state>.png).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "Platform/Linux/Qt/QtPanel.hpp"

namespace talkweft::hudshots {

struct Shot {
    std::string state;           // "listening-dictate", ...
    std::filesystem::path file;  // <dir>/hud-<state>.png
    int width = 0;               // the panel's size when drawn
    int height = 0;
    bool written = false;
};

// Shows each state through a HUD on `panel` (on a simulated desktop with the real clock, so only the
// panel is real) and writes its picture into `dir` (created). Needs a QApplication.
std::vector<Shot> writeScreenshots(const std::filesystem::path& dir, platform::linuxdesktop::QtPanel& panel);

}  // namespace talkweft::hudshots

// Which settings app of the desktop shows a permission's pane.
#pragma once

#include <string>
#include <vector>

namespace talkweft {

// The command (program and arguments) that opens the settings of `pane` ("Privacy_Accessibility",
// "Privacy_Microphone", "Privacy_ScreenCapture") on the desktop named by XDG_CURRENT_DESKTOP
// (`desktop`: GNOME and its relatives, KDE, XFCE); empty when none is known.
std::vector<std::string> calcSettingsPaneCommand(const std::string& pane, const std::string& desktop);

}  // namespace talkweft

// Finding objects on the desktop: the focused object (from focus events, else by a bounded search
// of the active windows), an app's front window, and the application object of a process.
//
// Internal to the AT-SPI accessibility service.
#pragma once

#include <cstdint>

#include "Platform/Linux/AtspiCall.hpp"

namespace talkweft::platform::linuxdesktop::atspi {

// The first object with the focused state at or below `acc` (showing objects only); the search
// goes at most 40 levels deep and looks at no more than `budget` objects.
GRef<AtspiAccessible> searchFocused(AtspiAccessible* acc, Call& call, int depth, int& budget);
// The app's window to work in: the active one, else the first showing one.
GRef<AtspiAccessible> frontWindow(AtspiAccessible* app, Call& call);
// The focused object known from events, when it still is focused (and belongs to `app` if given).
GRef<AtspiAccessible> trackedFocus(StatePtr state, AtspiAccessible* app);
// The focused object of the app: the tracked one, else searched for in its front window.
GRef<AtspiAccessible> focusInApp(StatePtr state, AtspiAccessible* app);
// The focused object anywhere: the tracked one, else searched for in the active windows of all
// apps that answer.
GRef<AtspiAccessible> focusOnDesktop(StatePtr state);
// The application object of the process `pid`.
GRef<AtspiAccessible> appForPid(StatePtr state, std::int32_t pid);

}  // namespace talkweft::platform::linuxdesktop::atspi

// The text of AT-SPI text objects: reading it in its toolkit's units (learning the app's units
// on the way), the selection and caret, selecting a range, and screen bounds of a range.
//
// Internal to the AT-SPI accessibility service.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "Platform/Accessibility.hpp"
#include "Platform/Linux/AtspiCall.hpp"

namespace talkweft::platform::linuxdesktop::atspi {

// The whole text of a text object, in its toolkit's units.
std::optional<ToolkitText> readText(StatePtr state, AtspiAccessible* acc, Call& call);
// The selection (or the caret as an empty one) in toolkit offsets, ordered.
std::optional<std::pair<std::int64_t, std::int64_t>> readSelection(AtspiAccessible* acc, Call& call);
// Selects [start, end) in toolkit offsets (an empty range: puts the caret there).
bool selectRange(AtspiAccessible* acc, std::int64_t start, std::int64_t end, Call& call);
// An AT-SPI rectangle (freed here) as a Rect; absent for none.
std::optional<Rect> toRect(AtspiRect* r);
// Screen bounds of the UTF-16 range; an empty range gives a zero-width box at that offset.
std::optional<Rect> rangeBounds(const ToolkitText& t, AtspiAccessible* acc, AXRange range, Call& call);

}  // namespace talkweft::platform::linuxdesktop::atspi

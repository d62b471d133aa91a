// Putting text into another app's field through the pasteboard: the text goes on the pasteboard,
// a Command-V is synthesized, and the user's own pasteboard contents come back afterwards.
//
// State (the saved items and the pending restore) lives here, on the main thread only; it belongs
// to the current platform and is dropped when another platform is installed.
#pragma once

#include <string>
#include <vector>

#include "Platform/Pasteboard.hpp"

namespace talkweft::Clipboard {

// Saves the user's pasteboard items (unless a restore from an earlier paste is still pending: the
// items saved first are kept), puts `text` on one item as plain text with the transient and
// auto-generated markers, posts Command-V, waits 0.12 s on the main loop (which keeps running),
// then schedules the restore of the saved items 0.6 s later and returns. The restore waits further
// until the target has read the pasted text (Pasteboard::contentsFetched), at most 3 s; then it
// gives up and puts the saved items back all the same, so our text is never left behind.
// Returns true when the keystroke was posted; false when it could not be made or the pasteboard
// refused the text (then nothing is posted). It cannot tell whether the target took the text.
// Main thread.
bool paste(const std::string& text);

// Puts `text` on the pasteboard as plain text (no markers) and gives up any pending restore, so the
// text stays. Main thread.
void copy(const std::string& text);

// Deep copies of the pasteboard's items: for each item, the data of every type it declares, in its
// type order; types whose data cannot be read are left out.
std::vector<platform::PasteboardItem> copyItems(platform::Pasteboard& pasteboard);

}  // namespace talkweft::Clipboard

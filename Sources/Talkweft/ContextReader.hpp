// The snapshot of what the user works in when a chord starts (Capture), the per-app enrichment of
// what a family of code editors reports, and the still screenshot of an app's front window.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "Platform/Accessibility.hpp"
#include "Platform/Geometry.hpp"
#include "TalkweftCore/Context.hpp"

namespace talkweft {

struct Capture {
    AppContext ctx;
    // The editable element when one was found; else the focused element itself (also a password
    // field); null when nothing has focus.
    platform::AXElementRef element;
    // Caret rectangle in screen points (top-left origin), or the editable element's frame when the
    // caret cannot be located; absent without an editable element.
    std::optional<platform::Rect> caret;
    // The focus is a password field.
    bool secure = false;
};

// The bundle identifiers of one family of code editors.
const std::set<std::string>& VSCODE_IDS();
// Bundle identifier -> enrichment applied to a finished Capture (each of VSCODE_IDS -> enrichVSCode).
const std::map<std::string, std::function<void(Capture&)>>& ENRICHERS();

// For the code editors: drops the url; strips the unsaved-marker "● " from the window title and
// trims blanks and tabs; an empty field text becomes absent (with the selection and isFull false);
// a field text with fewer lines than the saved document marks the field as only partly read.
void enrichVSCode(Capture& cap);

// 1 + the number of line breaks; "\n", "\r\n" (counted once) and a lone "\r" are line breaks.
std::int64_t calcLineCount(std::string_view text);

namespace ContextReader {

// The snapshot of the frontmost app (see Capture); absent when no app is in front. Missing
// accessibility answers leave fields empty; the capture is still valid. Main thread; blocks on
// accessibility calls. Uses platform::current().
std::optional<Capture> capture();

// Writes a PNG of the front window (layer 0) of process `pid` into `dir` and returns its path;
// absent on any failure. Without screen-capture access it logs
// "screenshot: skipped, this session does not allow capturing windows". `dir` is created private
// (mode 0700) and refused when it is a symbolic link or belongs to another user; each file gets a
// fresh name "window-<unix seconds>-<random>.png", created exclusively with mode 0600, so two
// screenshots in one second never replace each other. Blocking; any thread (run it off the main thread).
std::optional<std::string> calcScreenshot(std::int32_t pid, const std::filesystem::path& dir);

}  // namespace ContextReader
}  // namespace talkweft

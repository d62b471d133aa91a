// A floating panel that never takes focus, the screens it can stand on, and the content it shows.
//
// Coordinates here have their origin at the bottom-left of the primary screen, y growing upward
// (the panel's own placement space); the caller converts from top-left coordinates.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Platform/Geometry.hpp"

namespace talkweft::platform {

struct Screen {
    Rect frame;         // the whole screen
    Rect visibleFrame;  // without bars and docks
    bool operator==(const Screen&) const = default;
};

// A run of styled text: what inline Markdown leaves after parsing.
struct TextRun {
    std::string text;
    bool bold = false;
    bool italic = false;
    bool monospace = false;
    std::string link;  // empty: no link
    bool operator==(const TextRun&) const = default;
};

// What the panel shows. An empty `icon` with kind `empty` shows nothing.
struct PanelContent {
    enum class Kind { empty, row, thinking, message };
    Kind kind = Kind::empty;
    std::string icon;      // symbol name, e.g. "mic.fill"
    std::string tint;      // "green", "purple", "orange", "secondary"
    bool pulsing = false;
    std::string text;      // the row's text; the first row of `thinking`
    std::string detail;    // `thinking`: the quoted instruction (secondary colour, at most 3 lines)
    std::vector<TextRun> message;  // `message`: the rendered text
    double messageWidth = 0;       // `message`: width of the text view
    double messageHeight = 0;      // `message`: height of the text view (scrolls beyond it)
    bool operator==(const PanelContent&) const = default;
};

// The floating panel. Main thread.
class Panel {
public:
    virtual ~Panel() = default;

    // Replaces the content (redraws at once).
    virtual void setContent(const PanelContent& content) = 0;
    // The size the content needs (padding, border and width limit included).
    virtual Size fittingSize() = 0;
    // The height `runs` need when laid out at `width` with no padding (unrounded).
    virtual double textHeight(const std::vector<TextRun>& runs, double width) = 0;

    virtual void setIgnoresMouse(bool ignores) = 0;
    virtual bool isVisible() = 0;
    virtual Rect frame() = 0;
    virtual void setContentSize(Size size) = 0;
    virtual void setFrameOrigin(Point origin) = 0;
    // Shows the panel above other windows without activating the application.
    virtual void orderFrontWithoutActivating() = 0;
    virtual void orderOut() = 0;

    // The panel's Copy and Close buttons (Close is also Esc while the panel is key).
    virtual void setButtonHandlers(std::function<void()> onCopy, std::function<void()> onClose) = 0;

    // The screens, primary first; empty when none is known.
    virtual std::vector<Screen> screens() = 0;
    // The screen with the keyboard focus; false when there is none.
    virtual bool mainScreen(Screen& out) = 0;
};

}  // namespace talkweft::platform

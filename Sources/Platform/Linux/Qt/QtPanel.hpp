// The heads-up panel on Qt 6 Widgets: a frameless window above the others that never takes the
// keyboard focus (it stays out of the taskbar and pager), drawn by us: a rounded rectangle with a
// border, a symbol icon drawn with QPainter in its tint (pulsing while shown when asked), the texts,
// and for a message a read-only, selectable, scrollable text view with Copy and Close buttons.
//
// Sizes come from Qt's own text layout (documents without margins), so what fittingSize and
// textHeight answer is what the window draws; new content on a shown panel resizes it to fit at once,
// its top-left corner staying put. Mouse clicks reach the window only when it has
// buttons; otherwise its X input region is empty and clicks fall through to the window below.
// Without a compositing manager the background is opaque and the window is shaped to its rounded
// rectangle.
//
// Coordinates: the panel's space has its origin at the bottom-left of the primary screen, y up; Qt's
// (the X root window's) at the top-left, y down. Needs a QApplication; main thread only.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QImage>

#include "Platform/Panel.hpp"

class QWidget;
class QTextBrowser;
class QPushButton;
struct _XDisplay;

namespace talkweft::platform::linuxdesktop {

namespace qtpanel {
class QtPanelWindow;
}

class QtPanel : public Panel {
public:
    QtPanel();
    ~QtPanel() override;
    QtPanel(const QtPanel&) = delete;
    QtPanel& operator=(const QtPanel&) = delete;

    void setContent(const PanelContent& content) override;
    Size fittingSize() override;
    double textHeight(const std::vector<TextRun>& runs, double width) override;
    void setIgnoresMouse(bool ignores) override;
    bool isVisible() override;
    Rect frame() override;
    void setContentSize(Size size) override;
    void setFrameOrigin(Point origin) override;
    void orderFrontWithoutActivating() override;
    void orderOut() override;
    void setButtonHandlers(std::function<void()> onCopy, std::function<void()> onClose) override;
    std::vector<Screen> screens() override;
    bool mainScreen(Screen& out) override;

    // The window and its parts (tests and screenshots).
    QWidget* window() const;
    QTextBrowser* messageView() const;  // visible for a message only
    QPushButton* copyButton() const;
    QPushButton* closeButton() const;
    // True while the icon's pulse runs (shown, with a pulsing content).
    bool isPulsing() const;
    // True when the window accepts mouse input.
    bool acceptsMouse() const;
    // The panel as drawn, icon at full strength, with transparent corners, at its current size.
    QImage snapshot() const;

private:
    static _XDisplay* qtDisplay();  // Qt's own X connection; null on another platform

    std::unique_ptr<qtpanel::QtPanelWindow> window_;
    bool ignoresMouse_ = true;
};

}  // namespace talkweft::platform::linuxdesktop

// A simulated floating panel with configurable screens and simple text metrics (7 points per
// character, 16 points per line), so placement and sizes are predictable in tests.
#pragma once

#include <optional>

#include "Platform/Panel.hpp"

namespace talkweft::platform::headless {

class Panel : public platform::Panel {
public:
    static constexpr double GLYPH_WIDTH = 7;
    static constexpr double LINE_HEIGHT = 16;

    // One 1440 x 900 screen with a 25-point bar at the top, which is the main screen.
    Panel();

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

    // Presses the Copy or Close button; false when the panel is hidden or shows no message.
    bool clickCopy();
    bool clickClose();

    std::vector<Screen> screenList;
    std::optional<std::size_t> mainScreenIndex = 0;  // index into screenList; absent: no main screen

    PanelContent content;
    bool visible = false;
    bool ignoresMouse = true;
    Rect rect{0, 0, 520, 60};
    int orderFrontCount = 0;

private:
    std::function<void()> onCopy_;
    std::function<void()> onClose_;
};

}  // namespace talkweft::platform::headless

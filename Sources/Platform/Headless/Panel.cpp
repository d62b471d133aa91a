#include "Platform/Headless/Panel.hpp"

#include <algorithm>
#include <cmath>

namespace talkweft::platform::headless {

namespace {

std::size_t codePoints(const std::string& s) {
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

}  // namespace

Panel::Panel() { screenList = {{{0, 0, 1440, 900}, {0, 0, 1440, 875}}}; }

void Panel::setContent(const PanelContent& c) { content = c; }

Size Panel::fittingSize() {
    const double padH = 28, padV = 20, icon = 20, gap = 8;
    switch (content.kind) {
        case PanelContent::Kind::empty: return {padH, padV};
        case PanelContent::Kind::row:
            return {std::min(520.0, padH + icon + gap + GLYPH_WIDTH * static_cast<double>(codePoints(content.text))),
                    padV + icon};
        case PanelContent::Kind::thinking: {
            double first = icon + gap + GLYPH_WIDTH * static_cast<double>(codePoints(content.text));
            double second = GLYPH_WIDTH * static_cast<double>(codePoints(content.detail));
            double lines = std::min(3.0, std::max(1.0, std::ceil(second / 492)));
            return {std::min(520.0, padH + std::max(first, std::min(second, 492.0))), padV + icon + 4 + lines * LINE_HEIGHT};
        }
        case PanelContent::Kind::message:
            return {std::min(520.0, padH + icon + gap + content.messageWidth), padV + content.messageHeight + gap + icon};
    }
    return {300, 44};
}

double Panel::textHeight(const std::vector<TextRun>& runs, double width) {
    std::string text;
    for (const auto& r : runs) text += r.text;
    auto perLine = std::max<std::size_t>(1, static_cast<std::size_t>(width / GLYPH_WIDTH));
    std::size_t lines = 0, start = 0;
    for (;;) {
        std::size_t end = text.find('\n', start);
        std::size_t n = codePoints(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        lines += std::max<std::size_t>(1, (n + perLine - 1) / perLine);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return static_cast<double>(lines) * LINE_HEIGHT;
}

void Panel::setIgnoresMouse(bool ignores) { ignoresMouse = ignores; }
bool Panel::isVisible() { return visible; }
Rect Panel::frame() { return rect; }
void Panel::setContentSize(Size size) {
    rect.width = size.width;
    rect.height = size.height;
}
void Panel::setFrameOrigin(Point origin) {
    rect.x = origin.x;
    rect.y = origin.y;
}
void Panel::orderFrontWithoutActivating() {
    visible = true;
    ++orderFrontCount;
}
void Panel::orderOut() { visible = false; }

void Panel::setButtonHandlers(std::function<void()> onCopy, std::function<void()> onClose) {
    onCopy_ = std::move(onCopy);
    onClose_ = std::move(onClose);
}

std::vector<Screen> Panel::screens() { return screenList; }

bool Panel::mainScreen(Screen& out) {
    if (!mainScreenIndex || *mainScreenIndex >= screenList.size()) return false;
    out = screenList[*mainScreenIndex];
    return true;
}

bool Panel::clickCopy() {
    if (!visible || content.kind != PanelContent::Kind::message || !onCopy_) return false;
    onCopy_();
    return true;
}

bool Panel::clickClose() {
    if (!visible || content.kind != PanelContent::Kind::message || !onClose_) return false;
    onClose_();
    return true;
}

}  // namespace talkweft::platform::headless

#include "Talkweft/HUD.hpp"

#include <algorithm>

#include "Platform/Platform.hpp"
#include "Talkweft/HUDView.hpp"
#include "Talkweft/Clipboard.hpp"

namespace talkweft {

using platform::Rect;
using platform::Screen;
using platform::Size;

namespace {

bool contains(const Rect& r, double x, double y) { return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height; }

Rect mainVisibleFrame(platform::Panel& panel) {
    Screen s;
    return panel.mainScreen(s) ? s.visibleFrame : Rect{};
}

}  // namespace

HUD::HUD() {
    if (platform::hasCurrent()) {
        panel_ = platform::current().panel;
        statusItem_ = platform::current().statusItem;
        loop_ = platform::current().loop;
    }
    model.onClose = [this] { hide(0); };
    if (panel_) {
        panel_->setButtonHandlers([this] { Clipboard::copy(model.state.text); }, [this] { model.onClose(); });
    }
}

HUD::~HUD() {
    cancelHide();
    if (loop_ && tick_) loop_->cancelTimer(tick_);
    if (panel_) panel_->setButtonHandlers(nullptr, nullptr);
}

void HUD::cancelHide() {
    if (loop_ && hideTask_) loop_->cancelTimer(hideTask_);
    hideTask_ = 0;
}

void HUD::showActivity(HUDState::Kind kind) {
    if (!statusItem_) return;
    using platform::StatusActivity;
    switch (kind) {
        case HUDState::Kind::listening: statusItem_->setActivity(StatusActivity::recording); break;
        case HUDState::Kind::transcribing:
        case HUDState::Kind::thinking: statusItem_->setActivity(StatusActivity::working); break;
        default: statusItem_->setActivity(StatusActivity::idle); break;
    }
}

void HUD::render() {
    if (!panel_) return;
    panel_->setContent(calcPanelContent(model.state, loop_ ? loop_->now() : platform::TimePoint{}, *panel_));
}

void HUD::show(const HUDState& state, std::optional<Rect> near) {
    cancelHide();
    model.state = state;
    showActivity(state.kind);
    if (loop_) {
        if (tick_) loop_->cancelTimer(tick_);
        tick_ = 0;
        if (state.kind == HUDState::Kind::thinking)
            tick_ = loop_->addRepeatingTimer(platform::seconds(1), [this] {
                if (model.state.kind == HUDState::Kind::thinking) render();
            });
    }
    if (!panel_) {
        if (state.kind == HUDState::Kind::note) hide(1.2);
        return;
    }
    panel_->setIgnoresMouse(!(state.kind == HUDState::Kind::reply || state.kind == HUDState::Kind::error));
    bool wasVisible = panel_->isVisible();
    Rect before = panel_->frame();
    double top = before.y + before.height;
    render();
    Size size = panel_->fittingSize();
    if (size.width <= 0 || size.height <= 0) size = {300, 44};
    panel_->setContentSize(size);
    if (near)
        position(size, near);
    else if (wasVisible)
        keepOnScreen(size, top);
    else
        position(size, std::nullopt);
    if (!panel_->isVisible()) panel_->orderFrontWithoutActivating();
    if (state.kind == HUDState::Kind::note) hide(1.2);
}

void HUD::hide(double seconds) {
    cancelHide();
    auto act = [this] {
        hideTask_ = 0;
        if (tick_ && loop_) loop_->cancelTimer(tick_);
        tick_ = 0;
        if (panel_) panel_->orderOut();
        model.state = HUDState::hidden();
        showActivity(HUDState::Kind::hidden);
    };
    if (!loop_) {
        act();
        return;
    }
    hideTask_ = loop_->addTimer(platform::seconds(std::max(seconds, 0.0)), act);
}

void HUD::position(Size size, std::optional<Rect> anchor) {
    auto screens = panel_->screens();
    double P = screens.empty() ? 0 : screens.front().frame.height;
    double W = size.width, H = size.height;
    if (!anchor) {
        Rect v = mainVisibleFrame(*panel_);
        panel_->setFrameOrigin({v.x + v.width / 2 - W / 2, v.y + v.height - H - 24});
        return;
    }
    const Rect& a = *anchor;
    double x = a.x;
    double y = P - (a.y + a.height) - H - 8;
    Rect v;
    bool found = false;
    for (const auto& s : screens) {
        if (contains(s.frame, a.x, P - (a.y + a.height))) {
            v = s.visibleFrame;
            found = true;
            break;
        }
    }
    if (!found) v = mainVisibleFrame(*panel_);
    if (v.y > y) y = P - a.y + 8;
    x = std::max(x, v.x + 8);
    y = std::max(y, v.y + 8);
    x = std::min(v.x + v.width - W - 8, x);
    y = std::min(v.y + v.height - H - 8, y);
    panel_->setFrameOrigin({x, y});
}

void HUD::keepOnScreen(Size size, double top) {
    Rect f = panel_->frame();
    double W = size.width, H = size.height;
    Rect v;
    bool found = false;
    for (const auto& s : panel_->screens()) {
        if (contains(s.frame, f.x + f.width / 2, top - 1)) {
            v = s.visibleFrame;
            found = true;
            break;
        }
    }
    if (!found) v = mainVisibleFrame(*panel_);
    double x = std::max(v.x + 8, f.x);
    double y = std::max(v.y + 8, top - H);
    x = std::min(v.x + v.width - W - 8, x);
    y = std::min(v.y + v.height - H - 8, y);
    panel_->setFrameOrigin({x, y});
}

}  // namespace talkweft

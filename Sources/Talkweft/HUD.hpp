// The heads-up panel: a small floating panel next to the caret (or at the top centre of the screen)
// that shows what the current cycle is doing. It never takes focus.
//
// Uses the current platform's panel and main loop (without a panel it only keeps its state). The
// status item's icon follows what it shows: recording while listening, working while transcribing
// or thinking, idle otherwise and once hidden.
// Main thread only.
#pragma once

#include <functional>
#include <optional>

#include "Platform/Geometry.hpp"
#include "Platform/MainLoop.hpp"
#include "Platform/Panel.hpp"
#include "Platform/StatusItem.hpp"
#include "Talkweft/HUDState.hpp"

namespace talkweft {

struct HUDModel {
    HUDState state;                     // what is shown
    std::function<void()> onClose = [] {};  // the Close button and Esc on a reply or error
};

class HUD {
public:
    HUD();
    ~HUD();
    HUD(const HUD&) = delete;
    HUD& operator=(const HUD&) = delete;

    // Shows `state`, placed below the caret rectangle `near` (top-left screen coordinates, as
    // captured) when given. A note hides itself after 1.2 s. Cancels a pending hide.
    void show(const HUDState& state, std::optional<platform::Rect> near = std::nullopt);

    // Hides the panel after `seconds` (0: on the next turn of the main loop). A later show() or
    // hide() cancels it.
    void hide(double seconds);

    const HUDState& state() const { return model.state; }

    HUDModel model;

private:
    void position(platform::Size size, std::optional<platform::Rect> anchor);
    void keepOnScreen(platform::Size size, double top);
    void render();
    void cancelHide();
    void showActivity(HUDState::Kind kind);

    platform::Panel* panel_ = nullptr;
    platform::StatusItem* statusItem_ = nullptr;
    platform::MainLoop* loop_ = nullptr;
    platform::TimerId hideTask_ = 0;
    platform::TimerId tick_ = 0;  // redraws the thinking counter every second
};

}  // namespace talkweft

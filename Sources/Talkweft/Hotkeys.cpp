#include "Talkweft/Hotkeys.hpp"

#include "Platform/KeySynth.hpp"
#include "Platform/Platform.hpp"
#include "Talkweft/Log.hpp"

namespace talkweft {

namespace {
platform::KeyboardSource* keyboard() {
    return platform::hasCurrent() ? platform::current().keyboard : nullptr;
}
}  // namespace

Hotkeys::Hotkeys(ChordTracker t) : tracker(std::move(t)) {}

Hotkeys::~Hotkeys() { stop(); }

void Hotkeys::start() {
    stop();
    auto* kb = keyboard();
    if (!kb) return;
    for (auto scope : {platform::MonitorScope::global, platform::MonitorScope::local}) {
        // Removed in stop(), so the handler never outlives this object.
        if (auto id = kb->addMonitor(scope, [this](const platform::KeyboardEvent& e) { handle(e); }))
            monitors_.push_back(*id);
    }
}

void Hotkeys::stop() {
    auto* kb = keyboard();
    if (kb)
        for (auto id : monitors_) kb->removeMonitor(id);
    monitors_.clear();
}

void Hotkeys::handle(const platform::KeyboardEvent& event) {
    switch (event.type) {
        case platform::KeyboardEvent::Type::keyDown:
            if (event.isEscape || event.keyCode == platform::KEY_ESCAPE) {
                onEscape();
                return;
            }
            if (!tracker.mode()) return;
            tracker.reset();
            onKeyWhileHeld();
            return;
        case platform::KeyboardEvent::Type::flagsChanged:
            if (auto ev = tracker.update(calcHeldKeys(event.rawFlags))) onChord(*ev);
            return;
    }
}

void Hotkeys::poll() {
    if (!tracker.mode()) return;
    auto* kb = keyboard();
    if (!kb) return;
    if (auto ev = tracker.update(calcHeldKeys(kb->currentFlags()))) {
        Log::write("hotkeys: release recovered by poll");
        onChord(*ev);
    }
}

}  // namespace talkweft

// The keyboard monitors: turn modifier-flag changes into chord events, report a key pressed while a
// chord is held and the Esc key, and re-read the live modifier state on demand (the watchdog's poll).
//
// Uses the current platform's keyboard source. Main thread only.
#pragma once

#include <functional>
#include <vector>

#include "Platform/KeyboardSource.hpp"
#include "TalkweftCore/Chord.hpp"

namespace talkweft {

class Hotkeys {
public:
    explicit Hotkeys(ChordTracker tracker);
    ~Hotkeys();
    Hotkeys(const Hotkeys&) = delete;
    Hotkeys& operator=(const Hotkeys&) = delete;

    // The dictation and agent chords and the chord in progress; the controller reconfigures and
    // resets it in place.
    ChordTracker tracker;

    std::function<void(const ChordEvent&)> onChord = [](const ChordEvent&) {};
    std::function<void()> onKeyWhileHeld = [] {};  // a non-modifier key went down during a chord
    std::function<void()> onEscape = [] {};        // Esc went down (chord or not, repeats included)

    // Installs one global and one local monitor (removing earlier ones first). A monitor the
    // platform refuses is simply missing.
    void start();
    // Removes every monitor.
    void stop();
    // With a chord in progress, feeds the live modifier state to the tracker and reports the event
    // it yields (logging "hotkeys: release recovered by poll"). Nothing without a chord in progress.
    void poll();

    std::size_t monitorCount() const { return monitors_.size(); }

private:
    void handle(const platform::KeyboardEvent& event);

    std::vector<platform::MonitorId> monitors_;
};

}  // namespace talkweft

// The simulated keyboard: synthesized strokes are recorded (and Command-V reported to the
// desktop, which pastes); tests send key-down and flags-changed events to the monitors and set the
// live modifier state. Main thread only.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "Platform/KeySynth.hpp"
#include "Platform/KeyboardSource.hpp"

namespace talkweft::platform::headless {

class HeadlessKeyboard : public platform::KeySynth, public platform::KeyboardSource {
public:
    // KeySynth
    bool post(const std::vector<KeyStroke>& strokes) override;

    // KeyboardSource
    std::optional<MonitorId> addMonitor(MonitorScope scope, std::function<void(const KeyboardEvent&)> handler) override;
    void removeMonitor(MonitorId id) override;
    std::uint64_t currentFlags() override { return liveFlags_; }

    // Test side: synthesis.
    bool canCreateEvents = true;        // false: post() creates nothing and fails
    std::vector<KeyStroke> posted;      // every stroke posted, in order
    std::function<void()> onPasteChord; // called for each Command-V key-down posted

    // Test side: the user's keyboard. Events go to the monitors of `scope`.
    void sendKeyDown(std::uint16_t keyCode, MonitorScope scope = MonitorScope::global);
    // Sets the live flags and sends a flags-changed event.
    void sendFlags(std::uint64_t rawFlags, MonitorScope scope = MonitorScope::global);
    // Sets the live flags without any event (a release the monitors miss).
    void setLiveFlags(std::uint64_t rawFlags) { liveFlags_ = rawFlags; }
    bool monitorsAvailable = true;      // false: addMonitor fails
    std::size_t monitorCount(MonitorScope scope) const;

private:
    void deliver(MonitorScope scope, const KeyboardEvent& event);

    std::uint64_t liveFlags_ = 0;
    MonitorId nextId_ = 1;
    std::map<MonitorId, std::pair<MonitorScope, std::function<void(const KeyboardEvent&)>>> monitors_;
};

}  // namespace talkweft::platform::headless

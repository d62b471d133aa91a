// The real audio system: capture from PulseAudio sources through libpulse (served by PulseAudio or
// by PipeWire's pulse server alike). Devices are the server's sources that are not monitors of an
// output (ids are the server's source indices); an engine records one source, or the server's
// default source at the time it starts, as interleaved 32-bit float at the source's own rate and
// channel count. Removing the engine's source, or changing the default source while an engine
// follows the default, stops the engine and calls its configuration-change handler.
//
// Threads: one libpulse main-loop thread per system; taps run on it (a tap must not call back into
// its engine's start or stop). Configuration-change handlers run on a separate notifier thread.
// All methods are thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "AudioInput/AudioSystem.hpp"

namespace audioinput {

class PulseAudioSystem : public AudioSystem {
public:
    // Connects to `server` (a libpulse server string such as "unix:/run/.../native"), or to the
    // one the environment names (PULSE_SERVER, the user's runtime folder) when absent. Throws
    // AudioEngineError "Cannot connect to the sound server: ..." when no server answers.
    explicit PulseAudioSystem(std::optional<std::string> server = std::nullopt);
    ~PulseAudioSystem() override;

    std::vector<AudioDevice> inputDevices() override;
    std::optional<AudioDevice> defaultInputDevice() override;
    std::unique_ptr<AudioEngine> makeEngine() override;
    // Linux has no microphone permission: true while the server is reachable.
    bool requestRecordPermission() override;

    struct Core;  // shared with the engines

private:
    std::shared_ptr<Core> core_;
};

// The system the engine captures through by default: PulseAudio.
std::shared_ptr<AudioSystem> makePulseAudioSystem();

}  // namespace audioinput

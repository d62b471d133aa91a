// The audio capture layer: input devices, capture engines with a tap on their input, and notices of
// configuration changes (a device added, removed or switched).
//
// A backend implements AudioSystem; TestAudioSystem is the simulated one for tests and headless runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "AudioInput/AudioFormat.hpp"

namespace audioinput {

struct AudioDevice {
    std::uint32_t id = 0;
    std::string name;
    bool operator==(const AudioDevice&) const = default;
};

// An engine that could not start, or a tap that was refused; what() is the user-visible text.
class AudioEngineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Called with each captured buffer, on the engine's capture thread (never the caller of start()).
using TapCallback = std::function<void(const AudioBuffer&)>;

// One capture engine. It reads from the device chosen with setInputDevice(), else from whatever the
// system's default input is at the moment it starts. Methods are called from one thread at a time;
// the tap runs on the capture thread.
class AudioEngine {
public:
    virtual ~AudioEngine() = default;

    // The device's own format on the input side; invalid (rate 0 or no channels) without a device.
    virtual AudioFormat inputFormat() = 0;
    // The format the tap delivers in; invalid without a device.
    virtual AudioFormat outputFormat() = 0;

    // Installs the one tap on the input. `bufferSize` is a request in frames of the tap's format; the
    // engine may deliver other sizes. Throws AudioEngineError when a tap is already installed or the
    // format's rate or channel count differs from outputFormat().
    virtual void installTap(std::uint32_t bufferSize, const AudioFormat& format, TapCallback callback) = 0;
    // Removes the tap; no effect without one. After it returns the callback is not called again.
    virtual void removeTap() = 0;

    // Starts capturing; throws AudioEngineError when the device cannot be opened.
    virtual void start() = 0;
    // Stops delivering buffers but keeps the tap and device; start() resumes.
    virtual void pause() = 0;
    // Stops capturing; the tap stays installed until removeTap().
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;

    // Chooses the input device; false when no such device exists (nothing changes then).
    virtual bool setInputDevice(std::uint32_t deviceID) = 0;

    // Sets the callback run when the engine's input changes (device lost, added or switched). The
    // engine is stopped before the callback runs. Runs on a system thread, not the caller's.
    virtual void setConfigurationChangeHandler(std::function<void()> handler) = 0;
};

class AudioSystem {
public:
    virtual ~AudioSystem() = default;

    // Devices with at least one input channel, in the system's order. Thread-safe.
    virtual std::vector<AudioDevice> inputDevices() = 0;
    // The default capture device, or absent when the machine has none. Thread-safe.
    virtual std::optional<AudioDevice> defaultInputDevice() = 0;
    // A new, stopped engine without a tap. Never null.
    virtual std::unique_ptr<AudioEngine> makeEngine() = 0;
    // Asks for microphone access (may block until answered); true when granted.
    virtual bool requestRecordPermission() = 0;
};

}  // namespace audioinput

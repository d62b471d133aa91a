// A simulated audio system for tests and headless runs: devices that come and go, engines that
// capture what the test plays, start failures on cue and a scripted permission answer.
//
// Buffers are delivered synchronously on the thread that calls play(), cut into the sizes the taps
// asked for; configuration-change handlers run on the thread that changes the devices. All methods
// are thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "AudioInput/AudioFile.hpp"
#include "AudioInput/AudioSystem.hpp"

namespace audioinput {

class TestAudioSystem : public AudioSystem {
public:
    TestAudioSystem();
    ~TestAudioSystem() override;

    // Adds an input device with this capture format; it becomes the default when `makeDefault` or
    // when there is no default yet. Returns its id (ids start at 1 and are never reused).
    std::uint32_t addDevice(const std::string& name, AudioFormat format, bool makeDefault = true);
    // Removes the device (unplugged). The default moves to the first remaining device, or to none.
    // Every engine whose input changes is stopped and its configuration-change handler called.
    void removeDevice(std::uint32_t id);
    // Makes another device (or none) the default; engines following the default are notified.
    void setDefaultDevice(std::optional<std::uint32_t> id);

    // The next engine start() throws AudioEngineError with this text (once).
    void failNextStart(const std::string& message);
    // The answer of requestRecordPermission() (default true) and how often it was asked.
    void setPermission(bool granted);
    int permissionRequests() const;

    // Delivers interleaved float frames in the device's channel count to every running engine that
    // captures from it (default: the default device). The samples are stored in the device's sample
    // type. Returns the number of frames delivered to at least one engine (0 when none was running).
    std::size_t play(const std::vector<float>& interleaved, std::optional<std::uint32_t> device = std::nullopt);
    // Plays `seconds` of a sine of `amplitude` at `frequency` Hz on all of the device's channels.
    std::size_t playTone(double seconds, float amplitude, double frequency = 440.0,
                         std::optional<std::uint32_t> device = std::nullopt);
    // Plays a file; its rate and channel count must match the device's format (else
    // std::invalid_argument). Throws AudioFileError for an unreadable file.
    std::size_t playFile(const std::string& path, std::optional<std::uint32_t> device = std::nullopt);

    // Number of engines currently running.
    int runningEngines() const;

    std::vector<AudioDevice> inputDevices() override;
    std::optional<AudioDevice> defaultInputDevice() override;
    std::unique_ptr<AudioEngine> makeEngine() override;
    bool requestRecordPermission() override;

    struct State;  // shared with the engines

private:
    std::shared_ptr<State> state_;
};

}  // namespace audioinput

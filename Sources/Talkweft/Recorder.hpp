// The microphone recorder: captures the default input for one hold of the chord and hands back the
// recording as 16 kHz mono float samples, converting each buffer as it arrives. It survives a change
// of audio device by rebuilding its input, and tells its owner when that fails.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "AudioInput/AudioSystem.hpp"
#include "AudioInput/Converter.hpp"
#include "Platform/MainLoop.hpp"

namespace talkweft {

class RecorderError : public std::runtime_error {
public:
    enum class Case { noInput };
    explicit RecorderError(Case c) : std::runtime_error("No microphone is available right now."), kind(c) {}
    Case kind;
};

class Recorder {
public:
    // Records from `audio`; device changes are handled on `loop`. Both must outlive the recorder.
    Recorder(audioinput::AudioSystem& audio, platform::MainLoop& loop);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Starts recording into an emptied sample list; does nothing when already running. Throws
    // RecorderError(noInput) when there is no input device, its formats have no rate or channels,
    // or no converter can be made; rethrows the engine's AudioEngineError when it does not start.
    // After a failure nothing has changed. Main thread.
    void start();

    // Stops and returns everything recorded since start() (empty when not running). Main thread.
    std::vector<float> stop();

    bool isRunning() const { return running_; }

    // Run on the main thread when the input was lost and could not be rebuilt. The recording stays
    // "running" until the owner stops it.
    std::function<void()> onInterrupted = [] {};

private:
    void connect();
    void reconnect();
    void append(const audioinput::AudioBuffer& buffer);  // capture thread
    void drainConverter();  // the resampler's held-back samples, once the tap is removed

    audioinput::AudioSystem& audio_;
    platform::MainLoop& loop_;
    std::unique_ptr<audioinput::AudioEngine> engine_;
    std::mutex lock_;
    std::vector<float> samples_;  // guarded by lock_
    std::unique_ptr<audioinput::Converter> converter_;  // used by the tap only while it is installed
    bool running_ = false;
    std::shared_ptr<Recorder*> self_;  // weak copies let posted callbacks see that the recorder is gone
};

}  // namespace talkweft

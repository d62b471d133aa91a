// Short sounds: the system's named sounds and sound files, played without waiting for their end.
#pragma once

#include <memory>
#include <string>

namespace talkweft::platform {

// One loaded sound. Main thread.
class Sound {
public:
    virtual ~Sound() = default;
    // Volume from 0 (silent) to 1 (full).
    virtual void setVolume(float volume) = 0;
    // Stops the sound if it is sounding; the next play() starts from the beginning.
    virtual void stop() = 0;
    // Starts playing and returns at once.
    virtual void play() = 0;
};

// Resolves sounds. Main thread.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    // The system's sound with this name (the sound theme's standard lookup), or null when unknown.
    virtual std::shared_ptr<Sound> named(const std::string& name) = 0;
    // The sound in this file, loaded by reference, or null when the file is missing or unreadable.
    virtual std::shared_ptr<Sound> file(const std::string& path) = 0;
};

}  // namespace talkweft::platform

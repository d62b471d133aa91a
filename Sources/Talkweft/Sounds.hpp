// Sound cues: short system sounds for a recording's start (one per mode), its release, and a
// microphone that failed to start.
#pragma once

#include <string_view>

namespace talkweft {

// The cues, in this order: the first two follow the order of Mode, so a recording's start cue is
// the case at the position of its mode.
enum class Cue { dictateStart, agentStart, release, failure };

// The system sound each cue plays: "begin_record", "Pop", "Bottle", "Basso".
std::string_view cueSoundName(Cue cue);

namespace Sounds {

// Where sound files are looked up after the named lookup fails: this folder + name + ".oga".
inline constexpr std::string_view SYSTEM_SOUNDS_DIR = "/usr/share/sounds/freedesktop/stereo/";

// Plays `cue` at volume 0.35 when `enabled`, restarting it when it is still sounding; does nothing
// when disabled. A name is resolved once per process (named sound, then the sound folder, then
// "Tink") and cached under the cue's name, also when a fallback was found; a name nothing resolves
// plays nothing, silently. Uses the current platform's sound player (none: silent). Main thread.
void play(Cue cue, bool enabled);

// Number of names cached for the current platform (the cache starts over when the platform changes).
std::size_t cacheSize();

}  // namespace Sounds
}  // namespace talkweft

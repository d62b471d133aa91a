// Sounds on a Linux desktop through libcanberra: named sounds come from the freedesktop sound theme
// (the application's cue names are mapped to theme event ids), files are played by path.
//
// Every call into libcanberra happens on a worker thread of the player: opening the sound server,
// loading a file and starting a stream all wait on the server, and a server that is missing or hung
// must never hold up the main thread. play(), stop() and setVolume() only queue a request. Failures
// (no sound server, an unreadable file) are silent.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/DesktopEntries.hpp"
#include "Platform/Sound.hpp"

namespace talkweft::platform::linuxdesktop {

// The sound theme the player looks names up in (libcanberra's default theme).
inline constexpr std::string_view SOUND_THEME = "freedesktop";

// The theme event id that plays for an application sound name ("begin_record" -> "device-added");
// a name that is no cue name is taken as an event id itself.
std::string_view calcSoundEventID(std::string_view name);

// The sound folders of `theme` in lookup order: $XDG_DATA_HOME (else ~/.local/share), then each of
// $XDG_DATA_DIRS (else /usr/local/share:/usr/share), each + "/sounds/<theme>/stereo".
std::vector<std::filesystem::path> calcSoundThemeDirs(const EnvLookup& env, const std::filesystem::path& home,
                                                      std::string_view theme = SOUND_THEME);

// The file of `eventID` in the first of `dirs` that has one (".oga", ".ogg" or ".wav"), if any.
std::optional<std::filesystem::path> findThemeSound(const std::vector<std::filesystem::path>& dirs, std::string_view eventID);

// Canberra's volume, in decibels relative to full volume, for a volume from 0 to 1 (20·log10);
// volumes at or below 0 give the quietest level libcanberra takes.
double calcCanberraDecibels(float volume);

class CanberraSoundPlayer : public platform::SoundPlayer {
public:
    // `dirs`: the theme's sound folders (calcSoundThemeDirs of the process's environment by default).
    explicit CanberraSoundPlayer(std::optional<std::vector<std::filesystem::path>> dirs = std::nullopt);
    // Ends the worker; waits at most `SHUTDOWN_WAIT` for a worker caught in a hung server call, then
    // leaves it behind (it owns its own state) rather than hang the process's exit.
    ~CanberraSoundPlayer() override;
    CanberraSoundPlayer(const CanberraSoundPlayer&) = delete;
    CanberraSoundPlayer& operator=(const CanberraSoundPlayer&) = delete;

    static constexpr std::chrono::milliseconds SHUTDOWN_WAIT{1000};

    // Null unless the theme really has a sound for `name`.
    std::shared_ptr<platform::Sound> named(const std::string& name) override;
    // Null unless `path` is a readable Ogg or WAV file (the formats libcanberra plays).
    std::shared_ptr<platform::Sound> file(const std::string& path) override;

    // Waits until the worker has handled every request queued so far (at most `limit`); for tests.
    bool drain(std::chrono::milliseconds limit);

    struct Worker;

private:
    std::vector<std::filesystem::path> dirs_;
    std::shared_ptr<Worker> worker_;
};

}  // namespace talkweft::platform::linuxdesktop

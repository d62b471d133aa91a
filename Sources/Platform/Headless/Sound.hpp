// Simulated sounds: a set of known names and files, and a log of what was played.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "Platform/Sound.hpp"

namespace talkweft::platform::headless {

class SoundPlayer : public platform::SoundPlayer {
public:
    // `names`: the named sounds the system knows; `files`: the sound files that exist.
    explicit SoundPlayer(std::set<std::string> names = {}, std::set<std::string> files = {});

    std::shared_ptr<platform::Sound> named(const std::string& name) override;
    std::shared_ptr<platform::Sound> file(const std::string& path) override;

    // Every lookup made, as "named:<name>" or "file:<path>", in order.
    std::vector<std::string> lookups;
    // Every play, as the name or path of the sound played, in order.
    std::vector<std::string> played;
    // Every stop of a sound that was still sounding (a restart), by name or path.
    std::vector<std::string> restarted;
    // The volume of the last play.
    float lastVolume = -1;

private:
    std::set<std::string> names_;
    std::set<std::string> files_;
};

}  // namespace talkweft::platform::headless

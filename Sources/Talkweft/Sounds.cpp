#include "Talkweft/Sounds.hpp"

#include <map>
#include <memory>
#include <string>

#include "Platform/Platform.hpp"
#include "Platform/Sound.hpp"

namespace talkweft {

std::string_view cueSoundName(Cue cue) {
    switch (cue) {
        case Cue::dictateStart: return "begin_record";
        case Cue::agentStart: return "Pop";
        case Cue::release: return "Bottle";
        case Cue::failure: return "Basso";
    }
    return "Tink";
}

namespace Sounds {

namespace {

// Sounds belong to the platform's player, so the cache belongs to one platform generation.
struct Cache {
    std::uint64_t generation = 0;
    std::map<std::string, std::shared_ptr<platform::Sound>> sounds;
};

Cache& cache() {
    static Cache c;
    if (platform::hasCurrent() && c.generation != platform::currentGeneration()) {
        c.sounds.clear();
        c.generation = platform::currentGeneration();
    }
    return c;
}

std::shared_ptr<platform::Sound> loadSound(platform::SoundPlayer& player, const std::string& name) {
    if (auto s = player.named(name)) return s;
    if (auto s = player.file(std::string(SYSTEM_SOUNDS_DIR) + name + ".oga")) return s;
    return player.named("Tink");
}

}  // namespace

void play(Cue cue, bool enabled) {
    if (!enabled || !platform::hasCurrent()) return;
    platform::SoundPlayer* player = platform::current().sounds;
    if (!player) return;
    std::string name(cueSoundName(cue));
    auto& sounds = cache().sounds;
    std::shared_ptr<platform::Sound> sound;
    if (auto it = sounds.find(name); it != sounds.end()) sound = it->second;
    if (!sound) sound = loadSound(*player, name);
    if (!sound) return;
    sounds[name] = sound;
    sound->setVolume(0.35f);
    sound->stop();
    sound->play();
}

std::size_t cacheSize() { return cache().sounds.size(); }

}  // namespace Sounds
}  // namespace talkweft

#include "Platform/Headless/Sound.hpp"

namespace talkweft::platform::headless {

namespace {

// A sound counts as sounding from play() until stop(); the simulation has no end of playback.
class Sound : public platform::Sound {
public:
    Sound(SoundPlayer& owner, std::string id) : owner_(owner), id_(std::move(id)) {}
    void setVolume(float volume) override { volume_ = volume; }
    void stop() override {
        if (sounding_) owner_.restarted.push_back(id_);
        sounding_ = false;
    }
    void play() override {
        sounding_ = true;
        owner_.played.push_back(id_);
        owner_.lastVolume = volume_;
    }

private:
    SoundPlayer& owner_;
    std::string id_;
    float volume_ = 1;
    bool sounding_ = false;
};

}  // namespace

SoundPlayer::SoundPlayer(std::set<std::string> names, std::set<std::string> files)
    : names_(std::move(names)), files_(std::move(files)) {}

std::shared_ptr<platform::Sound> SoundPlayer::named(const std::string& name) {
    lookups.push_back("named:" + name);
    if (!names_.count(name)) return nullptr;
    return std::make_shared<Sound>(*this, name);
}

std::shared_ptr<platform::Sound> SoundPlayer::file(const std::string& path) {
    lookups.push_back("file:" + path);
    if (!files_.count(path)) return nullptr;
    return std::make_shared<Sound>(*this, path);
}

}  // namespace talkweft::platform::headless

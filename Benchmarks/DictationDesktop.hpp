// The simulated desktop the dictation benchmarks run the whole application on: the real clock, an
// editor in front with an empty text field focused, a 48 kHz microphone that plays what it is
// given, and sounds and a panel that only record. Installed as the platform while it lives.
#pragma once

#include <memory>

#include "AudioInput/TestAudioSystem.hpp"
#include "Platform/Headless/Desktop.hpp"
#include "Platform/Headless/Panel.hpp"
#include "Platform/Headless/Sound.hpp"

namespace talkweft::benchmarks {

struct DictationDesktop {
    platform::headless::Desktop desktop{platform::headless::HeadlessLoop::ClockMode::realClock};
    platform::headless::SoundPlayer sounds{{"begin_record", "Pop", "Bottle", "Basso", "Tink"}};
    platform::headless::Panel panel;
    audioinput::TestAudioSystem audio;
    std::shared_ptr<platform::headless::TextField> field = std::make_shared<platform::headless::TextField>("");

    DictationDesktop() {
        desktop.pasteDelay = platform::seconds(0);
        desktop.platform().sounds = &sounds;
        desktop.platform().panel = &panel;
        desktop.platform().audio = &audio;
        audio.addDevice("Mic", {48000, 1});
        auto editor = desktop.addApp(100, "com.example.editor", "Editor");
        editor->addWindow("notes.txt")->addChild(field);
        editor->focus(field);
        desktop.activate(100);
    }

private:
    platform::ScopedPlatform scope_{desktop.platform()};
};

}  // namespace talkweft::benchmarks

// What the dictation benchmarks share: the simulated desktop they run the whole application on
// (the real clock, an editor in front with an empty text field focused, a 48 kHz microphone that
// plays what it is given, sounds and a panel that only record; installed as the platform while it
// lives), and an engine that times its transcriptions.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "AudioInput/TestAudioSystem.hpp"
#include "Platform/Headless/Desktop.hpp"
#include "Platform/Headless/Panel.hpp"
#include "Platform/Headless/Sound.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"

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

// The real engine, keeping the time and timings of its last transcription; a subclass may adjust
// the decoding options first.
class TimedEngine : public zadezariro::ZadezarIro {
public:
    explicit TimedEngine(const zadezariro::ZadezarIroConfig& config) : ZadezarIro(config) {}
    using ZadezarIro::transcribe;
    zadezariro::TranscriptionResults transcribe(const std::vector<float>& audio, std::int64_t offset,
                                                const std::optional<zadezariro::DecodingOptions>& options,
                                                const zadezariro::TranscriptionCallback& callback,
                                                const zadezariro::SegmentDiscoveryCallback& segmentCallback) override {
        auto used = options;
        adjust(used);
        const auto start = std::chrono::steady_clock::now();
        auto results = ZadezarIro::transcribe(audio, offset, used, callback, segmentCallback);
        std::lock_guard lock(mutex);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        timings = results.empty() ? zadezariro::TranscriptionTimings{} : results.front()->timings();
        return results;
    }
    std::mutex mutex;
    double seconds = 0;
    zadezariro::TranscriptionTimings timings;

protected:
    virtual void adjust(std::optional<zadezariro::DecodingOptions>&) const {}
};

}  // namespace talkweft::benchmarks

// A simulated desktop with the whole application cycle wired up: an editor app with a text field,
// a microphone, sounds, the panel, settings, a scripted transcriber and a fake agent executable.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "AudioInput/TestAudioSystem.hpp"
#include "CycleSupport.hpp"
#include "Platform/Headless/Desktop.hpp"
#include "Platform/Headless/Panel.hpp"
#include "Platform/Headless/Sound.hpp"
#include "Talkweft/Controller.hpp"
#include "Talkweft/Paths.hpp"
#include "TalkweftCore/Task.hpp"

namespace talkweft::cycletest {

namespace fs = std::filesystem;

// Answers with a set text or error, after an optional real-time delay or a gate the test opens;
// both waits end early when the task is cancelled.
class ScriptedTranscriber : public Transcriber {
public:
    const std::string& model() const override { return model_; }
    void prepare() override {
        if (prepareError) throw std::runtime_error(*prepareError);
    }
    std::string transcribe(const std::vector<float>& samples, const std::string& language) override {
        {
            std::lock_guard lock(m);
            calls++;
            lastSamples = samples.size();
            lastLanguage = language;
        }
        std::stop_callback wake(currentStopToken(), [&] {
            std::lock_guard l(m);
            cv.notify_all();
        });
        std::unique_lock lock(m);
        auto until = std::chrono::steady_clock::now() + delay;
        if (ignoreCancellation) {
            cv.wait_until(lock, until, [] { return false; });
            return text;
        }
        cv.wait_until(lock, until, [&] { return isCancelled(); });
        cv.wait(lock, [&] { return open || isCancelled(); });
        checkCancellation();
        if (error) throw std::runtime_error(*error);
        return text;
    }
    void release() {
        std::lock_guard lock(m);
        open = true;
        cv.notify_all();
    }

    std::string text = "world";
    std::optional<std::string> error;
    std::optional<std::string> prepareError;
    std::chrono::milliseconds delay{0};
    bool open = true;  // false: waits for release()
    bool ignoreCancellation = false;  // true: sleeps the delay and answers even when cancelled
    int calls = 0;
    std::size_t lastSamples = 0;
    std::string lastLanguage;
    std::mutex m;
    std::condition_variable cv;

private:
    std::string model_ = "scripted";
};

inline std::uint64_t flags(std::initializer_list<ModKey> keys) {
    std::uint64_t f = 0;
    for (auto k : keys) f |= modKeyMask(k);
    return f;
}

class CycleTest : public ::testing::Test {
protected:
    static constexpr std::int32_t EDITOR = 100;
    static constexpr std::int32_t OTHER = 200;

    void SetUp() override {
        tmp = fs::temp_directory_path() / ("talkweft-cycle-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(tmp);
        fs::create_directories(tmp);
        desktop.platform().sounds = &sounds;
        desktop.platform().panel = &panel;
        desktop.platform().audio = &audio;
        scope = std::make_unique<platform::ScopedPlatform>(desktop.platform());
        audio.addDevice("Mic", {48000, 1});
        editor = desktop.addApp(EDITOR, "com.example.editor", "Editor");
        auto window = editor->addWindow("notes.txt");
        field = std::make_shared<platform::headless::TextField>("Hello");
        window->addChild(field);
        editor->focus(field);
        other = desktop.addApp(OTHER, "com.example.other", "Other");
        desktop.activate(EDITOR);

        settingsStore = std::make_unique<SettingsStore>(desktop.defaults());
        settingsStore->update([&](Settings& s) {
            s.dictateChord = {ModKey::rightOption};
            s.agentChord = {ModKey::rightOption, ModKey::rightCommand};
            s.captureScreenshot = false;
            s.claude.path = writeAgent(R"({"type":"result","is_error":false,"structured_output":{"action":"insert","text":"hi"}})");
            s.claude.timeout = 20;
        });
        transcriber = std::make_shared<ScriptedTranscriber>();
        controller = std::make_unique<Controller>(*settingsStore, transcriber);
        controller->store.root = tmp / "History";
        controller->hotkeys.start();
    }

    void TearDown() override {
        if (controller) controller->waitForIdle();
        controller.reset();
        scope.reset();
        fs::remove_all(tmp);
    }

    // Writes a fake agent: records its arguments in args.txt, sleeps `sleepSeconds`, prints `json`.
    std::string writeAgent(const std::string& json, double sleepSeconds = 0) {
        auto path = tmp / "fake-claude";
        std::ofstream out(path);
        out << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << (tmp / "args.txt").string() << "'\n";
        if (sleepSeconds > 0) out << "sleep " << sleepSeconds << "\n";
        out << "cat <<'JSON'\n" << json << "\nJSON\n";
        out.close();
        fs::permissions(path, fs::perms::owner_all);
        return path.string();
    }
    void setAgentAnswer(const std::string& json, double sleepSeconds = 0) {
        auto path = writeAgent(json, sleepSeconds);
        settingsStore->update([&](Settings& s) { s.claude.path = path; });
    }

    // Holds the chord, speaks `seconds` of tone, and releases it.
    void hold(std::initializer_list<ModKey> keys, double seconds, float amplitude = 0.3f) {
        desktop.keyboard().sendFlags(flags(keys));
        audio.playTone(seconds, amplitude);
        desktop.loop().advance(platform::seconds(seconds));
        desktop.keyboard().sendFlags(0);
    }
    void settle() {
        controller->waitForIdle();
        desktop.loop().advance(platform::seconds(2));
    }
    std::vector<HistoryEntry> history(const std::string& bundle = "com.example.editor", const std::string& subject = "window:notes.txt") {
        return controller->store.recent({desktop.userName, bundle, subject}, 20);
    }

    fs::path tmp;
    platform::headless::Desktop desktop;
    platform::headless::SoundPlayer sounds{{"begin_record", "Pop", "Bottle", "Basso", "Tink"}};
    platform::headless::Panel panel;
    audioinput::TestAudioSystem audio;
    std::unique_ptr<platform::ScopedPlatform> scope;
    std::shared_ptr<platform::headless::AppNode> editor, other;
    std::shared_ptr<platform::headless::TextField> field;
    std::unique_ptr<SettingsStore> settingsStore;
    std::shared_ptr<ScriptedTranscriber> transcriber;
    std::unique_ptr<Controller> controller;
};

}  // namespace talkweft::cycletest

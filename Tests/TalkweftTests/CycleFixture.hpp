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

// Answers with a set text or error, at once or when the test opens its gate; the gate's wait ends
// early when the task is cancelled, unless `ignoreCancellation` was set when the call began.
class ScriptedTranscriber : public Transcriber {
public:
    const std::string& model() const override { return model_; }
    void prepare() override {
        if (prepareError) throw std::runtime_error(*prepareError);
    }
    std::string transcribe(const std::vector<float>& samples, const std::string& language) override {
        // Made before taking the lock: a stop requested already runs the callback right here.
        std::stop_callback wake(currentStopToken(), [&] {
            std::lock_guard l(m);
            cv.notify_all();
        });
        std::unique_lock lock(m);
        calls++;
        lastSamples = samples.size();
        lastLanguage = language;
        cv.notify_all();
        if (ignoreCancellation) {
            // Counted once this thread has ended, so after whatever it posted on its way out.
            struct EndNotice {
                ScriptedTranscriber* owner = nullptr;
                ~EndNotice() {
                    if (!owner) return;
                    std::lock_guard l(owner->m);
                    owner->lateThreadsEnded++;
                    owner->cv.notify_all();
                }
            };
            thread_local EndNotice notice;
            notice.owner = this;
            // Stands for an engine that notices the cancellation only when it is done.
            cv.wait(lock, [&] { return lateOpen; });
            lateReturns++;
            cv.notify_all();
            return text;
        }
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
    void releaseLate() {
        std::lock_guard lock(m);
        lateOpen = true;
        cv.notify_all();
    }
    // Any thread: waits until `done()` holds (checked under the lock).
    template <class F>
    void waitUntil(F done) {
        std::unique_lock lock(m);
        cv.wait(lock, done);
    }

    std::string text = "world";
    std::optional<std::string> error;
    std::optional<std::string> prepareError;
    bool open = true;  // false: waits for release()
    bool ignoreCancellation = false;  // true: waits for releaseLate() and answers even when cancelled
    bool lateOpen = false;
    int lateReturns = 0;
    int lateThreadsEnded = 0;  // threads that answered late and have ended since (the owner outlives them)
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

// Dictation on the real desktop, end to end: Right Alt held and released as real X key events,
// speech played into the session's null sink and recorded from its microphone through PulseAudio,
// the speech engine with a scripted test model transcribing, the text pasted into a GTK 3 entry, a
// GTK 3 text view and a Qt 6 plain text edit, read back through AT-SPI at the caret, and the user's
// clipboard (text and an image) served again afterwards.
// GoogleTest first: Xlib's macros (None, Bool ...) would break its headers when this file opens a
// unity batch.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>

#include "AudioInput/PulseAudioSystem.hpp"
#include "DesktopSession.hpp"
#include "FieldApps.hpp"
#include "MLRuntime/WhisperTestModels.hpp"
#include "Platform/Headless/MemoryDefaults.hpp"
#include "Platform/Headless/Panel.hpp"
#include "Platform/Headless/Sound.hpp"
#include "Platform/Linux/LinuxDesktop.hpp"
#include "Platform/PNG.hpp"
#include "Talkweft/Controller.hpp"
#include "Talkweft/Paths.hpp"
#include "Talkweft/SettingsStore.hpp"
#include "SharedFixtures.hpp"

namespace desktoptest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace pf = talkweft::platform;
using talkweft::ModKey;

constexpr const char* MODEL = "openai_whisper-tiny.en";
const fs::path TOKENIZER = fs::path(TALKWEFT_SOURCE_DIR) / "../shared/fixtures/tokenizer-en";

class DictationEndToEnd : public DesktopSuite {
protected:
    void SetUp() override {
        if (!DesktopSession::available() || session() == nullptr) return;
        // The scripted test model (it says " Hello world.") and the English tokenizer, in the
        // application's model folder below the session's home.
        const fs::path models = talkweft::Paths::models();
        mlruntime::testmodels::FolderOptions options;
        options.size = *mlruntime::testmodels::namedSize("tiny");
        options.size.layers = 1;
        options.scripted = true;
        mlruntime::testmodels::writeModelFolder(models / "models/zevidirev/zadezariro-coreml" / MODEL, options);
        fs::create_directories(models / "models/openai/whisper-tiny.en");
        for (const char* file : {"tokenizer.json", "tokenizer_config.json"})
            fs::copy_file(TOKENIZER / file, models / "models/openai/whisper-tiny.en" / file, fs::copy_options::overwrite_existing);

        speech_ = session()->runFolder() / "speech.wav";
        ASSERT_EQ(session()->run({"espeak-ng", "-w", speech_.string(), "hello world, this is a dictation test"}).status, 0);

        desktop_ = std::make_unique<pf::linuxdesktop::LinuxDesktop>(session()->display());
        audio_ = std::make_unique<audioinput::PulseAudioSystem>(session()->pulseServer());
        auto& p = desktop_->platform();
        p.defaults = &defaults_;
        p.sounds = &sounds_;
        p.panel = &panel_;
        p.audio = audio_.get();
        scope_ = std::make_unique<pf::ScopedPlatform>(p);
        settings_ = std::make_unique<talkweft::SettingsStore>(defaults_);
        settings_->update([](talkweft::Settings& s) {
            s.dictateChord = {ModKey::rightOption};
            s.agentChord = {ModKey::rightOption, ModKey::rightCommand};
            s.captureScreenshot = false;
            s.whisperModel = MODEL;
        });
        controller_ = std::make_unique<talkweft::Controller>(*settings_);
        controller_->store.root = session()->runFolder() / "History";
        std::vector<std::string> statuses;
        controller_->onStatus = [&](const std::string& s) { statuses.push_back(s); };
        controller_->prepareTranscriber();
        controller_->waitForIdle();
        ASSERT_EQ(statuses.back(), "Ready");
        controller_->onStatus = [](const std::string&) {};
        controller_->hotkeys.start();
        keys_ = XOpenDisplay(session()->display().c_str());
    }
    void TearDown() override {
        if (controller_) controller_->waitForIdle();
        controller_.reset();
        settings_.reset();
        scope_.reset();
        desktop_.reset();
        audio_.reset();
        if (keys_) XCloseDisplay(keys_);
    }

    void rightAlt(bool down) {
        XTestFakeKeyEvent(keys_, 108, down ? True : False, CurrentTime);
        XSync(keys_, False);
    }
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
        desktop_->loop().setRunUntilLimit(limit);
        return desktop_->loop().runUntil(done);
    }
    std::string clip(const std::string& target) {
        return session()->run({"xclip", "-selection", "clipboard", "-o", "-t", target}, {}, 5s).out;
    }

    fs::path speech_;
    pf::headless::MemoryDefaults defaults_;
    pf::headless::SoundPlayer sounds_{{"begin_record", "Pop", "Bottle", "Basso", "Tink"}};
    pf::headless::Panel panel_;
    std::unique_ptr<pf::linuxdesktop::LinuxDesktop> desktop_;
    std::unique_ptr<audioinput::PulseAudioSystem> audio_;
    std::unique_ptr<pf::ScopedPlatform> scope_;
    std::unique_ptr<talkweft::SettingsStore> settings_;
    std::unique_ptr<talkweft::Controller> controller_;
    Display* keys_ = nullptr;
};

struct DictationField {
    const char* name;
    const char* script;
    const char* field;
};

TEST_F(DictationEndToEnd, SpeechLandsAtTheCaretOfGtkAndQtFieldsAndTheClipboardComesBack) {
    TALKWEFT_NEED_DESKTOP();
    ASSERT_TRUE(controller_);
    // The user's clipboard: text and an image, owned by another app.
    pf::Image pixel{2, 1, {9, 8, 7, 255, 6, 5, 4, 255}};
    const std::string png = *pf::encodePNG(pixel);
    const fs::path pngFile = session()->runFolder() / "user.png";
    std::ofstream(pngFile, std::ios::binary) << png;

    const DictationField cases[] = {
        {"gtk-entry", "gtk_fields.py", "entry"},
        {"gtk-view", "gtk_fields.py", "view"},
        {"qt-plain", "qt_fields.py", "plain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FieldApp owner(*session(), "x11_apps.py", {"clipboard", std::string("user text ") + c.name, pngFile.string()},
                       std::string("owner-") + c.name);
        ASSERT_TRUE(DesktopSession::waitFor([&] { return clip("UTF8_STRING") == std::string("user text ") + c.name; }));

        // "Notes: é 👩‍💻" with the caret after "Notes:" (UTF-16 offset 6).
        const std::string before = "Notes: \xC3\xA9 \xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB";
        FieldApp app(*session(), c.script, {"--title", std::string("Dictation ") + c.name, std::string("--") + c.field, before,
                                            "--focus", c.field, "--caret", "6"},
                     c.name);
        ASSERT_TRUE(app.waitReady());
        auto field = waitForFocus(desktop_->accessibility(), app.pid());
        ASSERT_TRUE(field);
        ASSERT_EQ(field->attribute(pf::AX_VALUE), pf::AXValue(before));
        ASSERT_EQ(field->attribute(pf::AX_SELECTED_TEXT_RANGE), pf::AXValue(pf::AXRange{6, 0}));

        rightAlt(true);
        ASSERT_TRUE(runUntil([&] { return controller_->isRecording(); }, 20s));
        auto played = std::async(std::launch::async, [&] {
            return session()->run({"paplay", "--latency-msec=20", speech_.string()}).status;
        });
        ASSERT_TRUE(runUntil([&] { return played.wait_for(0s) == std::future_status::ready; }, 60s));
        ASSERT_EQ(played.get(), 0);
        rightAlt(false);

        const std::string expected = "Notes: Hello world. \xC3\xA9 \xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB";
        ASSERT_TRUE(runUntil([&] { return app.lastText(c.field) == expected; }, 30s)) << [&] {
            std::string all;
            for (const auto& l : app.lines()) all += l + "\n";
            std::ifstream log(talkweft::Paths::logFile());
            return all + std::string((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        }();

        // Read back through AT-SPI: the field's text, and the caret just after the pasted words.
        auto focused = waitForFocus(desktop_->accessibility(), app.pid());
        ASSERT_TRUE(focused);
        EXPECT_EQ(focused->attribute(pf::AX_VALUE), pf::AXValue(expected));
        const std::int64_t caret = static_cast<std::int64_t>(std::string("Notes: Hello world.").size());
        EXPECT_TRUE(DesktopSession::waitFor([&] {
            return focused->attribute(pf::AX_SELECTED_TEXT_RANGE) == pf::AXValue(pf::AXRange{caret, 0});
        })) << "caret";

        // The user's clipboard is served again: the text and the image.
        ASSERT_TRUE(runUntil([&] { return clip("UTF8_STRING") == std::string("user text ") + c.name; }, 20s));
        const std::string targets = clip("TARGETS");
        EXPECT_NE(targets.find("image/png"), std::string::npos) << targets;
        EXPECT_EQ(clip("image/png"), png);
        controller_->waitForIdle();
    }
}

}  // namespace
}  // namespace desktoptest

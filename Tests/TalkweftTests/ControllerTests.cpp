#include "CycleFixture.hpp"

using namespace talkweft;
using namespace talkweft::cycletest;
using K = HUDState::Kind;

TEST_F(CycleTest, DictationPastesAtTheCaretAndRecordsHistory) {
    LogTail log;
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    EXPECT_TRUE(controller->isRecording());
    EXPECT_EQ(controller->hud.state(), HUDState::listening(Mode::dictate, false));
    audio.playTone(1.0, 0.3f);
    desktop.loop().advance(platform::seconds(1.0));
    desktop.keyboard().sendFlags(0);
    EXPECT_FALSE(controller->isRecording());
    settle();
    EXPECT_EQ(field->text(), "Hello world");
    EXPECT_EQ(transcriber->lastSamples, 16000u);
    EXPECT_EQ(controller->hud.state().kind, K::hidden);
    EXPECT_EQ(sounds.played, (std::vector<std::string>{"begin_record", "Bottle"}));
    EXPECT_TRUE(log.contains("audio: 1.0s rms=0.2121 mode=dictate"));
    EXPECT_TRUE(log.contains("transcript: 5 chars"));
    auto h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].text, " world");
    EXPECT_EQ(h[0].instruction, "world");
    EXPECT_TRUE(h[0].applied);
}

TEST_F(CycleTest, ShortHoldsSilenceAndEmptyTranscriptsAreDropped) {
    LogTail log;
    hold({ModKey::rightOption}, 0.2);
    settle();
    EXPECT_EQ(transcriber->calls, 0);
    EXPECT_EQ(field->text(), "Hello");

    hold({ModKey::rightOption}, 1.0, 0.001f);
    EXPECT_EQ(controller->hud.state(), HUDState::note("Didn't hear anything"));
    settle();
    EXPECT_EQ(transcriber->calls, 0);

    transcriber->text = "Thank you.";
    hold({ModKey::rightOption}, 1.0);
    controller->waitForIdle();
    EXPECT_EQ(controller->hud.state(), HUDState::note("Didn't catch that"));
    EXPECT_EQ(field->text(), "Hello");
    EXPECT_TRUE(history().empty());
}

TEST_F(CycleTest, AppSwitchedAwayGetsTheTextOnThePasteboard) {
    transcriber->open = false;
    hold({ModKey::rightOption}, 1.0);
    desktop.loop().runPending();
    EXPECT_EQ(controller->hud.state(), HUDState::transcribing(Mode::dictate));
    desktop.activate(OTHER);
    transcriber->release();
    controller->waitForIdle();
    EXPECT_EQ(field->text(), "Hello");
    EXPECT_EQ(desktop.pasteboard().plainText(), " world");
    EXPECT_EQ(controller->hud.state(),
              HUDState::error("The window changed while transcribing, so the text was copied to the clipboard instead:\n\n world"));
    EXPECT_TRUE(history().empty());
}

TEST_F(CycleTest, ADictationWhosePasteFailsLeavesTheTextOnThePasteboard) {
    desktop.pasteboard().setItems({{{std::string(platform::PASTEBOARD_PLAIN_TEXT), std::string("mine")}}});
    desktop.keyboard().canCreateEvents = false;
    hold({ModKey::rightOption}, 1.0);
    settle();  // long past the moment a paste gives the user's pasteboard back
    EXPECT_EQ(field->text(), "Hello");
    EXPECT_EQ(desktop.pasteboard().plainText(), " world");
    EXPECT_EQ(controller->hud.state(),
              HUDState::error("Couldn't paste into the field, so the text was copied to the clipboard instead:\n\n world"));
    EXPECT_TRUE(history().empty());
}

TEST_F(CycleTest, TheLanguageSettingReachesTheTranscriber) {
    for (const std::string language : {"de", ""}) {
        settingsStore->update([&](Settings& s) { s.language = language; });
        transcriber->lastLanguage = "unset";
        hold({ModKey::rightOption}, 1.0);
        controller->waitForIdle();
        EXPECT_EQ(transcriber->lastLanguage, language);
    }
}

TEST_F(CycleTest, SecureFieldDictationIsNeverRecorded) {
    field->set(platform::AX_SUBROLE, std::string(platform::AX_ROLE_SECURE_TEXT_FIELD));
    hold({ModKey::rightOption}, 1.0);
    LogTail log;
    settle();
    EXPECT_EQ(field->text(), "Helloworld") << "dictation itself works (the secure text is not read)";
    EXPECT_TRUE(history().empty());
    EXPECT_FALSE(log.contains("world"));
}

TEST_F(CycleTest, EscCancelsRecordingAndWorkAndDismissesErrors) {
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    desktop.keyboard().sendKeyDown(platform::KEY_ESCAPE);
    EXPECT_FALSE(controller->isRecording());
    desktop.keyboard().sendFlags(0);  // the release after Esc starts nothing
    desktop.loop().runPending();
    EXPECT_FALSE(controller->isBusy());

    transcriber->open = false;
    hold({ModKey::rightOption}, 1.0);
    desktop.loop().runPending();
    ASSERT_TRUE(controller->isBusy());
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    EXPECT_EQ(controller->hud.state(), HUDState::note("Still working · Esc cancels"));
    EXPECT_FALSE(controller->isRecording());
    desktop.keyboard().sendFlags(0);
    desktop.keyboard().sendKeyDown(platform::KEY_ESCAPE);
    EXPECT_FALSE(controller->isBusy());
    EXPECT_EQ(controller->hud.state(), HUDState::note("Cancelled"));
    controller->waitForIdle();
    EXPECT_EQ(field->text(), "Hello") << "the cancelled work has no effect";

    transcriber->open = true;
    transcriber->error = "engine exploded";
    hold({ModKey::rightOption}, 1.0);
    controller->waitForIdle();
    EXPECT_EQ(controller->hud.state(), HUDState::error("Transcription failed: engine exploded"));
    desktop.keyboard().sendKeyDown(platform::KEY_ESCAPE);
    desktop.loop().runPending();
    EXPECT_EQ(controller->hud.state().kind, K::hidden);
}

TEST_F(CycleTest, KeyWhileHeldAndSleepDropTheRecording) {
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    desktop.keyboard().sendKeyDown(0);  // "a"
    EXPECT_FALSE(controller->isRecording());
    desktop.keyboard().sendFlags(0);
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    EXPECT_TRUE(controller->isRecording());
    desktop.sleep();
    EXPECT_FALSE(controller->isRecording());
    desktop.keyboard().sendFlags(0);
    settle();
    EXPECT_EQ(transcriber->calls, 0);
    EXPECT_EQ(sounds.played, (std::vector<std::string>{"begin_record", "begin_record"})) << "no release cue";
}

TEST_F(CycleTest, WatchdogRecoversAMissedReleaseAndEnforcesTheMaximum) {
    LogTail log;
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    audio.playTone(1.0, 0.3f);
    desktop.keyboard().setLiveFlags(0);  // the release event is lost
    desktop.loop().advance(platform::seconds(1.0));
    EXPECT_FALSE(controller->isRecording());
    EXPECT_TRUE(log.contains("hotkeys: release recovered by poll"));
    settle();
    EXPECT_EQ(field->text(), "Hello world");

    settingsStore->update([](Settings& s) { s.maxRecordingSeconds = 2; });
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    audio.playTone(1.0, 0.3f);
    desktop.loop().advance(platform::seconds(2.0));
    EXPECT_TRUE(controller->isRecording()) << "exactly the maximum is not yet over it";
    desktop.loop().advance(platform::seconds(0.5));
    EXPECT_FALSE(controller->isRecording());
    EXPECT_TRUE(log.contains("recorder: hit max length"));
}

TEST_F(CycleTest, SettingsChangeWhileHeldKeepsTheRelease) {
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    audio.playTone(1.0, 0.3f);
    settingsStore->update([](Settings& s) { s.soundCues = false; });
    desktop.loop().advance(platform::seconds(1.0));
    desktop.keyboard().sendFlags(0);
    EXPECT_FALSE(controller->isRecording()) << "the release still ends the recording";
    settle();
    EXPECT_EQ(field->text(), "Hello world");
}

TEST_F(CycleTest, DeviceLossFinishesTheRecording) {
    LogTail log;
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    audio.playTone(1.0, 0.3f);
    desktop.loop().advance(platform::seconds(1.0));
    audio.removeDevice(1);
    desktop.loop().runPending();
    EXPECT_FALSE(controller->isRecording());
    EXPECT_TRUE(log.contains("recorder: stopping after lost input"));
    settle();
    EXPECT_EQ(field->text(), "Hello world");

    desktop.keyboard().sendFlags(0);
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    EXPECT_EQ(controller->hud.state(), HUDState::error("Couldn't start the microphone: No microphone is available right now."));
    EXPECT_EQ(sounds.played.back(), "Basso");
}

TEST_F(CycleTest, ACancelledTaskEndingLateLeavesTheNewerOneBusy) {
    // The first transcription ends only after Esc, when the second cycle's work runs; that work
    // must still count as busy when the first one's end arrives.
    transcriber->ignoreCancellation = true;
    hold({ModKey::rightOption}, 1.0);
    desktop.loop().runPending();  // the work starts the transcription
    transcriber->waitUntil([&] { return transcriber->calls == 1; });
    desktop.keyboard().sendKeyDown(platform::KEY_ESCAPE);
    {
        std::lock_guard lock(transcriber->m);
        transcriber->ignoreCancellation = false;
        transcriber->open = false;
    }
    hold({ModKey::rightOption}, 1.0);
    desktop.loop().runPending();
    ASSERT_TRUE(controller->isBusy());
    transcriber->releaseLate();
    // The late answer is posted before its thread ends: a job posted after that runs after it.
    transcriber->waitUntil([&] { return transcriber->lateThreadsEnded == 1; });
    bool waited = false;
    desktop.loop().post([&] { waited = true; });
    ASSERT_TRUE(desktop.loop().runUntil([&] { return waited; }));
    EXPECT_TRUE(controller->isBusy()) << "the old task must not clear the newer one's slot";
    EXPECT_EQ(field->text(), "Hello") << "nor type anything";
    transcriber->release();
    controller->waitForIdle();
    EXPECT_EQ(field->text(), "Hello world");
}

TEST_F(CycleTest, RefusedStartsSayWhy) {
    desktop.setTrusted(false);
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    EXPECT_EQ(controller->hud.state().kind, K::error);
    EXPECT_EQ(controller->hud.state().text,
              "Talkweft needs the accessibility bus. Turn on assistive technologies in the desktop's accessibility "
              "settings, then log in again.");
    EXPECT_FALSE(controller->isRecording());
    desktop.keyboard().sendFlags(0);
    desktop.setTrusted(true);

    settingsStore->update([](Settings& s) { s.disabledApps.push_back("com.example.editor"); });
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    EXPECT_EQ(controller->hud.state(), HUDState::note("Talkweft is off in Editor"));
    EXPECT_FALSE(controller->isRecording());
    desktop.keyboard().sendFlags(0);
    controller->run(Mode::dictate, "x");
    EXPECT_FALSE(controller->isBusy()) << "URL commands are off there too";
}

TEST_F(CycleTest, ChangingTheSpeechModelPreparesAgain) {
    LogTail log;
    controller.reset();
    controller = std::make_unique<Controller>(*settingsStore);
    std::vector<std::string> statuses;
    controller->onStatus = [&](const std::string& s) { statuses.push_back(s); };
    settingsStore->update([](Settings& s) { s.soundCues = false; });
    EXPECT_TRUE(statuses.empty()) << "other settings leave the transcriber alone";
    // A name that would leave the model folder: refused at once, without reaching the hub.
    settingsStore->update([](Settings& s) { s.whisperModel = "../tiny"; });
    controller->waitForIdle();
    EXPECT_EQ(statuses, (std::vector<std::string>{"Loading speech model…", "Speech model failed to load"}));
    EXPECT_EQ(controller->transcriber()->model(), "../tiny");
    EXPECT_TRUE(log.contains("whisper: prepare failed: Invalid speech model name \"../tiny\": a model name is a single folder name"));
}

TEST_F(CycleTest, TheMinimumHoldAppliesInBothModes) {
    struct Case {
        std::uint64_t chord;
        double seconds;
        bool processed;
    };
    const std::uint64_t dictate = flags({ModKey::rightOption});
    const std::uint64_t agent = flags({ModKey::rightOption, ModKey::rightCommand});
    const Case cases[] = {{dictate, 0.29, false}, {dictate, 0.3, true}, {agent, 0.29, false}, {agent, 0.3, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.chord == agent ? "agent " : "dictate ") << c.seconds << "s");
        int calls = transcriber->calls;
        std::size_t cues = sounds.played.size();
        desktop.keyboard().sendFlags(c.chord);
        audio.playTone(c.seconds, 0.3f);
        desktop.loop().advance(platform::seconds(c.seconds));
        desktop.keyboard().sendFlags(0);
        settle();
        EXPECT_EQ(transcriber->calls - calls, c.processed ? 1 : 0);
        EXPECT_EQ(sounds.played.size() - cues, 2u) << "start and release cues, also for a dropped hold";
        if (!c.processed) {
            EXPECT_EQ(controller->hud.state().kind, K::hidden);
        }
    }
}

TEST_F(CycleTest, AURLCommandWhileWorkRunsIsIgnored) {
    transcriber->open = false;
    hold({ModKey::rightOption}, 1.0);
    desktop.loop().runPending();
    ASSERT_TRUE(controller->isBusy());
    controller->run(Mode::dictate, "ignored");
    transcriber->release();
    controller->waitForIdle();
    EXPECT_EQ(field->text(), "Hello world");
}

TEST_F(CycleTest, EscWhileIdleLeavesANoteShown) {
    hold({ModKey::rightOption}, 1.0, 0.001f);
    ASSERT_EQ(controller->hud.state(), HUDState::note("Didn't hear anything"));
    desktop.keyboard().sendKeyDown(platform::KEY_ESCAPE);
    desktop.loop().runPending();
    EXPECT_EQ(controller->hud.state(), HUDState::note("Didn't hear anything"));
}

TEST_F(CycleTest, ARecordingWithoutAFrontAppEndsCleanlyOnRelease) {
    desktop.clearFrontmost();
    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    EXPECT_TRUE(controller->isRecording()) << "it records without a captured context";
    audio.playTone(1.0, 0.3f);
    desktop.loop().advance(platform::seconds(1.0));
    desktop.keyboard().sendFlags(0);
    EXPECT_FALSE(controller->isRecording()) << "the release ends it instead of leaving it running";
    settle();
    EXPECT_EQ(transcriber->calls, 0) << "there is nowhere to put the text";
    EXPECT_EQ(controller->hud.state().kind, K::hidden);
    controller->run(Mode::dictate, "x");
    EXPECT_FALSE(controller->isBusy()) << "a URL command needs a front app too";
}

// The whole application on the simulated desktop with the real speech engine: a scripted-decoder
// test model in the application's model folder, the English tokenizer beside it, audio played by
// the simulated microphone while the chord is held, and the transcript pasted into the field.
#include "CycleFixture.hpp"
#include "MLRuntime/WhisperTestModels.hpp"

using namespace talkweft;
using namespace talkweft::cycletest;

namespace {

constexpr const char* MODEL = "openai_whisper-tiny.en";
const fs::path TOKENIZER_FIXTURE = fs::path(TALKWEFT_SOURCE_DIR) / "../shared/fixtures/tokenizer-en";

class EngineCycleTest : public CycleTest {
protected:
    void SetUp() override {
        CycleTest::SetUp();
        controller.reset();
        // Written once per test: the folder lies in the application's model folder, which every
        // test of this program shares.
        fs::remove_all(Paths::models());
        mlruntime::testmodels::FolderOptions options;
        options.size = *mlruntime::testmodels::namedSize("tiny");  // 384 wide, English-only: tiny.en
        options.size.layers = 1;                                   // keeps a window cheap
        options.scripted = true;                                   // speaks " Hello world."
        mlruntime::testmodels::writeModelFolder(modelFolder(MODEL), options);
        fs::create_directories(Paths::models() / "models/openai/whisper-tiny.en");
        for (const char* file : {"tokenizer.json", "tokenizer_config.json"})
            fs::copy_file(TOKENIZER_FIXTURE / file, Paths::models() / "models/openai/whisper-tiny.en" / file);

        settingsStore->update([](Settings& s) { s.whisperModel = MODEL; });
        controller = std::make_unique<Controller>(*settingsStore);
        controller->store.root = tmp / "History";
        controller->onStatus = [this](const std::string& s) { statuses.push_back(s); };
        controller->hotkeys.start();
    }
    void TearDown() override {
        CycleTest::TearDown();
        fs::remove_all(Paths::models());
    }
    static fs::path modelFolder(const std::string& model) {
        return Paths::models() / "models/zevidirev/zadezariro-coreml" / model;
    }

    std::vector<std::string> statuses;
};

}  // namespace

TEST_F(EngineCycleTest, HeldChordSpeechIsTranscribedByTheEngineAndPasted) {
    LogTail log;
    controller->prepareTranscriber();
    controller->waitForIdle();
    ASSERT_EQ(statuses, (std::vector<std::string>{"Loading speech model…", "Ready"})) << log.text();
    EXPECT_TRUE(log.contains("whisper: loading openai_whisper-tiny.en local=true"));
    EXPECT_TRUE(log.contains("whisper: ready"));

    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    ASSERT_TRUE(controller->isRecording());
    audio.playTone(1.5, 0.3f);
    desktop.loop().advance(platform::seconds(1.5));
    desktop.keyboard().sendFlags(0);
    settle();
    EXPECT_EQ(field->text(), "Hello Hello world.") << log.text();
    EXPECT_TRUE(log.contains("transcript: 12 chars"));
    EXPECT_EQ(log.count("whisper: loading"), 1) << "the prepared engine serves the recording";
}

TEST_F(EngineCycleTest, ChangingTheModelRebuildsTheTranscriberOnce) {
    fs::copy(modelFolder(MODEL), modelFolder("second-model"), fs::copy_options::recursive);
    controller->prepareTranscriber();
    controller->waitForIdle();
    const auto first = controller->transcriber();
    statuses.clear();

    LogTail log;
    settingsStore->update([](Settings& s) { s.soundCues = false; });
    EXPECT_EQ(controller->transcriber(), first) << "other settings keep the transcriber";
    settingsStore->update([](Settings& s) { s.whisperModel = "second-model"; });
    const auto second = controller->transcriber();
    EXPECT_NE(second, first);
    EXPECT_EQ(second->model(), "second-model");
    settingsStore->update([](Settings& s) { s.language = "en"; });  // the same model again
    controller->waitForIdle();
    EXPECT_EQ(controller->transcriber(), second);
    EXPECT_EQ(statuses, (std::vector<std::string>{"Loading speech model…", "Ready"}));
    EXPECT_EQ(log.count("whisper: loading "), 1);
    EXPECT_TRUE(log.contains("whisper: loading second-model local=true"));

    hold({ModKey::rightOption}, 1.0);
    settle();
    EXPECT_EQ(field->text(), "Hello Hello world.");
    EXPECT_EQ(log.count("whisper: loading "), 1);
}

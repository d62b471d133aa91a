// The whole application on the simulated desktop with the real speech engine: a scripted-decoder
// test model in the application's model folder, the English tokenizer beside it, audio played by
// the simulated microphone while the chord is held, and the transcript pasted into the field.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "CycleFixture.hpp"
#include "HubServer.hpp"
#include "MLRuntime/WhisperTestModels.hpp"
#include "ZadezarIro/Core/ModelImport.hpp"
#include "Platform/Headless/LoginItem.hpp"
#include "Platform/Headless/StatusItem.hpp"
#include "Talkweft/AppDelegate.hpp"
#include "TestSupport.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"
#include "ZadezarIro/Core/ZadezarIroConfig.hpp"
#include "SharedFixtures.hpp"

using namespace talkweft;
using namespace talkweft::cycletest;

namespace {

constexpr const char* MODEL = "openai_whisper-tiny.en";
const fs::path TOKENIZER_FIXTURE = fs::path(TALKWEFT_SOURCE_DIR) / "../shared/fixtures/tokenizer-en";

// A named pipe in place of a file: whoever opens it to read waits there until release() has the
// file's bytes written into it.
class FileGate {
public:
    FileGate(fs::path path, std::string bytes) : path_(std::move(path)), bytes_(std::move(bytes)) {
        fs::remove(path_);
        if (::mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    }
    // Writes the bytes as soon as the reader has opened the pipe.
    void release() {
        writer_ = std::jthread([this] {
            const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) return;
            for (std::size_t done = 0; done < bytes_.size();) {
                const ssize_t n = ::write(fd, bytes_.data() + done, bytes_.size() - done);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
            ::close(fd);
        });
    }
    ~FileGate() {
        // A writer still waiting for a reader that never came is let go by a reader of our own.
        const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer_.joinable()) writer_.join();
        if (fd >= 0) ::close(fd);
    }

private:
    fs::path path_;
    std::string bytes_;
    std::jthread writer_;
};

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
        // Loading the real engine takes seconds, and on a loaded machine more than the loop's
        // usual 20-second guard on waits.
        desktop.loop().setRunUntilLimit(std::chrono::minutes(3));
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

// Voiced, speech-like sound at the microphone's 48 kHz: a 120 Hz voice with falling harmonics
// shaped into four syllables a second.
std::vector<float> speechLikeSound(double seconds) {
    std::vector<float> samples(static_cast<std::size_t>(seconds * 48000));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i) / 48000.0;
        double voice = 0;
        for (int harmonic = 1; harmonic <= 20; ++harmonic) voice += std::sin(2 * M_PI * 120.0 * harmonic * t) / harmonic;
        const double syllables = std::max(0.0, std::sin(2 * M_PI * 4.0 * t));
        samples[i] = static_cast<float>(0.2 * syllables * voice);
    }
    return samples;
}

// A checkpoint in the hub's layout (random weights, the tiny.en dimensions with one layer, float16)
// imported as the model the settings name: the held chord's speech goes through the imported mel,
// encoder and decoder and the tokenizer copied beside them. Random weights say something random,
// so the test follows the path, not the words.
TEST_F(EngineCycleTest, AnImportedCheckpointTranscribesAHeldChordsSpeech) {
    fs::remove_all(Paths::models());  // neither the scripted model nor the tokenizer folder stays
    mlruntime::testmodels::CheckpointOptions options;
    options.size = *mlruntime::testmodels::namedSize("tiny");
    options.size.layers = 1;
    options.weightType = mlruntime::DataType::Float16;
    options.tokenizerFolder = TOKENIZER_FIXTURE;
    options.talkative = true;
    mlruntime::testmodels::writeCheckpoint(tmp / "checkpoint", options);
    zadezariro::ModelImport::Options importOptions;
    importOptions.base = Paths::models();
    ASSERT_EQ(zadezariro::ModelImport::importModel((tmp / "checkpoint").string(), MODEL, importOptions), modelFolder(MODEL));

    // Loading this model (twice: prewarm, then load) and decoding a full window of tokens take a
    // few seconds, and on a loaded machine more than the loop's usual 20-second guard.
    desktop.loop().setRunUntilLimit(std::chrono::minutes(3));
    LogTail log;
    controller->prepareTranscriber();
    controller->waitForIdle();
    ASSERT_EQ(statuses, (std::vector<std::string>{"Loading speech model…", "Ready"})) << log.text();
    EXPECT_TRUE(log.contains("whisper: loading openai_whisper-tiny.en local=true"));

    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    ASSERT_TRUE(controller->isRecording());
    audio.play(speechLikeSound(1.5));
    desktop.loop().advance(platform::seconds(1.5));
    desktop.keyboard().sendFlags(0);
    settle();
    ASSERT_TRUE(log.contains("transcript: ")) << log.text();
    EXPECT_FALSE(log.contains("transcript: 0 chars")) << log.text();
    EXPECT_EQ(field->text().rfind("Hello ", 0), 0u) << "the transcript follows the field's text";
    EXPECT_GT(field->text().size(), std::string("Hello ").size()) << "and was pasted";
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

TEST_F(EngineCycleTest, AReplacedTranscribersLatePreparationLeavesTheStatusAlone) {
    // The first model's preparation waits at its tokenizer settings until the test sends them.
    const fs::path settingsFile = Paths::models() / "models/openai/whisper-tiny.en/tokenizer_config.json";
    FileGate gate(settingsFile, talkweft::testing::readFile(TOKENIZER_FIXTURE / "tokenizer_config.json"));
    LogTail log;
    controller->prepareTranscriber();
    // The next model cannot be prepared (its name would leave the model folder) and fails at once.
    settingsStore->update([](Settings& s) { s.whisperModel = "../other"; });
    ASSERT_TRUE(desktop.loop().runUntil([&] { return statuses.size() == 3; }));
    EXPECT_EQ(statuses.back(), "Speech model failed to load");

    gate.release();
    controller->waitForIdle();
    EXPECT_TRUE(log.contains("whisper: ready")) << "the replaced transcriber did get ready";
    EXPECT_EQ(statuses, (std::vector<std::string>{"Loading speech model…", "Loading speech model…", "Speech model failed to load"}))
        << "and says nothing about the current one";
}

// A model the hub sends so slowly (one 64 KiB block every ten minutes) that its download outlasts
// any test: quitting, or a model change, must cancel it rather than wait for its end.
TEST_F(EngineCycleTest, QuittingOrChangingTheModelCancelsADownloadInProgress) {
    struct Case {
        const char* name;
        bool changeModel;  // else the controller quits
    };
    for (const Case c : {Case{"quit", false}, Case{"model change", true}}) {
        SCOPED_TRACE(c.name);
        hubtests::HubServer hub(nlohmann::json{{"slow", 600}});
        hub.addFile("zevidirev/zadezariro-coreml", "slow-model/config.json", "{}");
        hub.addFile("zevidirev/zadezariro-coreml", "slow-model/TextDecoder.mlmodelc/weights.bin", std::string(200000, 'w'));
        // The real engine, fetching from the test hub.
        const auto endpoint = hub.endpoint();
        auto transcriber = std::make_shared<WhisperTranscriber>("slow-model", Paths::models(), nullptr, endpoint);
        controller = std::make_unique<Controller>(*settingsStore, transcriber);
        controller->onStatus = [this](const std::string& s) { statuses.push_back(s); };
        statuses.clear();
        LogTail log;
        controller->prepareTranscriber();
        // Waits until the download has begun: the hub has been asked for a file.
        while (hub.requests().dump().find("/resolve/") == std::string::npos)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));

        if (c.changeModel) {
            // The new model's name is refused at once, so only the old download could keep it busy.
            settingsStore->update([](Settings& s) { s.whisperModel = "../other"; });
            EXPECT_NE(controller->transcriber(), transcriber);
        } else {
            controller->stopPreparation();
        }
        controller->waitForIdle();
        EXPECT_EQ(log.count("whisper: prepare failed: "), c.changeModel ? 2 : 1) << log.text();
        EXPECT_FALSE(log.contains("whisper: ready"));
        EXPECT_FALSE(WhisperTranscriber::isCompleteModelFolder(transcriber->modelFolder()));
        EXPECT_EQ(statuses.back(), "Speech model failed to load");
        controller.reset();
        settingsStore->update([](Settings& s) { s.whisperModel = MODEL; });
    }
}

// Sets an environment variable (or, for nullopt, unsets it) for one scope.
class ScopedVariable {
public:
    ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
    ~ScopedVariable() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// The first run: a fresh home and model folder, HUB_ENDPOINT naming a hub that holds only the
// standard checkpoint "openai/whisper-tiny" (generated, the tiny shape with one layer). The
// application starts, gets the model without any manual step while the tray's status line shows
// the download, and a held chord's speech is pasted. The next start finds the model local.
TEST_F(EngineCycleTest, TheFirstRunFetchesAndImportsTheStandardCheckpointThenPastesSpeech) {
    controller.reset();
    fs::remove_all(Paths::models());
    const fs::path home = tmp / "fresh-home";
    fs::create_directories(home);
    mlruntime::testmodels::CheckpointOptions options;
    options.size = *mlruntime::testmodels::namedSize("tiny");
    options.size.layers = 1;
    options.weightType = mlruntime::DataType::Float16;
    options.tokenizerFolder = TOKENIZER_FIXTURE;
    options.talkative = true;
    mlruntime::testmodels::writeCheckpoint(tmp / "checkpoint", options);
    hubtests::HubServer hub;
    for (const auto& entry : fs::directory_iterator(tmp / "checkpoint"))
        hub.addFile("openai/whisper-tiny", entry.path().filename().string(), talkweft::testing::readFile(entry.path()));
    ScopedVariable endpoint("HUB_ENDPOINT", hub.endpoint());
    ScopedVariable homeVariable("HOME", home.string());
    ScopedVariable monitor("CI_DISABLE_NETWORK_MONITOR", "1");  // the hub is on 127.0.0.1
    constexpr const char* FIRST_RUN_MODEL = "openai_whisper-tiny";
    settingsStore->update([](Settings& s) { s.whisperModel = FIRST_RUN_MODEL; });

    platform::headless::StatusItem statusItem;
    platform::headless::LoginItemService loginItem;
    desktop.platform().statusItem = &statusItem;
    desktop.platform().loginItem = &loginItem;
    desktop.loop().setRunUntilLimit(std::chrono::minutes(3));
    LogTail log;
    auto app = std::make_unique<AppDelegate>();
    std::vector<std::string> lines;  // the tray's status line, as the menu shows it
    app->onStatusChange = [&](const std::string&) {
        statusItem.open();
        lines.push_back(statusItem.titles().front());
    };
    app->applicationDidFinishLaunching();
    app->controller().store.root = tmp / "History";
    // The preparation has ended when the status is neither the launch's nor the preparation's own.
    const auto settled = [&] {
        return app->status != "Starting…" && app->status != "Loading speech model…" &&
               app->status.rfind("Downloading speech model… ", 0) != 0;
    };
    ASSERT_TRUE(desktop.loop().runUntil(settled)) << log.text();
    ASSERT_EQ(app->status, "Ready") << log.text();
    bool progressShown = false;
    for (const auto& line : lines)
        if (line.rfind("Talkweft: Downloading speech model… ", 0) == 0 && line.back() == '%') progressShown = true;
    EXPECT_TRUE(progressShown) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines.back(), "Talkweft: Ready");
    EXPECT_TRUE(log.contains("whisper: loading openai_whisper-tiny local=false")) << log.text();
    EXPECT_TRUE(log.contains("importing the checkpoint openai/whisper-tiny")) << log.text();
    EXPECT_TRUE(log.contains("whisper: fetched openai/whisper-tiny/model.safetensors (")) << log.text();
    EXPECT_TRUE(log.contains("whisper: fetched openai/whisper-tiny/tokenizer.json (")) << log.text();
    EXPECT_TRUE(WhisperTranscriber::isCompleteModelFolder(modelFolder(FIRST_RUN_MODEL)));

    desktop.keyboard().sendFlags(flags({ModKey::rightOption}));
    ASSERT_TRUE(app->controller().isRecording());
    audio.play(speechLikeSound(1.5));
    desktop.loop().advance(platform::seconds(1.5));
    desktop.keyboard().sendFlags(0);
    app->controller().waitForIdle();
    desktop.loop().advance(platform::seconds(2));
    EXPECT_FALSE(log.contains("transcript: 0 chars")) << log.text();
    EXPECT_EQ(field->text().rfind("Hello ", 0), 0u) << field->text();
    EXPECT_GT(field->text().size(), std::string("Hello ").size()) << "the transcript was pasted\n" << log.text();
    app->controller().waitForIdle();
    app.reset();

    // The next start: the model is local, nothing is asked of the hub.
    const auto asked = hub.requests().size();
    LogTail again;
    controller = std::make_unique<Controller>(*settingsStore);
    controller->onStatus = [this](const std::string& s) { statuses.push_back(s); };
    controller->prepareTranscriber();
    controller->waitForIdle();
    EXPECT_EQ(statuses.back(), "Ready") << again.text();
    EXPECT_TRUE(again.contains("whisper: loading openai_whisper-tiny local=true"));
    EXPECT_EQ(hub.requests().size(), asked);
    desktop.platform().statusItem = nullptr;
    desktop.platform().loginItem = nullptr;
}

// Without a hub address, the status line and the HUD say in one line what to do; the log has the
// reason. A recording does not try any hub either.
TEST_F(EngineCycleTest, WithoutAHubTheStatusLineAndHUDSayWhatToDo) {
    controller.reset();
    fs::remove_all(Paths::models());
    ScopedVariable endpoint("HUB_ENDPOINT", std::nullopt);
    settingsStore->update([](Settings& s) { s.whisperModel = "openai_whisper-large-v3-v20240930_626MB"; });
    controller = std::make_unique<Controller>(*settingsStore);
    controller->onStatus = [this](const std::string& s) { statuses.push_back(s); };
    controller->hotkeys.start();
    const std::string message =
        "No speech model: set HUB_ENDPOINT to the model hub's address, or import one with talkweft --import-model and "
        "choose it under Settings › General › Whisper model";
    LogTail log;
    controller->prepareTranscriber();
    controller->waitForIdle();
    EXPECT_EQ(statuses, (std::vector<std::string>{"Loading speech model…", message}));
    EXPECT_TRUE(log.contains("whisper: prepare failed: No model hub address is set: set HUB_ENDPOINT")) << log.text();

    statuses.clear();
    hold({ModKey::rightOption}, 1.0);
    controller->waitForIdle();
    EXPECT_EQ(controller->hud.state().kind, HUDState::Kind::error);
    EXPECT_EQ(controller->hud.state().text, message);
    EXPECT_EQ(statuses, std::vector<std::string>{message});
    EXPECT_EQ(log.count("whisper: prepare failed: No model hub address is set"), 2) << log.text();
    EXPECT_EQ(field->text(), "Hello");
}

// The application's transcriber around a stand-in engine: its preparation (model folder, import
// from MacWhisper, engine configuration, retries) and how it turns results into one text.
#include "Talkweft/Transcriber.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "CycleSupport.hpp"
#include "HubServer.hpp"
#include "TempFolder.hpp"
#include "TestSupport.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"

using namespace talkweft;
using talkweft::cycletest::LogTail;
using talkweft::testing::TempDir;
using talkweft::testing::writeFile;
namespace fs = std::filesystem;
namespace zi = zadezariro;
using hubtests::errorText;

namespace {

constexpr const char* TINY_MODEL = "openai_whisper-tiny.en";

// An engine that loads nothing: it answers every transcription with the texts it was given and
// keeps the options it was asked with.
class ScriptedEngine : public zi::ZadezarIro {
public:
    explicit ScriptedEngine(const zi::ZadezarIroConfig& config) : ZadezarIro(config) {}
    zi::TranscriptionResults transcribe(const std::vector<float>& audio, const std::optional<zi::DecodingOptions>& options,
                                        const zi::TranscriptionCallback&, const zi::SegmentDiscoveryCallback&) override {
        std::lock_guard lock(mutex);
        samples = audio.size();
        received = options;
        zi::TranscriptionResults results;
        for (const auto& text : texts) results.push_back(std::make_shared<zi::TranscriptionResult>(text, std::vector<zi::TranscriptionSegment>{}, "en", zi::TranscriptionTimings{}));
        return results;
    }
    std::mutex mutex;
    std::vector<std::string> texts;
    std::optional<zi::DecodingOptions> received;
    std::size_t samples = 0;
};

// Builds ScriptedEngines (none of the configured setup, download or loading runs) and records
// every configuration it is asked for; fails with `failure` while that is set.
struct EngineMaker {
    std::mutex mutex;
    std::vector<zi::ZadezarIroConfig> configs;
    std::optional<std::string> failure;
    std::vector<std::string> texts{" Hello world."};
    std::shared_ptr<ScriptedEngine> last;

    WhisperTranscriber::EngineFactory factory() {
        return [this](const zi::ZadezarIroConfig& config) -> std::shared_ptr<zi::ZadezarIro> {
            std::lock_guard lock(mutex);
            configs.push_back(config);
            if (failure) throw std::runtime_error(*failure);
            zi::ZadezarIroConfig inert;
            inert.download = false;
            inert.verbose = false;
            last = zi::ZadezarIro::create<ScriptedEngine>(inert);
            last->texts = texts;
            return last;
        };
    }
    std::size_t calls() {
        std::lock_guard lock(mutex);
        return configs.size();
    }
};

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// The files a whole model consists of, with placeholder contents.
void writeModelFiles(const fs::path& folder, const std::string& tag = "x") {
    writeFile(folder / "config.json", "{\"tag\": \"" + tag + "\"}");
    for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder"}) {
        writeFile(folder / (std::string(name) + ".mlmodelc") / "model.json", "{}");
        writeFile(folder / (std::string(name) + ".mlmodelc") / "weights.bin", tag);
    }
}

class TranscriberTest : public ::testing::Test {
protected:
    fs::path base() const { return tmp.path() / "Models"; }
    fs::path ownFolder(const std::string& model = TINY_MODEL) const { return base() / "models/zevidirev/zadezariro-coreml" / model; }
    fs::path macWhisper() const { return home() / "Library/Application Support/MacWhisper/models/zadezariro/models"; }
    fs::path home() const { return tmp.path() / "home"; }
    WhisperTranscriber make(const std::string& model = TINY_MODEL, std::optional<std::string> endpoint = std::nullopt) {
        return WhisperTranscriber(model, base(), engines.factory(), std::move(endpoint));
    }

    TempDir tmp;
    ScopedEnv homeEnv{"HOME", (tmp.path() / "home").string()};
    // Test hubs are on 127.0.0.1: the hub client must not go offline on a machine without a route.
    ScopedEnv monitorEnv{"CI_DISABLE_NETWORK_MONITOR", "1"};
    EngineMaker engines;
};

}  // namespace

TEST_F(TranscriberTest, DecodingOptionsFollowTheLanguage) {
    writeModelFiles(ownFolder());
    auto t = make();
    struct Case {
        std::string language;
        std::optional<std::string> code;
        bool detect;
    } cases[] = {{"", std::nullopt, true}, {"de", "de", false}};
    for (const auto& c : cases) {
        t.transcribe(std::vector<float>(1600, 0.1f), c.language);
        const auto& o = *engines.last->received;
        EXPECT_EQ(o.language, c.code) << c.language;
        EXPECT_EQ(o.detectLanguage, c.detect) << c.language;
        // The rest never changes.
        EXPECT_EQ(o.task, zi::DecodingTask::transcribe);
        EXPECT_FALSE(o.verbose);
        EXPECT_EQ(o.temperature, 0.0f);
        EXPECT_EQ(o.temperatureIncrementOnFallback, 0.2f);
        EXPECT_EQ(o.temperatureFallbackCount, 5);
        EXPECT_EQ(o.sampleLength, 224);
        EXPECT_EQ(o.topK, 5);
        EXPECT_TRUE(o.usePrefillPrompt);
        EXPECT_TRUE(o.skipSpecialTokens);
        EXPECT_TRUE(o.withoutTimestamps);
        EXPECT_FALSE(o.wordTimestamps);
        EXPECT_FALSE(o.maxInitialTimestamp || o.maxWindowSeek || o.promptTokens || o.prefixTokens || o.chunkingStrategy);
        EXPECT_TRUE(o.clipTimestamps.empty());
        EXPECT_EQ(o.windowClipTime, 1.0f);
        EXPECT_FALSE(o.suppressBlank);
        EXPECT_TRUE(o.suppressTokens.empty());
        EXPECT_EQ(o.compressionRatioThreshold, 2.4f);
        EXPECT_EQ(o.logProbThreshold, -1.0f);
        EXPECT_EQ(o.firstTokenLogProbThreshold, -1.5f);
        EXPECT_EQ(o.noSpeechThreshold, 0.6f);
        EXPECT_EQ(o.concurrentWorkerCount, 16);
    }
    EXPECT_EQ(engines.last->samples, 1600u);
}

TEST_F(TranscriberTest, ResultTextsAreJoinedWithOneBlankAndTrimmedAtTheEnds) {
    writeModelFiles(ownFolder());
    struct Case {
        std::vector<std::string> texts;
        std::string joined;
    } cases[] = {
        {{}, ""},
        {{" Hello", " world."}, "Hello  world."},
        {{"\n one \n"}, "one"},
        {{" a", "", "b\n"}, "a  b"},
    };
    for (const auto& c : cases) {
        engines.texts = c.texts;
        auto t = make();
        EXPECT_EQ(t.transcribe({0.1f}, ""), c.joined);
    }
}

TEST_F(TranscriberTest, PreparesOnceAndRepeatsAFailedPreparation) {
    writeModelFiles(ownFolder());
    LogTail log;
    auto t = make();
    engines.failure = "Model not found.";
    EXPECT_EQ(errorText([&] { t.prepare(); }), "Model not found.");
    EXPECT_EQ(errorText([&] { t.transcribe({0.1f}, ""); }), "Model not found.");
    EXPECT_EQ(engines.calls(), 2u) << "each call prepares anew";
    EXPECT_EQ(log.count("whisper: loading openai_whisper-tiny.en local=true"), 2);
    EXPECT_FALSE(log.contains("whisper: ready"));

    engines.failure.reset();
    EXPECT_EQ(t.transcribe({0.1f}, ""), "Hello world.");
    t.prepare();
    EXPECT_EQ(t.transcribe({0.1f}, "en"), "Hello world.");
    EXPECT_EQ(engines.calls(), 3u) << "a prepared transcriber keeps its engine";
    EXPECT_EQ(log.count("whisper: loading"), 3);
    EXPECT_EQ(log.count("whisper: ready"), 1);
    EXPECT_TRUE(fs::is_directory(base()));
}

TEST_F(TranscriberTest, AModelThatIsNotLocalIsDownloadedAndTheEngineToldWhereItIs) {
    // The engine's model repository on the test hub holds the model.
    hubtests::HubServer hub;
    writeModelFiles(tmp.path() / "hub-model", "hub");
    for (const auto& e : fs::recursive_directory_iterator(tmp.path() / "hub-model"))
        if (e.is_regular_file())
            hub.addFile("zevidirev/zadezariro-coreml", std::string(TINY_MODEL) + "/" + e.path().lexically_relative(tmp.path() / "hub-model").string(),
                        talkweft::testing::readFile(e.path()));
    // Missing, incomplete in three ways, whole.
    struct Case {
        const char* what;
        std::function<void()> setup;
        bool local;
    } cases[] = {
        {"no folder", [] {}, false},
        {"config.json only", [&] { writeFile(ownFolder() / "config.json", "{}"); }, false},
        {"a model without its weights", [&] { writeModelFiles(ownFolder()); fs::remove(ownFolder() / "TextDecoder.mlmodelc/weights.bin"); }, false},
        {"no config.json", [&] { writeModelFiles(ownFolder()); fs::remove(ownFolder() / "config.json"); }, false},
        {"whole", [&] { writeModelFiles(ownFolder()); }, true},
    };
    for (const auto& c : cases) {
        fs::remove_all(base());
        c.setup();
        LogTail log;
        std::vector<double> fractions;
        auto t = make(TINY_MODEL, hub.endpoint());
        t.setDownloadProgressHandler([&](double f) { fractions.push_back(f); });
        t.prepare();
        const auto& config = engines.configs.back();
        EXPECT_TRUE(log.contains(std::string("whisper: loading openai_whisper-tiny.en local=") + (c.local ? "true" : "false"))) << c.what;
        EXPECT_FALSE(config.download) << c.what;
        EXPECT_EQ(config.modelFolder, std::optional<std::string>(ownFolder().string())) << c.what;
        EXPECT_TRUE(WhisperTranscriber::isCompleteModelFolder(ownFolder())) << c.what;
        EXPECT_EQ(talkweft::testing::readFile(ownFolder() / "TextDecoder.mlmodelc/weights.bin"), c.local ? "x" : "hub") << c.what;
        EXPECT_EQ(fractions.empty(), c.local) << c.what;
        if (!fractions.empty()) {
            EXPECT_DOUBLE_EQ(fractions.back(), 1.0) << c.what;
        }
        EXPECT_EQ(config.model, TINY_MODEL);
        EXPECT_EQ(config.downloadBase, base());
        EXPECT_EQ(config.tokenizerFolder, base());
        EXPECT_EQ(config.modelEndpoint, hub.endpoint());
        EXPECT_FALSE(config.modelRepo || config.modelToken || config.computeOptions || config.audioInputConfig() ||
                     config.logitsFilters);
        EXPECT_FALSE(config.audioProcessor || config.featureExtractor || config.audioEncoder || config.textDecoder ||
                     config.segmentSeeker || config.voiceActivityDetector);
        EXPECT_FALSE(config.verbose);
        EXPECT_EQ(config.logLevel, darori::Logging::LogLevel::error);
        EXPECT_EQ(config.prewarm, true);
        EXPECT_EQ(config.load, true);
        EXPECT_FALSE(config.useBackgroundDownloadSession);
    }
}

TEST_F(TranscriberTest, BadModelNamesAndAnUncreatableFolderFailThePreparation) {
    for (const char* name : {"", ".", "..", "../openai_whisper-base", "a/b", "/etc"}) {
        LogTail log;
        auto t = make(name);
        EXPECT_EQ(errorText([&] { t.prepare(); }),
                  "Invalid speech model name \"" + std::string(name) + "\": a model name is a single folder name");
        EXPECT_THROW(t.transcribe({0.1f}, ""), std::invalid_argument);
        EXPECT_FALSE(log.contains("whisper: loading"));
    }
    EXPECT_EQ(engines.calls(), 0u);
    EXPECT_FALSE(fs::exists(base()));

    // A model folder that cannot be made (a file stands in its place): the file system's error.
    writeFile(base(), "not a folder");
    LogTail log;
    auto t = make();
    EXPECT_THROW(t.prepare(), fs::filesystem_error);
    EXPECT_FALSE(log.contains("whisper: loading"));
    EXPECT_EQ(engines.calls(), 0u);
}

TEST_F(TranscriberTest, AMacWhisperModelIsCopiedInWhenOursIsMissing) {
    const fs::path source = macWhisper() / "zevidirev/zadezariro-coreml" / TINY_MODEL;
    writeModelFiles(source, "macwhisper");
    // A file that MacWhisper keeps elsewhere and links to.
    writeFile(tmp.path() / "blobs/encoder", "linked");
    fs::remove(source / "AudioEncoder.mlmodelc/weights.bin");
    fs::create_symlink(tmp.path() / "blobs/encoder", source / "AudioEncoder.mlmodelc/weights.bin");
    writeFile(macWhisper() / "openai/whisper-tiny.en/tokenizer.json", "{}");
    LogTail log;
    auto t = make();
    t.prepare();
    EXPECT_TRUE(WhisperTranscriber::isCompleteModelFolder(ownFolder()));
    EXPECT_EQ(talkweft::testing::readFile(ownFolder() / "TextDecoder.mlmodelc/weights.bin"), "macwhisper");
    EXPECT_FALSE(fs::is_symlink(ownFolder() / "AudioEncoder.mlmodelc/weights.bin")) << "the copy holds the file itself";
    EXPECT_EQ(talkweft::testing::readFile(ownFolder() / "AudioEncoder.mlmodelc/weights.bin"), "linked");
    EXPECT_TRUE(fs::exists(base() / "models/openai/whisper-tiny.en/tokenizer.json"));
    EXPECT_TRUE(log.contains("whisper: imported model from MacWhisper"));
    EXPECT_TRUE(log.contains("whisper: loading openai_whisper-tiny.en local=true"));
    EXPECT_FALSE(engines.configs.back().download) << "nothing is downloaded";
    // Only the two folders arrived: no copy in progress is left behind.
    std::vector<std::string> entries;
    for (const auto& e : fs::directory_iterator(base() / "models/zevidirev/zadezariro-coreml")) entries.push_back(e.path().filename());
    EXPECT_EQ(entries, std::vector<std::string>{TINY_MODEL});
}

TEST_F(TranscriberTest, TheImportKeepsAWholeModelAndReplacesAnIncompleteOne) {
    const fs::path source = macWhisper() / "zevidirev/zadezariro-coreml" / TINY_MODEL;
    writeModelFiles(source, "macwhisper");
    writeFile(macWhisper() / "openai/whisper-tiny.en/tokenizer.json", "theirs");
    writeFile(base() / "models/openai/whisper-tiny.en/tokenizer.json", "ours");

    // Our own whole model stays as it is.
    writeModelFiles(ownFolder(), "ours");
    {
        LogTail log;
        make().prepare();
        EXPECT_EQ(talkweft::testing::readFile(ownFolder() / "config.json"), "{\"tag\": \"ours\"}");
        EXPECT_FALSE(log.contains("whisper: imported"));
    }
    // An interrupted copy or download (a model file missing) is replaced by MacWhisper's whole one;
    // the tokenizers we have stay.
    fs::remove(ownFolder() / "AudioEncoder.mlmodelc/weights.bin");
    {
        LogTail log;
        make().prepare();
        EXPECT_TRUE(log.contains("whisper: imported model from MacWhisper"));
        EXPECT_TRUE(log.contains("whisper: loading openai_whisper-tiny.en local=true"));
        EXPECT_EQ(talkweft::testing::readFile(ownFolder() / "config.json"), "{\"tag\": \"macwhisper\"}");
        EXPECT_TRUE(WhisperTranscriber::isCompleteModelFolder(ownFolder()));
        EXPECT_EQ(talkweft::testing::readFile(base() / "models/openai/whisper-tiny.en/tokenizer.json"), "ours");
    }
    // MacWhisper's own copy incomplete: nothing is imported, the model would be downloaded (here
    // without a hub).
    fs::remove_all(base());
    fs::remove(source / "MelSpectrogram.mlmodelc/model.json");
    {
        LogTail log;
        const auto calls = engines.calls();
        EXPECT_THROW(make().prepare(), SpeechModelUnavailable);
        EXPECT_FALSE(log.contains("whisper: imported"));
        EXPECT_FALSE(fs::exists(ownFolder()));
        EXPECT_EQ(engines.calls(), calls);
    }
}

TEST_F(TranscriberTest, AFailedImportLeavesNoPartialModel) {
    const fs::path source = macWhisper() / "zevidirev/zadezariro-coreml" / TINY_MODEL;
    writeModelFiles(source);
    // A file the copy cannot take, so it fails part way.
    ASSERT_EQ(::mkfifo((source / "zz-pipe").c_str(), 0600), 0);
    // The leftover of an import that was cut off earlier.
    writeFile(base() / "models/zevidirev/zadezariro-coreml" / (std::string(".") + TINY_MODEL + ".import-abc123") / "config.json", "{}");
    LogTail log;
    auto t = make();
    EXPECT_THROW(t.prepare(), SpeechModelUnavailable) << "no hub to download it from";
    EXPECT_TRUE(log.contains("whisper: MacWhisper import failed: ")) << log.text();
    EXPECT_TRUE(log.contains("whisper: loading openai_whisper-tiny.en local=false"));
    EXPECT_TRUE(fs::is_empty(base() / "models/zevidirev/zadezariro-coreml")) << "neither the unfinished copy nor the leftover stays";
}

TEST_F(TranscriberTest, OverlappingPreparationsAreOneAndShareItsOutcome) {
    writeModelFiles(ownFolder());
    // The first preparation stays inside the engine's construction until the test opens the gate.
    std::mutex m;
    std::condition_variable cv;
    int inside = 0;
    bool open = false;
    auto inner = engines.factory();
    WhisperTranscriber t(TINY_MODEL, base(), [&](const zi::ZadezarIroConfig& config) {
        std::unique_lock lock(m);
        ++inside;
        cv.notify_all();
        cv.wait(lock, [&] { return open; });
        lock.unlock();
        return inner(config);
    });
    auto openGate = [&] {
        std::lock_guard lock(m);
        open = true;
        cv.notify_all();
    };
    struct Case {
        const char* what;
        std::optional<std::string> failure;
    };
    for (const Case& c : {Case{"failing", "engine broken"}, Case{"succeeding", std::nullopt}}) {
        SCOPED_TRACE(c.what);
        engines.failure = c.failure;
        {
            std::lock_guard lock(m);
            inside = 0;
            open = false;
        }
        LogTail log;
        const auto before = engines.calls();
        std::string first, second;
        {
            std::jthread a([&] { first = errorText([&] { t.prepare(); }); });
            {
                std::unique_lock lock(m);
                cv.wait(lock, [&] { return inside == 1; });
            }
            // A recording's transcription while the preparation runs waits for it.
            std::jthread b([&] {
                try {
                    second = t.transcribe({0.1f}, "");
                } catch (const std::exception& e) {
                    second = e.what();
                }
            });
            while (!log.contains("whisper: waiting for the preparation under way")) std::this_thread::yield();
            openGate();
        }
        EXPECT_EQ(engines.calls() - before, 1u) << "one preparation, one engine";
        EXPECT_EQ(log.count("whisper: loading"), 1);
        EXPECT_EQ(second, c.failure ? *c.failure : "Hello world.") << "the waiting call shares the outcome";
        EXPECT_EQ(first, c.failure ? *c.failure : "no error");
    }
    // Prepared: concurrent calls all use the stored engine.
    std::vector<std::string> texts(3);
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < 3; ++i) threads.emplace_back([&, i] { texts[i] = t.transcribe({0.1f}, "en"); });
        t.prepare();
    }
    EXPECT_EQ(texts, std::vector<std::string>(3, "Hello world."));
    EXPECT_EQ(engines.calls(), 2u);
}

TEST(WhisperTranscriberNames, StandardCheckpointsOfModelNames) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"openai_whisper-tiny", "openai/whisper-tiny"},
        {"openai_whisper-base.en", "openai/whisper-base.en"},
        {"openai_whisper-large-v3", "openai/whisper-large-v3"},
        {"openai_whisper-large-v3-v20240930", "openai/whisper-large-v3-turbo"},
        {"openai_whisper-large-v3-v20240930_626MB", "openai/whisper-large-v3-turbo"},
        {"openai_whisper-small_216MB", "openai/whisper-small"},
        {"distil-whisper_distil-large-v3", std::nullopt},
        {"openai_whisper-", std::nullopt},
        {"openai_whisper-tiny/../x", std::nullopt},
        {"my-model", std::nullopt},
    };
    for (const auto& [model, checkpoint] : cases) EXPECT_EQ(WhisperTranscriber::checkpointFor(model), checkpoint) << model;
}

// Each way of not getting a model ends in one line that says what to do; the log gets the reason.
TEST_F(TranscriberTest, AModelThatCannotBeHadIsExplainedInOneLine) {
    hubtests::HubServer hub;  // holds no repository at all
    const std::string choose = "Settings › General › Whisper model";
    struct Case {
        const char* what;
        std::string model;
        std::optional<std::string> endpoint;
        std::string message;
        std::string reason;  // a part of the full reason
    };
    const Case cases[] = {
        {"no hub address", "openai_whisper-base", std::nullopt,
         "No speech model: set HUB_ENDPOINT to the model hub's address, or import one with talkweft --import-model and "
         "choose it under " + choose,
         "No model hub address is set"},
        {"no network", "openai_whisper-base", "http://127.0.0.1:9",  // the discard port: nothing answers
         "Cannot download the speech model: check the network and HUB_ENDPOINT, or import one with talkweft "
         "--import-model and choose it under " + choose,
         ""},
        {"a name of no standard model", "my-model", hub.endpoint(),
         "Speech model \"my-model\" is not on the model hub: choose another under " + choose +
             ", or import one with talkweft --import-model",
         "File not found"},
        {"a standard name the hub lacks", "openai_whisper-nosuch", hub.endpoint(),
         "Speech model \"openai_whisper-nosuch\" is not on the model hub: choose another under " + choose +
             ", or import one with talkweft --import-model",
         "File not found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogTail log;
        auto t = make(c.model, c.endpoint);
        try {
            t.prepare();
            ADD_FAILURE() << "prepared";
        } catch (const SpeechModelUnavailable& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
            EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
            EXPECT_NE(e.reason().find(c.reason), std::string::npos) << e.reason();
        }
        EXPECT_EQ(engines.calls(), 0u);
        EXPECT_FALSE(fs::exists(ownFolder(c.model)));
    }
    EXPECT_TRUE(hub.requests().dump().find("/api/models/openai/whisper-nosuch/") != std::string::npos)
        << "the standard checkpoint was asked for: " << hub.requests().dump();
}

// The facade's file transcription (whole and streamed) and its language detection, on WAV files
// written by the tests.
#include <mutex>

#include <gtest/gtest.h>

#include "AudioTestFiles.hpp"
#include "DecodingTestSupport.hpp"
#include "FacadeTestSupport.hpp"
#include "ZadezarIro/Core/ZadezarIro.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;
namespace fs = std::filesystem;

namespace {

struct StateRecorder {
    std::mutex mutex;
    std::vector<TranscriptionState> states;
    void attach(ZadezarIro& facade) {
        facade.setTranscriptionStateCallback([this](TranscriptionState state) {
            std::lock_guard lock(mutex);
            states.push_back(state);
        });
    }
};

using State = TranscriptionState;

}  // namespace

TEST(FileTranscription, AWholeFileIsTranscribedWithItsStates) {
    TempDir dir;
    const auto path = dir.path / "tone.wav";
    writeMono16k(path, toneSamples(3));
    auto facade = ZadezarIro::create(localConfig());
    StateRecorder recorder;
    recorder.attach(*facade);

    const auto results = facade->transcribe(path.string());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]->text(), "Hello world.");
    EXPECT_EQ(recorder.states, (std::vector<State>{State::convertingAudio, State::transcribing, State::finished}));
    EXPECT_GT(facade->currentTimings().audioLoading, 0.0);

    // A file that cannot be read stops after the conversion state.
    recorder.states.clear();
    expectWhisperError([&] { facade->transcribe((dir.path / "missing.wav").string()); }, "Resource path does not exist ");
    EXPECT_EQ(recorder.states, (std::vector<State>{State::convertingAudio}));

    // In a list, the unreadable file fails at its position only; the list reports its states once.
    recorder.states.clear();
    const auto outcomes = facade->transcribe(std::vector<std::string>{path.string(), (dir.path / "missing.wav").string(), path.string()});
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_TRUE(outcomes[0] && !outcomes[1] && outcomes[2]);
    EXPECT_EQ(recorder.states, (std::vector<State>{State::convertingAudio, State::transcribing, State::finished}));
}

TEST(FileTranscription, AStreamedFileGivesEveryChunkOnTheFilesTimeline) {
    TempDir dir;
    const auto path = dir.path / "long.wav";
    writeMono16k(path, concat({toneSamples(10), silence(1), toneSamples(8), silence(3), toneSamples(12)}));
    auto facade = ZadezarIro::create(localConfig());
    StateRecorder recorder;
    recorder.attach(*facade);

    const AudioInputOptions streamed{AudioInputOptions::SumChannels{}, AudioInputOptions::Incremental{10.0, 1}};
    const auto results = facade->transcribe(path.string(), streamed);
    ASSERT_GE(results.size(), 2u);
    float previous = -1;
    for (const auto& result : results) {
        EXPECT_EQ(result->text(), "Hello world.");
        ASSERT_TRUE(result->seekTime());
        EXPECT_GT(*result->seekTime(), previous);
        previous = *result->seekTime();
        ASSERT_FALSE(result->segments().empty());
        // Each chunk's segment starts at the chunk's own start, on the file's timeline.
        EXPECT_FLOAT_EQ(result->segments()[0].start, *result->seekTime());
        EXPECT_EQ(result->segments()[0].seek, static_cast<std::int64_t>(std::lround(*result->seekTime() * 16000)));
    }
    EXPECT_FLOAT_EQ(*results[0]->seekTime(), 0.0f);
    EXPECT_EQ(recorder.states, (std::vector<State>{State::transcribing, State::finished}));

    // Clip times cannot be honoured while streaming: refused before any state is reported.
    recorder.states.clear();
    expectWhisperError([&] { facade->transcribe(path.string(), streamed, DecodingOptions::make({.clipTimestamps = {5.0f}})); },
                       "clipTimestamps is not supported with AudioLoadingMode.incremental. Use .fullFile, or transcribe the "
                       "desired range as a separate call.");
    EXPECT_TRUE(recorder.states.empty());
}

TEST(LanguageDetection, AMultilingualModelNamesTheLanguageOfAnArrayAndAFile) {
    const auto german = englishTokenizer()->convertTokenToId("<|de|>");
    ASSERT_TRUE(german);
    TempDir dir;
    const auto model = dir.path / "openai_whisper-tiny";
    writeTestModel(model, 51865, {*german});
    const auto path = dir.path / "speech.wav";
    writeMono16k(path, toneSamples(2));

    auto config = localConfig(model);
    config.load = false;
    auto facade = ZadezarIro::create(config);
    const auto fromArray = facade->detectLangauge(toneSamples(2));
    EXPECT_EQ(facade->modelState(), darori::ModelState::loaded) << "detection loads the models first";
    EXPECT_EQ(facade->modelVariant(), ModelVariant::tiny);
    EXPECT_EQ(fromArray.language, "de");
    EXPECT_TRUE(fromArray.langProbs.count("de"));
    EXPECT_EQ(facade->detectLanguage(path.string()).language, "de");
    expectWhisperError([&] { facade->detectLanguage((dir.path / "missing.wav").string()); },
                       "Resource path does not exist " + (dir.path / "missing.wav").string());
}

TEST(LanguageDetection, AnEnglishOnlyModelRefuses) {
    auto facade = ZadezarIro::create(localConfig());
    expectWhisperError([&] { facade->detectLangauge(toneSamples(1)); }, "Language detection not supported for this model");
}

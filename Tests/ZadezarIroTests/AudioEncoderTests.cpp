// The feature extractor and the audio encoder: their dimensions, errors and one prediction each.
#include "ZadezarIro/Core/AudioEncoder.hpp"

#include <gtest/gtest.h>

#include "DecodingTestSupport.hpp"
#include "Cancellation/Cancellation.hpp"
#include "ZadezarIro/Core/FeatureExtractor.hpp"
#include "ZadezarIro/Utilities/LoggingCategories.hpp"
#include "ZadezarIro/Utilities/WhisperError.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;
using mlruntime::MultiArray;
namespace testmodels = mlruntime::testmodels;

namespace {

void expectMessage(const std::function<void()>& body, const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "no error, expected: " << message;
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.message(), message);
    }
}

}  // namespace

TEST(FeatureExtractorAndEncoder, WithoutAModelTheyReportNothingAndCheckTheInputTypeFirst) {
    FeatureExtractor extractor;
    EXPECT_FALSE(extractor.melCount());
    EXPECT_FALSE(extractor.windowSamples());
    expectMessage([&] { extractor.logMelSpectrogram(MultiArray()); }, "FeatureExtractor input must be MLMultiArray");
    expectMessage([&] { extractor.logMelSpectrogram(MultiArray({480000}, mlruntime::DataType::Float32)); }, "Models are unavailable");

    AudioEncoder encoder;
    EXPECT_FALSE(encoder.embedSize());
    EXPECT_FALSE(encoder.sequenceLength());
    expectMessage([&] { encoder.encodeFeatures(MultiArray()); }, "AudioEncoder input must be MLMultiArray");
    expectMessage([&] { encoder.encodeFeatures(MultiArray({1, 80, 1, 3000}, mlruntime::DataType::Float16)); }, "Models are unavailable");
}

TEST(FeatureExtractorAndEncoder, OneWindowThroughBothModels) {
    TempDir folder;
    testmodels::FolderOptions options;
    options.size = *testmodels::namedSize("test");
    options.scripted = true;
    testmodels::writeModelFolder(folder.path, options);

    FeatureExtractor extractor;
    extractor.loadModel(folder.path / "MelSpectrogram.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    EXPECT_EQ(extractor.melCount(), 80);
    EXPECT_EQ(extractor.windowSamples(), 480000);
    MultiArray audio({480000}, mlruntime::DataType::Float32);
    for (int64_t i = 0; i < 480000; ++i) audio.typedData<float>()[i] = 0.1f * std::sin(0.05f * static_cast<float>(i));
    auto features = extractor.logMelSpectrogram(audio);
    ASSERT_TRUE(features);
    EXPECT_EQ(features->shape(), (std::vector<int64_t>{1, 80, 1, 3000}));

    AudioEncoder encoder;
    encoder.loadModel(folder.path / "AudioEncoder.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    EXPECT_EQ(encoder.embedSize(), 64);
    EXPECT_EQ(encoder.sequenceLength(), 1500);
    auto embeds = encoder.encodeFeatures(*features);
    ASSERT_TRUE(embeds);
    EXPECT_EQ(embeds->shape(), (std::vector<int64_t>{1, 64, 1, 1500}));

    encoder.unloadModel();
    expectMessage([&] { encoder.encodeFeatures(*features); }, "Models are unavailable");
    // A prediction error of the runtime passes through unchanged.
    EXPECT_THROW(extractor.logMelSpectrogram(MultiArray({16000}, mlruntime::DataType::Float32)), mlruntime::Error);
}

TEST(FeatureExtractorAndEncoder, ACancelledTaskThrowsBeforeThePrediction) {
    TempDir folder;
    testmodels::FolderOptions options;
    options.size = *testmodels::namedSize("test");
    options.scripted = true;
    testmodels::writeModelFolder(folder.path, options);
    FeatureExtractor extractor;
    extractor.loadModel(folder.path / "MelSpectrogram.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    AudioEncoder encoder;
    encoder.loadModel(folder.path / "AudioEncoder.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    const MultiArray audio({480000}, mlruntime::DataType::Float32);
    const MultiArray features({1, 80, 1, 3000}, mlruntime::DataType::Float16);

    struct Case {
        const char* interval;
        darori::Signposter& signposter;
        std::function<void()> predict;
    };
    const Case cases[] = {
        {"ExtractAudioFeatures", LoggingCategories::FeatureExtractor().signposter, [&] { extractor.logMelSpectrogram(audio); }},
        {"EncodeAudio", LoggingCategories::AudioEncoding().signposter, [&] { encoder.encodeFeatures(features); }},
    };
    std::stop_source stop;
    stop.request_stop();
    cancellation::CancellationScope scope(stop.get_token());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.interval);
        const auto before = c.signposter.totals()[c.interval].count;
        EXPECT_THROW(c.predict(), cancellation::CancellationError);
        EXPECT_EQ(c.signposter.totals()[c.interval].count, before) << "no interval for a prediction that never ran";
    }
}

// One 30-second window from audio to tokens through a random-weight model of width 384, with the
// decoder's logits at every step checked against the NumPy reference (Tools/reference).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>

#include "DecodingTestSupport.hpp"
#include "ZadezarIro/Core/AudioEncoder.hpp"
#include "ZadezarIro/Core/FeatureExtractor.hpp"
#include "ZadezarIro/Core/Text/SegmentSeeker.hpp"
#include "ZadezarIro/Core/TextDecoder.hpp"

using namespace zadezariro;
using namespace zadezariro::testsupport;
using mlruntime::MultiArray;
namespace fs = std::filesystem;
namespace testmodels = mlruntime::testmodels;

namespace {

// Keeps a copy of the raw logits of every step; placed first, it sees them before any other filter.
class RecordingFilter : public LogitsFiltering {
public:
    MultiArray filterLogits(MultiArray logits, const std::vector<int64_t>&) override {
        auto values = logits.toFloats();
        steps.push_back(values);
        return logits;
    }
    std::vector<std::vector<float>> steps;
};

void writeFloats(const fs::path& path, const std::vector<float>& values) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(float)));
}

std::vector<float> readFloats(const fs::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<float> values(static_cast<size_t>(in.tellg()) / sizeof(float));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(float)));
    return values;
}

// Each element within 1e-3 of the reference relative to the element, with a floor of `floor`
// times the reference's largest magnitude for elements that are nearly zero. Mel and encoder use
// the runtime's own floor (1e-3); the logits of later steps attend to a cache of half-precision
// keys and values, where one entry rounded the other way moves a near-zero logit by some 1e-5 of
// the largest, so their floor is 1e-2 (an error in the loop moves logits by whole units).
void expectClose(const std::vector<float>& actual, const std::vector<float>& expected, const std::string& what,
                 float floor = 1e-3f) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    float largest = 0;
    for (float e : expected) largest = std::max(largest, std::fabs(e));
    size_t failures = 0;
    for (size_t i = 0; i < actual.size(); ++i) {
        const double scale = std::max(std::fabs(expected[i]), floor * largest);
        if (std::fabs(actual[i] - expected[i]) / scale > 1e-3 && failures++ < 5)
            ADD_FAILURE() << what << "[" << i << "] = " << actual[i] << ", reference " << expected[i];
    }
    EXPECT_EQ(failures, 0u) << what;
}

std::string python() { return fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

}  // namespace

TEST(WindowDecoding, AudioToTokensMatchesTheReferenceAtEveryStep) {
    TempDir folder;
    testmodels::FolderOptions options;
    options.size = *testmodels::namedSize("tiny");  // width 384, English-only vocabulary
    options.seed = 7;
    testmodels::writeModelFolder(folder.path, options);

    FeatureExtractor extractor;
    AudioEncoder encoder;
    TextDecoder decoder;
    extractor.loadModel(folder.path / "MelSpectrogram.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    encoder.loadModel(folder.path / "AudioEncoder.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    decoder.loadModel(folder.path / "TextDecoder.mlmodelc", mlruntime::ComputeUnits::cpuOnly);
    auto tokenizer = englishTokenizer();
    decoder.setTokenizer(tokenizer);
    auto recorder = std::make_shared<RecordingFilter>();
    decoder.setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>>{recorder});

    std::mt19937 random(3);
    std::normal_distribution<float> noise(0.0f, 0.02f);
    std::vector<float> samples(480000);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = 0.3f * std::sin(2.0f * static_cast<float>(M_PI) * 440.0f * static_cast<float>(i) / 16000.0f) + noise(random);
    auto audio = MultiArray::copying<float>(samples, {480000});

    auto features = extractor.logMelSpectrogram(audio);
    ASSERT_TRUE(features);
    auto embeds = encoder.encodeFeatures(*features);
    ASSERT_TRUE(embeds);
    const auto decoding = DecodingOptions::make({.sampleLength = 12, .firstTokenLogProbThreshold = std::nullopt});
    auto inputs = decoder.prepareDecoderInputs({});
    decoder.prefillDecoderInputs(inputs, decoding);
    GreedyTokenSampler sampler(mlruntime::Half(0.0f), tokenizer->specialTokens().endToken, decoding);
    auto result = decoder.decodeText(*embeds, inputs, sampler, decoding);

    // The token fed at step t is token t of the window: the prompt, then each step's choice.
    const size_t steps = recorder->steps.size();
    ASSERT_GE(steps, 2u);
    ASSERT_GE(result.tokens.size(), steps);
    EXPECT_EQ(result.tokens[0], tokenizer->specialTokens().startOfTranscriptToken);
    EXPECT_EQ(result.tokens.back(), tokenizer->specialTokens().endToken);
    auto [seek, segments] = SegmentSeeker().findSeekPointAndSegments(result, decoding, 0, 0, 480'000, 16'000,
                                                                     tokenizer->specialTokens().timeTokenBegin,
                                                                     tokenizer->specialTokens().specialTokenBegin, *tokenizer);
    EXPECT_GT(seek, 0);
    EXPECT_TRUE(segments);

    TempDir work;
    writeFloats(work.path / "audio.f32", samples);
    writeFloats(work.path / "mel-in.f32", features->toFloats());
    writeFloats(work.path / "encoder-in.f32", embeds->toFloats());
    std::string tokens;
    for (size_t t = 0; t < steps; ++t) {
        if (t > 0) tokens += ',';
        tokens += std::to_string(result.tokens[t]);
    }
    auto model = [&](const char* name) { return (folder.path / (std::string(name) + ".mlmodelc")).string(); };
    const std::string command = "OPENBLAS_NUM_THREADS=1 " + python() + " " TALKWEFT_SOURCE_DIR "/Tools/reference/whisper_reference.py" +
                                " --mel-model " + model("MelSpectrogram") + " --encoder-model " + model("AudioEncoder") +
                                " --decoder-model " + model("TextDecoder") + " --audio " + (work.path / "audio.f32").string() +
                                " --mel-input " + (work.path / "mel-in.f32").string() + " --encoder-input " +
                                (work.path / "encoder-in.f32").string() + " --tokens " + tokens + " --out " + work.path.string();
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    expectClose(features->toFloats(), readFloats(work.path / "mel.f32"), "mel");
    expectClose(embeds->toFloats(), readFloats(work.path / "encoder.f32"), "encoder");
    const auto reference = readFloats(work.path / "logits.f32");
    const size_t vocab = recorder->steps[0].size();
    ASSERT_EQ(reference.size(), steps * vocab);
    for (size_t t = 0; t < steps; ++t)
        expectClose(recorder->steps[t], std::vector<float>(reference.begin() + static_cast<std::ptrdiff_t>(t * vocab),
                                                           reference.begin() + static_cast<std::ptrdiff_t>((t + 1) * vocab)),
                    "logits at step " + std::to_string(t), 1e-2f);
}

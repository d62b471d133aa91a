// The Whisper models against an independent NumPy reference (Tools/reference/whisper_reference.py),
// run on a small seeded model written by the generator at test time.
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "KernelPaths.hpp"
#include "WhisperReference.hpp"
#include "MLRuntime/Error.hpp"
#include "MLRuntime/Model.hpp"
#include "MLRuntime/ThreadBudget.hpp"
#include "MLRuntime/WeightsFile.hpp"
#include "MLRuntime/WhisperArchitecture.hpp"
#include "MLRuntime/WhisperTestModels.hpp"

using namespace mlruntime;
using namespace whisperref;
namespace fs = std::filesystem;

namespace {

class WhisperModelsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new fs::path(makeTempFolder("whisper"));
        testmodels::FolderOptions options;
        options.size = *testmodels::namedSize("test");
        options.seed = 7;
        testmodels::writeModelFolder(*folder_, options);
    }
    static void TearDownTestSuite() {
        fs::remove_all(*folder_);
        delete folder_;
    }
    static fs::path model(const char* name) { return *folder_ / (std::string(name) + ".mlmodelc"); }
    static fs::path* folder_;
};

fs::path* WhisperModelsTest::folder_ = nullptr;

TEST_F(WhisperModelsTest, MatchesTheNumPyReferenceForMelEncoderAndCachedDecoding) {
    expectReferenceResults(*folder_);
}

TEST_F(WhisperModelsTest, MatchesTheNumPyReferenceWithFloat32Weights) {
    fs::path folder = makeTempFolder("float32");
    testmodels::FolderOptions options;
    options.size = *testmodels::namedSize("test");
    options.seed = 11;
    options.weightType = DataType::Float32;
    testmodels::writeModelFolder(folder, options);
    expectReferenceResults(folder);
    fs::remove_all(folder);
}

TEST_F(WhisperModelsTest, MelOfAOneKilohertzSinePeaksInItsMelBin) {
    auto mel = Model::load(model("MelSpectrogram"), ComputeUnits::cpuOnly);
    std::vector<float> audio(static_cast<size_t>(whisper::N_SAMPLES));
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = 0.5f * static_cast<float>(std::sin(2 * M_PI * 1000.0 * i / 16000.0));
    auto features = mel->predict(*single(whisper::AUDIO, floatArray(audio, {whisper::N_SAMPLES})))
                        ->requireMultiArray(whisper::MEL_FEATURES)
                        .toFloats();
    // Slaney scale: 15 mels at 1 kHz; 82 points spread evenly up to the mel of 8 kHz, so the
    // filter centred nearest 1 kHz is the one whose centre point is nearest 15 mels.
    const double top = 15.0 + std::log(8.0) / (std::log(6.4) / 27.0);
    const int expected = static_cast<int>(std::lround(15.0 / (top / 81.0))) - 1;
    for (int frame : {10, 1500, 2990}) {
        int best = 0;
        for (int m = 1; m < 80; ++m)
            if (features[m * 3000 + frame] > features[best * 3000 + frame]) best = m;
        EXPECT_EQ(best, expected) << "frame " << frame;
    }
}

TEST(WhisperMelFilters, StoredFilterbankIsTheSlaneyOneForBothMelCounts) {
    // The mel reference reads the filterbank from the file; here the reference builds it from the
    // Slaney definition on its own and the stored one must equal it.
    fs::path work = makeTempFolder("filters");
    for (int64_t mels : {80, 128}) {
        SCOPED_TRACE(mels);
        fs::path model = work / "MelSpectrogram.mlmodelc";
        testmodels::writeMelModel(model, whisper::MelConfig{mels});
        std::string command = python() + " " TALKWEFT_SOURCE_DIR "/Tools/reference/whisper_reference.py --filters" +
                              " --mel-model " + model.string() + " --out " + work.string();
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        auto stored = WeightsFile::open(model / "weights.bin")->floats(whisper::MEL_FILTERS, {mels, whisper::FFT_BINS});
        expectClose(stored, readFloats(work / "filters.f32"), "filters");
    }
    fs::remove_all(work);
}

TEST_F(WhisperModelsTest, DescriptionsReportTheShapesTheEngineReads) {
    fs::path folder = makeTempFolder("tiny");
    testmodels::FolderOptions options;
    options.size = *testmodels::namedSize("tiny");
    options.scripted = true;  // the decoder description is the same; keeps the test quick
    testmodels::writeModelFolder(folder, options);
    EXPECT_TRUE(fs::exists(folder / "config.json"));
    auto shape = [](const FeatureDescription* feature) {
        EXPECT_NE(feature, nullptr);
        return feature ? feature->multiArrayConstraint->shape : std::vector<int64_t>{};
    };
    auto type = [](const FeatureDescription* feature) { return feature->multiArrayConstraint->dataType; };
    auto mel = Model::load(folder / "MelSpectrogram.mlmodelc", ComputeUnits::cpuAndGPU);
    EXPECT_EQ(shape(mel->description().input("audio")), (std::vector<int64_t>{480000}));
    EXPECT_EQ(type(mel->description().input("audio")), DataType::Float32);
    EXPECT_EQ(shape(mel->description().output("melspectrogram_features")), (std::vector<int64_t>{1, 80, 1, 3000}));
    auto encoder = Model::load(folder / "AudioEncoder.mlmodelc", ComputeUnits::cpuOnly);
    EXPECT_EQ(shape(encoder->description().output("encoder_output_embeds")), (std::vector<int64_t>{1, 384, 1, 1500}));
    auto decoder = Model::load(folder / "TextDecoder.mlmodelc", ComputeUnits::cpuOnly);
    const auto& d = decoder->description();
    EXPECT_EQ(shape(d.output("logits")), (std::vector<int64_t>{1, 1, 51864}));
    EXPECT_EQ(type(d.output("logits")), DataType::Float16);
    EXPECT_EQ(shape(d.output("key_cache_updates")), (std::vector<int64_t>{1, 1536, 1, 1}));
    EXPECT_EQ(shape(d.output("value_cache_updates")), (std::vector<int64_t>{1, 1536, 1, 1}));
    EXPECT_EQ(shape(d.output("alignment_heads_weights")), (std::vector<int64_t>{1, 1500}));
    EXPECT_EQ(shape(d.input("key_cache")), (std::vector<int64_t>{1, 1536, 1, 224}));
    EXPECT_EQ(shape(d.input("value_cache")), (std::vector<int64_t>{1, 1536, 1, 224}));
    EXPECT_EQ(shape(d.input("encoder_output_embeds")), (std::vector<int64_t>{1, 384, 1, 1500}));
    EXPECT_EQ(shape(d.input("kv_cache_update_mask")), (std::vector<int64_t>{1, 224}));
    EXPECT_EQ(type(d.input("kv_cache_update_mask")), DataType::Int32);
    EXPECT_EQ(shape(d.input("decoder_key_padding_mask")), (std::vector<int64_t>{1, 224}));
    EXPECT_EQ(shape(d.input("input_ids")), (std::vector<int64_t>{1}));
    EXPECT_EQ(shape(d.input("cache_length")), (std::vector<int64_t>{1}));
    EXPECT_EQ(d.inputs.size(), 7u);
    fs::remove_all(folder);
}

TEST_F(WhisperModelsTest, ScriptedDecoderSpeaksItsScriptAfterThePrompt) {
    fs::path folder = makeTempFolder("scripted");
    auto config = testmodels::decoderConfig(*testmodels::namedSize("test"));
    const std::vector<int64_t> script = {400, 10, 11, 12, 450};
    testmodels::writeScriptedDecoderModel(folder / "TextDecoder.mlmodelc", config, script, 511);
    auto decoder = Model::load(folder / "TextDecoder.mlmodelc", ComputeUnits::cpuOnly);
    DecoderSession session(*decoder, MultiArray({1, 64, 1, 1500}, DataType::Float16));
    auto argmax = [](const std::shared_ptr<FeatureProvider>& out) {
        auto logits = out->requireMultiArray(whisper::LOGITS).toFloats();
        return static_cast<int64_t>(std::max_element(logits.begin(), logits.end()) - logits.begin());
    };
    // Prompt of three forced tokens ending in the script's first token, then greedy decoding.
    session.step(300);
    session.step(301);
    auto out = session.step(400);
    std::vector<int64_t> spoken;
    for (int i = 0; i < 6; ++i) {
        int64_t next = argmax(out);
        spoken.push_back(next);
        if (next == 511) break;
        out = session.step(static_cast<int32_t>(next));
    }
    EXPECT_EQ(spoken, (std::vector<int64_t>{10, 11, 12, 450, 511}));
    fs::remove_all(folder);
}

TEST_F(WhisperModelsTest, DecoderFollowsAnEncoderOutputRefilledInPlace) {
    // Cross-attention keys and values are kept per encoder output; refilling the same array with
    // the next window's output must not leave them stale.
    auto first = Model::load(model("TextDecoder"), ComputeUnits::cpuOnly);
    auto fresh = Model::load(model("TextDecoder"), ComputeUnits::cpuOnly);
    MultiArray embeds({1, 64, 1, 1500}, DataType::Float16);
    auto logitsAfterOneStep = [&](const Model& decoder) {
        return DecoderSession(decoder, embeds).step(42)->requireMultiArray(whisper::LOGITS).toFloats();
    };
    for (int64_t i = 0; i < embeds.count(); ++i) embeds.typedData<Half>()[i] = Half(std::sin(0.01f * i));
    auto before = logitsAfterOneStep(*first);
    EXPECT_EQ(logitsAfterOneStep(*first), before);
    for (int64_t i = 0; i < embeds.count(); ++i) embeds.typedData<Half>()[i] = Half(std::cos(0.02f * i));
    auto after = logitsAfterOneStep(*first);
    EXPECT_NE(after, before);
    EXPECT_EQ(after, logitsAfterOneStep(*fresh));
}

TEST_F(WhisperModelsTest, ConcurrentPredictionsMatchSequentialOnesAndOtherElementTypesAreConverted) {
    auto decoder = Model::load(model("TextDecoder"), ComputeUnits::cpuOnly);
    MultiArray embeds({1, 64, 1, 1500}, DataType::Float16);
    for (int64_t i = 0; i < embeds.count(); ++i) embeds.typedData<Half>()[i] = Half(std::sin(0.003f * i));
    auto run = [&](const MultiArray& encoder, int32_t token) {
        DecoderSession session(*decoder, encoder);
        session.step(token);
        return session.step(token + 1)->requireMultiArray(whisper::LOGITS).toFloats();
    };
    std::vector<std::vector<float>> sequential;
    for (int32_t token = 0; token < 6; ++token) sequential.push_back(run(embeds, token * 50));
    // A float32 copy of the same values is converted on the way in and gives the same answer.
    EXPECT_EQ(run(embeds.converted(DataType::Float32), 0), sequential[0]);

    std::vector<std::vector<float>> concurrent(6);
    std::vector<std::thread> threads;
    for (int32_t token = 0; token < 6; ++token)
        threads.emplace_back([&, token] { concurrent[token] = run(embeds, token * 50); });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(concurrent, sequential);
}

TEST_F(WhisperModelsTest, DecodingLoopsOnDifferentEncoderOutputsStepAtOnceAndKeepTheirOwnCrossAttention) {
    // Two transcriptions decode at once, each over its own encoder output, on one decoder model.
    // Their steps must not queue behind each other (nor recompute each other's cross-attention
    // keys and values), and each loop gets what it gets alone, step after step.
    auto decoder = Model::load(model("TextDecoder"), ComputeUnits::cpuOnly);
    auto embeds = [](float rate) {
        MultiArray array({1, 64, 1, 1500}, DataType::Float16);
        for (int64_t i = 0; i < array.count(); ++i) array.typedData<Half>()[i] = Half(std::sin(rate * i));
        return array;
    };
    const std::vector<MultiArray> encoders{embeds(0.003f), embeds(0.0071f)};
    const std::vector<int32_t> tokens{5, 9, 300, 41};
    auto decode = [&](size_t loop, const std::function<void()>& beforeEachStep) {
        DecoderSession session(*decoder, encoders[loop]);
        std::vector<float> logits;
        for (int32_t token : tokens) {
            beforeEachStep();
            auto values = session.step(token + static_cast<int32_t>(loop))->requireMultiArray(whisper::LOGITS).toFloats();
            logits.insert(logits.end(), values.begin(), values.end());
        }
        return logits;
    };
    std::vector<std::vector<float>> alone;
    for (size_t loop = 0; loop < encoders.size(); ++loop) alone.push_back(decode(loop, [] {}));
    ASSERT_NE(alone[0], alone[1]);

    // Before each round of steps the test takes every thread of the budget, so that both loops'
    // steps meet in acquire: both are in a prediction at once. Then it lets them run.
    auto& budget = ThreadBudget::shared();
    std::vector<std::vector<float>> together(encoders.size());
    std::mutex mutex;
    std::condition_variable changed;
    int arrived = 0, round = 0;
    auto meet = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        const int mine = round;
        ++arrived;
        changed.notify_all();
        changed.wait(lock, [&] { return round != mine; });
    };
    std::vector<std::thread> loops;
    for (size_t loop = 0; loop < encoders.size(); ++loop)
        loops.emplace_back([&, loop] { together[loop] = decode(loop, meet); });
    for (size_t step = 0; step < tokens.size(); ++step) {
        std::vector<ThreadBudget::Lease> held;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return arrived == static_cast<int>(encoders.size()); });
            while (budget.available() > 0) held.push_back(budget.acquire(budget.available()));
            arrived = 0;
            ++round;
        }
        changed.notify_all();
        // A loop queued behind the other's step would never reach the budget: this would not end.
        while (budget.waiting() < static_cast<int>(encoders.size())) std::this_thread::yield();
    }
    for (auto& thread : loops) thread.join();
    EXPECT_EQ(together, alone);
}

TEST_F(WhisperModelsTest, ConcurrentMelAndEncoderPredictionsMatchSequentialOnes) {
    // Each model keeps one set of scratch buffers: predictions from several threads at once must
    // not mix them up.
    auto mel = Model::load(model("MelSpectrogram"), ComputeUnits::cpuOnly);
    auto encoder = Model::load(model("AudioEncoder"), ComputeUnits::cpuOnly);
    auto encode = [&](float frequency) {
        std::vector<float> audio(static_cast<size_t>(whisper::N_SAMPLES));
        for (size_t i = 0; i < audio.size(); ++i)
            audio[i] = 0.3f * static_cast<float>(std::sin(2 * M_PI * frequency * static_cast<double>(i) / 16000.0));
        auto features = mel->predict(*single(whisper::AUDIO, floatArray(audio, {whisper::N_SAMPLES})))
                            ->requireMultiArray(whisper::MEL_FEATURES);
        return encoder->predict(*single(whisper::MEL_FEATURES, features))
            ->requireMultiArray(whisper::ENCODER_OUTPUT)
            .toFloats();
    };
    const std::vector<float> frequencies = {220, 1000, 3100};
    std::vector<std::vector<float>> sequential, concurrent(frequencies.size());
    for (float frequency : frequencies) sequential.push_back(encode(frequency));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < frequencies.size(); ++i)
        threads.emplace_back([&, i] { concurrent[i] = encode(frequencies[i]); });
    for (auto& thread : threads) thread.join();
    // Concurrent encoders share the budget's threads, and a product split over fewer threads may
    // round differently; a mixed-up buffer would differ by far more than rounding.
    for (size_t i = 0; i < frequencies.size(); ++i) expectClose(concurrent[i], sequential[i], "concurrent encoder");
    EXPECT_NE(sequential[0], sequential[1]);
}

TEST_F(WhisperModelsTest, CachePositionsOutsideThePaddingMaskDoNotCount) {
    // The engine reuses its caches from window to window and resets only the masks: values left
    // at masked positions, and at the position this step fills, must not change the result.
    auto decoder = Model::load(model("TextDecoder"), ComputeUnits::cpuOnly);
    MultiArray embeds({1, 64, 1, 1500}, DataType::Float16);
    for (int64_t i = 0; i < embeds.count(); ++i) embeds.typedData<Half>()[i] = Half(std::sin(0.005f * i));
    onEveryKernelPath([&] {
        DecoderSession fresh(*decoder, embeds), stale(*decoder, embeds, true);
        for (int32_t token : {7, 300, 41, 41}) {
            SCOPED_TRACE(token);
            auto expected = fresh.step(token), actual = stale.step(token);
            for (const auto* name : {whisper::LOGITS, whisper::KEY_UPDATES, whisper::ALIGNMENT_WEIGHTS})
                EXPECT_EQ(actual->requireMultiArray(name).toFloats(), expected->requireMultiArray(name).toFloats())
                    << name;
        }
    });
}

TEST_F(WhisperModelsTest, DecoderRejectsTokensAndPositionsOutsideItsRange) {
    auto decoder = Model::load(model("TextDecoder"), ComputeUnits::cpuOnly);
    MultiArray embeds({1, 64, 1, 1500}, DataType::Float16);
    for (auto [token, position] : std::vector<std::pair<int32_t, int32_t>>{{512, 0}, {-1, 0}, {5, 224}, {5, -3}}) {
        MultiArray ids({1}, DataType::Int32), length({1}, DataType::Int32);
        ids.typedData<int32_t>()[0] = token;
        length.typedData<int32_t>()[0] = position;
        DictionaryFeatureProvider inputs({{whisper::INPUT_IDS, ids},
                                          {whisper::CACHE_LENGTH, length},
                                          {whisper::KEY_CACHE, MultiArray({1, 128, 1, 224}, DataType::Float16)},
                                          {whisper::VALUE_CACHE, MultiArray({1, 128, 1, 224}, DataType::Float16)},
                                          {whisper::UPDATE_MASK, MultiArray({1, 224}, DataType::Int32)},
                                          {whisper::ENCODER_OUTPUT, embeds},
                                          {whisper::PADDING_MASK, MultiArray({1, 224}, DataType::Float16)}});
        try {
            decoder->predict(inputs);
            ADD_FAILURE() << "token " << token << " at " << position << " accepted";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), Error::Code::invalidArgument);
            EXPECT_NE(std::string(error.what()).find(token == 5 ? "cache_length" : "input_ids"), std::string::npos)
                << error.what();
        }
    }
}

TEST(MakeTestModelTool, WritesALoadableFolderAndRejectsBadArguments) {
    struct Cleanup {
        fs::path root;
        ~Cleanup() { fs::remove_all(root); }
    } cleanup{makeTempFolder("tool")};
    fs::path folder = cleanup.root / "openai_whisper-tiny.en";
    std::string tool = std::string(TALKWEFT_BINARY_DIR) + "/Tools/make-test-model";
    std::string command = tool + " " + folder.string() + " --size test --vocab 51864 --scripted > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder"})
        EXPECT_NO_THROW(Model::load(folder / (std::string(name) + ".mlmodelc"), ComputeUnits::cpuOnly)) << name;
    EXPECT_TRUE(fs::exists(folder / "config.json"));
    EXPECT_NE(std::system((tool + " " + folder.string() + " --size huge 2> /dev/null").c_str()), 0);
    EXPECT_NE(std::system((tool + " " + folder.string() + " --seed -4 2> /dev/null").c_str()), 0);
    // The default script does not fit a vocabulary of three: refused rather than written unloadable.
    EXPECT_NE(std::system((tool + " " + (cleanup.root / "small").string() + " --size test --vocab 3 --scripted 2> /dev/null")
                              .c_str()),
              0);
}

}  // namespace

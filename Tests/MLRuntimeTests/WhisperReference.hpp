// The runtime's Whisper models against the independent NumPy reference
// (Tools/reference/whisper_reference.py): helpers shared by the model and checkpoint tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "KernelPaths.hpp"
#include "MLRuntime/Model.hpp"
#include "MLRuntime/WhisperArchitecture.hpp"

namespace whisperref {

using namespace mlruntime;
namespace fs = std::filesystem;

inline fs::path makeTempFolder(const std::string& tag) {
    std::string pattern = (fs::temp_directory_path() / ("mlruntime-" + tag + "-XXXXXX")).string();
    char* made = mkdtemp(pattern.data());
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    return fs::path(made);
}

inline void writeFloats(const fs::path& path, const std::vector<float>& values) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(float)));
}

inline std::vector<float> readFloats(const fs::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<float> values(static_cast<size_t>(in.tellg()) / sizeof(float));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(float)));
    return values;
}

// The Debian interpreter carries python3-numpy; fall back to whatever python3 is on the path.
inline std::string python() { return fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

// How close the runtime must come: within `relative` of the reference, relative to the element,
// with a floor of `floor` times the reference's largest magnitude for elements that are nearly zero.
// The float32 sums of the runtime part from the reference's float64 ones by some millionths of the
// largest value, and by an amount that moves with the thread count (the products' tile shapes
// follow it); a wrong weight or kernel is off by the order of the values themselves.
struct Closeness {
    double relative = 3e-3;
    float floor = 1e-2f;
};

inline void expectClose(const std::vector<float>& actual, const std::vector<float>& expected, const std::string& what,
                        Closeness closeness = {}) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    float largest = 0;
    for (float e : expected) largest = std::max(largest, std::fabs(e));
    size_t failures = 0;
    double worst = 0;
    for (size_t i = 0; i < actual.size(); ++i) {
        double scale = std::max(std::fabs(expected[i]), closeness.floor * largest);
        double relative = std::fabs(actual[i] - expected[i]) / scale;
        worst = std::max(worst, relative);
        if (relative > closeness.relative && failures++ < 5)
            ADD_FAILURE() << what << "[" << i << "] = " << actual[i] << ", reference " << expected[i];
    }
    EXPECT_EQ(failures, 0u) << what << ": worst relative error " << worst;
}

inline MultiArray floatArray(const std::vector<float>& values, std::vector<int64_t> shape) {
    return MultiArray::copying<float>(values, std::move(shape));
}

inline std::shared_ptr<FeatureProvider> single(const std::string& name, MultiArray array) {
    return std::make_shared<DictionaryFeatureProvider>(std::map<std::string, FeatureValue>{{name, std::move(array)}});
}

// Drives a decoder one token at a time the way the engine does: caches and masks kept between
// steps, this step's keys and values copied into the cache at its position afterwards. With
// `staleCaches` the caches start out holding an earlier window's values instead of zeros, as the
// engine leaves them when it resets only the masks for the next window.
class DecoderSession {
public:
    DecoderSession(const Model& model, const MultiArray& encoder, bool staleCaches = false)
        : model_(model), encoder_(encoder) {
        const auto& key = *model.description().input(whisper::KEY_CACHE)->multiArrayConstraint;
        channels_ = key.shape[1];
        positions_ = key.shape[3];
        keys_ = MultiArray(key.shape, DataType::Float16);
        values_ = MultiArray(key.shape, DataType::Float16);
        if (staleCaches)
            for (int64_t i = 0; i < keys_.count(); ++i) {
                keys_.typedData<Half>()[i] = Half(3.0f * std::sin(0.37f * static_cast<float>(i)));
                values_.typedData<Half>()[i] = Half(2.0f * std::cos(0.11f * static_cast<float>(i)));
            }
        updateMask_ = MultiArray({1, positions_}, DataType::Int32);
        paddingMask_ = MultiArray({1, positions_}, DataType::Float16);
        paddingMask_.fill(Half(-10000.0f));
        paddingMask_.set<Half>(std::vector<int64_t>{0, 0}, Half(0.0f));
        updateMask_.set<int32_t>(std::vector<int64_t>{0, 0}, 1);
    }

    std::shared_ptr<FeatureProvider> step(int32_t token) {
        MultiArray ids({1}, DataType::Int32), length({1}, DataType::Int32);
        ids.typedData<int32_t>()[0] = token;
        length.typedData<int32_t>()[0] = static_cast<int32_t>(t_);
        DictionaryFeatureProvider inputs({{whisper::INPUT_IDS, ids},
                                          {whisper::CACHE_LENGTH, length},
                                          {whisper::KEY_CACHE, keys_},
                                          {whisper::VALUE_CACHE, values_},
                                          {whisper::UPDATE_MASK, updateMask_},
                                          {whisper::ENCODER_OUTPUT, encoder_},
                                          {whisper::PADDING_MASK, paddingMask_}});
        auto out = model_.predict(inputs);
        auto keyUpdate = out->requireMultiArray(whisper::KEY_UPDATES);
        auto valueUpdate = out->requireMultiArray(whisper::VALUE_UPDATES);
        for (int64_t c = 0; c < channels_; ++c) {
            keys_.typedData<Half>()[c * positions_ + t_] = keyUpdate.typedData<Half>()[c];
            values_.typedData<Half>()[c * positions_ + t_] = valueUpdate.typedData<Half>()[c];
        }
        updateMask_.typedData<int32_t>()[t_] = 0;
        if (t_ + 1 < positions_) {
            updateMask_.typedData<int32_t>()[t_ + 1] = 1;
            paddingMask_.typedData<Half>()[t_ + 1] = Half(0.0f);
        }
        ++t_;
        return out;
    }

private:
    const Model& model_;
    MultiArray encoder_, keys_, values_, updateMask_, paddingMask_;
    int64_t channels_ = 0, positions_ = 0, t_ = 0;
};


inline std::vector<float> testAudio() {
    std::vector<float> audio(static_cast<size_t>(whisper::N_SAMPLES));
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    for (size_t i = 0; i < audio.size(); ++i) {
        double t = static_cast<double>(i) / whisper::SAMPLE_RATE;
        double envelope = 0.5 + 0.5 * std::sin(2 * M_PI * 0.3 * t);
        audio[i] = static_cast<float>(0.4 * envelope * std::sin(2 * M_PI * 440 * t) + 0.2 * std::sin(2 * M_PI * 1730 * t)) +
                   noise(random);
    }
    return audio;
}

// Runs mel, encoder and eight cached decoder steps of the models in `folder` and compares every
// output with the NumPy reference computed from the same weight files, on the current kernel path.
// `referenceModels` are the reference's model arguments; empty: the three model folders of `folder`.
inline void expectReferenceResultsOnThisPath(const fs::path& folder, const std::string& referenceModels = "",
                                             Closeness closeness = {}) {
    auto model = [&](const char* name) { return folder / (std::string(name) + ".mlmodelc"); };
    auto mel = Model::load(model("MelSpectrogram"), ComputeUnits::cpuOnly);
    auto encoder = Model::load(model("AudioEncoder"), ComputeUnits::cpuAndNeuralEngine);
    auto decoder = Model::load(model("TextDecoder"), ComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(encoder->computeUnits(), ComputeUnits::cpuAndNeuralEngine);

    auto audio = testAudio();
    auto features = mel->predict(*single(whisper::AUDIO, floatArray(audio, {whisper::N_SAMPLES})))
                        ->requireMultiArray(whisper::MEL_FEATURES);
    ASSERT_EQ(features.shape(), (std::vector<int64_t>{1, 80, 1, 3000}));
    EXPECT_EQ(features.dataType(), DataType::Float16);
    auto embeds = encoder->predict(*single(whisper::MEL_FEATURES, features))->requireMultiArray(whisper::ENCODER_OUTPUT);
    const int64_t width = encoder->description().output(whisper::ENCODER_OUTPUT)->multiArrayConstraint->shape[1];
    ASSERT_EQ(embeds.shape(), (std::vector<int64_t>{1, width, 1, 1500}));

    const std::vector<int32_t> tokens = {500, 17, 230, 230, 3, 99, 411, 8};
    DecoderSession session(*decoder, embeds);
    std::vector<float> logits, keys, alignment;
    for (int32_t token : tokens) {
        auto out = session.step(token);
        for (const auto* name : {whisper::LOGITS, whisper::KEY_UPDATES, whisper::ALIGNMENT_WEIGHTS}) {
            auto values = out->requireMultiArray(name).toFloats();
            auto& sink = name == whisper::LOGITS ? logits : name == whisper::KEY_UPDATES ? keys : alignment;
            sink.insert(sink.end(), values.begin(), values.end());
        }
    }

    fs::path work = makeTempFolder("reference");
    writeFloats(work / "audio.f32", audio);
    writeFloats(work / "mel-in.f32", features.toFloats());
    writeFloats(work / "encoder-in.f32", embeds.toFloats());
    std::string tokenList;
    for (int32_t token : tokens) tokenList += (tokenList.empty() ? "" : ",") + std::to_string(token);
    // One BLAS thread for NumPy: the reference is small, and idle BLAS threads only spin.
    std::string command = "OPENBLAS_NUM_THREADS=1 " + python() + " " TALKWEFT_SOURCE_DIR
                          "/Tools/reference/whisper_reference.py" +
                          (referenceModels.empty() ? " --mel-model " + model("MelSpectrogram").string() +
                                                         " --encoder-model " + model("AudioEncoder").string() +
                                                         " --decoder-model " + model("TextDecoder").string()
                                                   : " " + referenceModels) +
                          (" --audio " + (work / "audio.f32").string()) +
                          (" --mel-input " + (work / "mel-in.f32").string()) +
                          (" --encoder-input " + (work / "encoder-in.f32").string()) + " --tokens " + tokenList +
                          " --out " + work.string();
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    expectClose(features.toFloats(), readFloats(work / "mel.f32"), "mel", closeness);
    expectClose(embeds.toFloats(), readFloats(work / "encoder.f32"), "encoder", closeness);
    expectClose(logits, readFloats(work / "logits.f32"), "logits", closeness);
    expectClose(keys, readFloats(work / "keys.f32"), "keys", closeness);
    expectClose(alignment, readFloats(work / "alignment.f32"), "alignment", closeness);
    fs::remove_all(work);
}

inline void expectReferenceResults(const fs::path& folder) {
    onEveryKernelPath([&] { expectReferenceResultsOnThisPath(folder); });
}

}  // namespace whisperref

#include "DaroriCore/ModelState.hpp"
#include "DaroriCore/ModelUtilities.hpp"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "MLRuntime/TestModel.hpp"

using namespace darori;
namespace fs = std::filesystem;

namespace {

// A fresh empty folder under the system's temporary folder, removed afterwards.
struct TempFolder {
    fs::path path;
    TempFolder() {
        path = fs::temp_directory_path() / ("darori-models-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempFolder() { fs::remove_all(path); }
    static int& counter() {
        static int n = 0;
        return n;
    }
    void touch(const fs::path& relative) const {
        fs::create_directories((path / relative).parent_path());
        std::ofstream(path / relative) << "x";
    }
};

const fs::path INNER = fs::path("Data") / "com.apple.CoreML" / "model.mlmodel";

}  // namespace

TEST(ModelState, DescriptionsAndBusyStates) {
    const std::tuple<ModelState, const char*, bool> cases[] = {
        {ModelState::unloading, "Unloading", true},     {ModelState::unloaded, "Unloaded", false},
        {ModelState::loading, "Loading", true},         {ModelState::loaded, "Loaded", false},
        {ModelState::prewarming, "Specializing", true}, {ModelState::prewarmed, "Specialized", false},
        {ModelState::downloading, "Downloading", true}, {ModelState::downloaded, "Downloaded", false},
    };
    for (const auto& [state, text, busy] : cases) {
        EXPECT_EQ(description(state), text);
        EXPECT_EQ(isBusy(state), busy) << text;
    }
}

TEST(ModelUtilities, CompiledModelWinsOverPackage) {
    TempFolder dir;
    // Empty folder: the compiled path, though it does not exist; nothing found by extension.
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path, "AudioEncoder"), dir.path / "AudioEncoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path), std::nullopt);

    // A package without its inner model file is not accepted.
    fs::create_directories(dir.path / "AudioEncoder.mlpackage");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path, "AudioEncoder"), dir.path / "AudioEncoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path), dir.path / "AudioEncoder.mlpackage" / INNER);

    dir.touch(fs::path("AudioEncoder.mlpackage") / INNER);
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path, "AudioEncoder"), dir.path / "AudioEncoder.mlpackage" / INNER);

    fs::create_directories(dir.path / "AudioEncoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path, "AudioEncoder"), dir.path / "AudioEncoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path), dir.path / "AudioEncoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path / "missing"), std::nullopt);
}

TEST(ModelUtilities, RecursiveSearchFindsNestedCompiledModelsOnly) {
    TempFolder dir;
    fs::create_directories(dir.path / "a" / "b" / "TextDecoder.mlmodelc");
    dir.touch(fs::path("c") / "MelSpectrogram.mlpackage" / INNER);
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path, "TextDecoder", true), dir.path / "a" / "b" / "TextDecoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path, "MelSpectrogram", true), dir.path / "MelSpectrogram.mlmodelc");
    // Non-recursive: the nested model is not looked for.
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path, "TextDecoder", false), dir.path / "TextDecoder.mlmodelc");
    fs::create_directories(dir.path / "TextDecoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path, "TextDecoder", true), dir.path / "TextDecoder.mlmodelc");
}

TEST(ModelUtilities, ShapeReaders) {
    using namespace mlruntime;
    ModelDescription d;
    d.inputs.push_back({"input_ids", FeatureType::MultiArray, false, MultiArrayConstraint{{1}, DataType::Int32}});
    d.inputs.push_back({"image", FeatureType::Image, false, std::nullopt});
    d.outputs.push_back({"logits", FeatureType::MultiArray, false, MultiArrayConstraint{{1, 1, 51865}, DataType::Float16}});
    const TestModel model(d);

    EXPECT_EQ(ModelUtilities::getModelInputShape(&model, "input_ids"), (std::vector<int64_t>{1}));
    EXPECT_EQ(ModelUtilities::getModelOutputDimension(&model, "logits", 2), 51865);
    EXPECT_EQ(ModelUtilities::getModelOutputDimension(&model, "logits", 3), std::nullopt);
    EXPECT_EQ(ModelUtilities::getModelOutputDimension(&model, "logits", -1), std::nullopt);
    EXPECT_EQ(ModelUtilities::getModelInputShape(&model, "image"), std::nullopt);
    EXPECT_EQ(ModelUtilities::getModelInputShape(&model, "logits"), std::nullopt);  // outputs are not inputs
    EXPECT_EQ(ModelUtilities::getModelInputDimension(nullptr, "input_ids", 0), std::nullopt);
}

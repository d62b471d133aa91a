#include "ZadezarIro/Core/ModelVariant.hpp"

#include <gtest/gtest.h>

#include "DaroriCore/ConcurrencyUtilities.hpp"
#include "MLRuntime/Error.hpp"
#include "MLRuntime/WhisperTestModels.hpp"
#include "TestSupport.hpp"
#include "ZadezarIro/Core/ZadezarIroConfig.hpp"

using namespace zadezariro;
using mlruntime::ComputeUnits;

namespace {
// A model owner as the engine's model classes are: the model in a protected box.
class Owner : public WhisperMLModel {
public:
    std::shared_ptr<mlruntime::Model> model() const override { return model_.get(); }
    void setModel(std::shared_ptr<mlruntime::Model> model) override { model_.set(std::move(model)); }

private:
    darori::Protected<std::shared_ptr<mlruntime::Model>> model_;
};
}  // namespace

TEST(ModelVariant, DescriptionsAndLanguages) {
    std::string all;
    for (auto v : allModelVariants) all += std::string(description(v)) + (isMultilingual(v) ? "+ " : "- ");
    EXPECT_EQ(all, "tiny+ tiny.en- base+ base.en- small+ small.en- medium+ medium.en- large+ large-v2+ large-v3+ ");
}

TEST(ModelComputeOptions, Defaults) {
    const auto defaults = ModelComputeOptions::make();
    EXPECT_EQ(defaults, (ModelComputeOptions{ComputeUnits::cpuAndGPU, ComputeUnits::cpuAndNeuralEngine, ComputeUnits::cpuAndNeuralEngine}));
    const auto cpu = ModelComputeOptions::make(ComputeUnits::cpuOnly, std::nullopt, ComputeUnits::cpuOnly);
    EXPECT_EQ(cpu.audioEncoderCompute, ComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(ModelComputeOptions::make(ComputeUnits::all, ComputeUnits::cpuOnly).audioEncoderCompute, ComputeUnits::cpuOnly);
}

TEST(WhisperMLModel, LoadPrewarmUnloadAndAFailedLoad) {
    testsupport::TempDir dir;
    const auto path = dir.path / "MelSpectrogram.mlmodelc";
    mlruntime::testmodels::writeMelModel(path, {});

    Owner owner;
    EXPECT_EQ(owner.modelState(), darori::ModelState::unloaded);
    owner.loadModel(path, ComputeUnits::cpuOnly, true);
    EXPECT_EQ(owner.modelState(), darori::ModelState::unloaded);
    owner.loadModel(path, ComputeUnits::cpuAndGPU);
    ASSERT_EQ(owner.modelState(), darori::ModelState::loaded);
    EXPECT_EQ(owner.model()->computeUnits(), ComputeUnits::cpuAndGPU);
    const auto loaded = owner.model();

    EXPECT_THROW(owner.loadModel(dir.path / "Missing.mlmodelc", ComputeUnits::cpuOnly, false), mlruntime::Error);
    EXPECT_EQ(owner.model(), loaded);
    EXPECT_THROW(owner.loadModel(dir.path / "Missing.mlmodelc", ComputeUnits::cpuOnly, true), mlruntime::Error);
    EXPECT_EQ(owner.model(), loaded);

    owner.unloadModel();
    EXPECT_EQ(owner.modelState(), darori::ModelState::unloaded);
}

TEST(ZadezarIroConfig, StoresEveryArgumentUnchanged) {
    AudioInputOptions audio;
    audio.channelMode = AudioInputOptions::SpecificChannel{1};
    const ZadezarIroConfig config("openai_whisper-tiny", std::filesystem::path("/models"), std::nullopt, "token", std::nullopt,
                                  "/models/tiny", std::nullopt, ModelComputeOptions::make(), audio, nullptr, nullptr, nullptr,
                                  nullptr, std::vector<std::shared_ptr<LogitsFiltering>>{}, nullptr, nullptr, false,
                                  darori::Logging::LogLevel::error, true, std::nullopt, false, true);
    EXPECT_EQ(config.model, "openai_whisper-tiny");
    EXPECT_EQ(config.modelToken, "token");
    EXPECT_EQ(config.audioInputConfig(), audio);
    EXPECT_TRUE(config.logitsFilters && config.logitsFilters->empty());
    EXPECT_EQ(config.prewarm, true);
    EXPECT_FALSE(config.load);
    EXPECT_FALSE(config.download);
    EXPECT_TRUE(config.useBackgroundDownloadSession);
    EXPECT_FALSE(ZadezarIroConfig().audioInputConfig());
}

// What the model-handling code shares: the Whisper model sizes, the compute units chosen per model,
// and the interface of an object that owns one model with its default load, prewarm and unload.
#pragma once

#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "DaroriCore/ModelLoading.hpp"
#include "DaroriCore/ModelState.hpp"
#include "MLRuntime/ComputeUnits.hpp"
#include "MLRuntime/Model.hpp"

namespace zadezariro {

enum class ModelVariant { tiny, tinyEn, base, baseEn, small, smallEn, medium, mediumEn, large, largev2, largev3 };

inline constexpr std::array<ModelVariant, 11> allModelVariants{
    ModelVariant::tiny,   ModelVariant::tinyEn,   ModelVariant::base,  ModelVariant::baseEn,
    ModelVariant::small,  ModelVariant::smallEn,  ModelVariant::medium, ModelVariant::mediumEn,
    ModelVariant::large,  ModelVariant::largev2, ModelVariant::largev3};

// "tiny", "tiny.en", "base", "base.en", "small", "small.en", "medium", "medium.en", "large",
// "large-v2", "large-v3".
std::string_view description(ModelVariant variant);
// False for the four English-only sizes.
bool isMultilingual(ModelVariant variant);

// Compute units per model. The choice is kept and reported; the runtime computes on the CPU.
struct ModelComputeOptions {
    mlruntime::ComputeUnits melCompute = mlruntime::ComputeUnits::cpuAndGPU;
    mlruntime::ComputeUnits audioEncoderCompute = mlruntime::ComputeUnits::cpuAndNeuralEngine;
    mlruntime::ComputeUnits textDecoderCompute = mlruntime::ComputeUnits::cpuAndNeuralEngine;

    // Stores the arguments; an absent encoder choice becomes cpuAndNeuralEngine (this runtime has no
    // older system on which the encoder would need the GPU instead). Never fails.
    static ModelComputeOptions make(mlruntime::ComputeUnits melCompute = mlruntime::ComputeUnits::cpuAndGPU,
                                    std::optional<mlruntime::ComputeUnits> audioEncoderCompute = std::nullopt,
                                    mlruntime::ComputeUnits textDecoderCompute = mlruntime::ComputeUnits::cpuAndNeuralEngine);

    bool operator==(const ModelComputeOptions&) const = default;
};

// An object that owns one model. Conformers keep the model themselves (thread-safely, for example
// in a darori::Protected box) and get these defaults.
class WhisperMLModel : public darori::MLModelLoading {
public:
    using darori::MLModelLoading::loadModel;

    virtual std::shared_ptr<mlruntime::Model> model() const = 0;
    virtual void setModel(std::shared_ptr<mlruntime::Model> model) = 0;

    // Loads the compiled model folder with `computeUnits`. Without prewarm mode the loaded model
    // becomes model(); in prewarm mode the whole load runs and nothing is kept (model() becomes
    // empty). A failed load throws the runtime's error and leaves model() as it was.
    void loadModel(const std::filesystem::path& modelPath, mlruntime::ComputeUnits computeUnits, bool prewarmMode) override;
    // Empties model().
    void unloadModel() override;
    // unloaded while model() is empty, loaded otherwise.
    darori::ModelState modelState() const;
};

}  // namespace zadezariro

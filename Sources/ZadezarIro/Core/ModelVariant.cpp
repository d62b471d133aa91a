#include "ZadezarIro/Core/ModelVariant.hpp"

namespace zadezariro {

std::string_view description(ModelVariant variant) {
    switch (variant) {
        case ModelVariant::tiny: return "tiny";
        case ModelVariant::tinyEn: return "tiny.en";
        case ModelVariant::base: return "base";
        case ModelVariant::baseEn: return "base.en";
        case ModelVariant::small: return "small";
        case ModelVariant::smallEn: return "small.en";
        case ModelVariant::medium: return "medium";
        case ModelVariant::mediumEn: return "medium.en";
        case ModelVariant::large: return "large";
        case ModelVariant::largev2: return "large-v2";
        case ModelVariant::largev3: return "large-v3";
    }
    return "base";
}

bool isMultilingual(ModelVariant variant) {
    switch (variant) {
        case ModelVariant::tinyEn:
        case ModelVariant::baseEn:
        case ModelVariant::smallEn:
        case ModelVariant::mediumEn: return false;
        default: return true;
    }
}

ModelComputeOptions ModelComputeOptions::make(mlruntime::ComputeUnits melCompute,
                                              std::optional<mlruntime::ComputeUnits> audioEncoderCompute,
                                              mlruntime::ComputeUnits textDecoderCompute) {
    return ModelComputeOptions{melCompute, audioEncoderCompute.value_or(mlruntime::ComputeUnits::cpuAndNeuralEngine),
                               textDecoderCompute};
}

void WhisperMLModel::loadModel(const std::filesystem::path& modelPath, mlruntime::ComputeUnits computeUnits,
                               bool prewarmMode) {
    auto loaded = mlruntime::Model::load(modelPath, computeUnits);
    setModel(prewarmMode ? nullptr : std::move(loaded));
}

void WhisperMLModel::unloadModel() { setModel(nullptr); }

darori::ModelState WhisperMLModel::modelState() const {
    return model() ? darori::ModelState::loaded : darori::ModelState::unloaded;
}

}  // namespace zadezariro

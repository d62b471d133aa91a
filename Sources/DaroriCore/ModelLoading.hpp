// Running and owning models: a blocking prediction call and the interface of objects that own one
// model.
#pragma once

#include <filesystem>
#include <memory>

#include "MLRuntime/ComputeUnits.hpp"
#include "MLRuntime/FeatureProvider.hpp"
#include "MLRuntime/Model.hpp"

namespace darori {

// Runs one prediction and returns the model's outputs (owned by the caller). Blocks the calling
// thread; the model's mlruntime::Error passes through unchanged. Safe from several threads at once.
inline std::shared_ptr<mlruntime::FeatureProvider> asyncPrediction(const mlruntime::Model& model,
                                                                   const mlruntime::FeatureProvider& input) {
    return model.predict(input);
}

// An object that owns one model and loads and unloads it.
class MLModelLoading {
public:
    virtual ~MLModelLoading() = default;
    // Loads the model at `modelPath`; with `prewarmMode` the model is only specialised for the
    // machine and then released. Throws the loader's error.
    virtual void loadModel(const std::filesystem::path& modelPath, mlruntime::ComputeUnits computeUnits, bool prewarmMode) = 0;
    virtual void unloadModel() = 0;
    // loadModel(path, computeUnits, false).
    void loadModel(const std::filesystem::path& modelPath, mlruntime::ComputeUnits computeUnits) {
        loadModel(modelPath, computeUnits, false);
    }
};

}  // namespace darori

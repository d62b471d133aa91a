#pragma once

#include <filesystem>
#include <memory>

#include "MLRuntime/ComputeUnits.hpp"
#include "MLRuntime/FeatureProvider.hpp"
#include "MLRuntime/ModelDescription.hpp"

namespace mlruntime {

// A loaded model: named multi-array features in, named multi-array features out.
//
// Thread-safety: implementations must allow predict() from several threads at once on one model;
// description() and computeUnits() are immutable after loading.
class Model {
public:
    virtual ~Model() = default;
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // Loads the compiled model folder `folder` (a "<Name>.mlmodelc" folder holding "model.json" and
    // "weights.bin"), keeping `computeUnits` for report. Throws Error(invalidModel) naming the file
    // when the folder is missing or a file is damaged. Implemented with the model-file reader
    // (ModelFile.cpp).
    static std::shared_ptr<Model> load(const std::filesystem::path& folder, ComputeUnits computeUnits);

    // The declared inputs and outputs.
    virtual const ModelDescription& description() const = 0;

    // Runs the model once. `inputs` must hold every non-optional input of description() with its
    // declared shape (ModelDescription::validateInputs; the arrays' element type may differ from the
    // declared one). The result holds every non-optional output in new arrays that the caller owns.
    // Throws Error for bad inputs; the inputs are only read.
    virtual std::shared_ptr<FeatureProvider> predict(const FeatureProvider& inputs) const = 0;

    // The compute units the model was loaded with.
    ComputeUnits computeUnits() const noexcept { return computeUnits_; }

protected:
    explicit Model(ComputeUnits computeUnits) : computeUnits_(computeUnits) {}

private:
    ComputeUnits computeUnits_;
};

}  // namespace mlruntime

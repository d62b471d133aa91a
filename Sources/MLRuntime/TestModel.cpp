#include "MLRuntime/TestModel.hpp"

namespace mlruntime {

TestModel::TestModel(ModelDescription description, Handler handler, ComputeUnits computeUnits)
    : Model(computeUnits), description_(std::move(description)), handler_(std::move(handler)) {}

std::shared_ptr<FeatureProvider> TestModel::zeroOutputs() const {
    std::map<std::string, FeatureValue> features;
    for (const auto& output : description_.outputs) {
        if (!output.multiArrayConstraint) continue;
        features.emplace(output.name, MultiArray(output.multiArrayConstraint->shape, output.multiArrayConstraint->dataType));
    }
    return std::make_shared<DictionaryFeatureProvider>(std::move(features));
}

std::shared_ptr<FeatureProvider> TestModel::predict(const FeatureProvider& inputs) const {
    description_.validateInputs(inputs);
    ++predictions_;
    auto outputs = handler_ ? handler_(inputs) : zeroOutputs();
    if (!outputs) throw Error(Error::Code::missingFeature, "test model handler returned no outputs");
    description_.validateOutputs(*outputs);
    return outputs;
}

}  // namespace mlruntime

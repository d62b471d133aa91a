#include "MLRuntime/ModelDescription.hpp"

#include "MLRuntime/TensorHeader.hpp"

namespace mlruntime {
namespace {

const FeatureDescription* find(const std::vector<FeatureDescription>& features, std::string_view name) noexcept {
    for (const auto& feature : features) {
        if (feature.name == name) return &feature;
    }
    return nullptr;
}

void validate(const std::vector<FeatureDescription>& declared, const FeatureProvider& features, const char* side) {
    for (const auto& feature : declared) {
        const auto value = features.featureValue(feature.name);
        if (!value) {
            if (feature.isOptional) continue;
            throw Error(Error::Code::missingFeature,
                        std::string("required ") + side + " feature \"" + feature.name + "\" is missing");
        }
        if (value->type() != feature.type) {
            throw Error(Error::Code::missingFeature, std::string(side) + " feature \"" + feature.name + "\" is " +
                                                         std::string(featureTypeName(value->type())) + ", expected " +
                                                         std::string(featureTypeName(feature.type)));
        }
        if (feature.multiArrayConstraint) {
            const auto array = value->multiArrayValue();
            if (array && array->shape() != feature.multiArrayConstraint->shape) {
                throw Error(Error::Code::invalidArgument, std::string(side) + " feature \"" + feature.name +
                                                              "\" has shape " + tensorShapeText(array->shape()) +
                                                              ", expected " + tensorShapeText(feature.multiArrayConstraint->shape));
            }
        }
    }
}

}  // namespace

const FeatureDescription* ModelDescription::input(std::string_view name) const noexcept { return find(inputs, name); }

const FeatureDescription* ModelDescription::output(std::string_view name) const noexcept { return find(outputs, name); }

void ModelDescription::validateInputs(const FeatureProvider& features) const { validate(inputs, features, "input"); }

void ModelDescription::validateOutputs(const FeatureProvider& features) const { validate(outputs, features, "output"); }

}  // namespace mlruntime

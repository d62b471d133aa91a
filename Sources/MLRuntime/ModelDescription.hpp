#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "MLRuntime/DataType.hpp"
#include "MLRuntime/FeatureProvider.hpp"

namespace mlruntime {

// The declared element type and fixed shape of a multi-array feature.
struct MultiArrayConstraint {
    std::vector<int64_t> shape;
    DataType dataType = DataType::Float32;
};

// One input or output feature of a model.
struct FeatureDescription {
    std::string name;
    FeatureType type = FeatureType::MultiArray;
    bool isOptional = false;
    // Present exactly for multi-array features.
    std::optional<MultiArrayConstraint> multiArrayConstraint;
};

// What a model takes and gives: its input and output features, in declaration order.
struct ModelDescription {
    std::vector<FeatureDescription> inputs;
    std::vector<FeatureDescription> outputs;

    // The feature named `name` (exact match), or nullptr. The pointer lives as long as this description.
    const FeatureDescription* input(std::string_view name) const noexcept;
    const FeatureDescription* output(std::string_view name) const noexcept;

    // Checks `features` against the inputs: every non-optional input present, of its declared kind,
    // and multi-arrays of the declared shape (any element type is accepted; models convert).
    // Throws Error(missingFeature) or Error(invalidArgument) with a message naming the feature.
    void validateInputs(const FeatureProvider& features) const;
    // The same check for a model's result against the outputs.
    void validateOutputs(const FeatureProvider& features) const;
};

}  // namespace mlruntime

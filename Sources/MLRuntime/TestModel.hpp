#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "MLRuntime/Model.hpp"

namespace mlruntime {

// A model for tests of code that drives models: it checks its inputs against its description like
// a real model, counts its predictions, and answers through a caller-given function (or, without
// one, with zero-filled arrays of the declared output shapes and types).
//
// Thread-safe as far as the handler is.
class TestModel : public Model {
public:
    // Computes outputs from validated inputs. May throw; the error reaches predict()'s caller.
    using Handler = std::function<std::shared_ptr<FeatureProvider>(const FeatureProvider& inputs)>;

    explicit TestModel(ModelDescription description, Handler handler = {},
                       ComputeUnits computeUnits = ComputeUnits::cpuOnly);

    const ModelDescription& description() const override { return description_; }

    // Validates the inputs (Error as ModelDescription::validateInputs), calls the handler and
    // validates its result against the outputs, so a faulty handler fails loudly too.
    std::shared_ptr<FeatureProvider> predict(const FeatureProvider& inputs) const override;

    // Number of predict() calls that reached the handler.
    int predictionCount() const noexcept { return predictions_.load(); }

private:
    std::shared_ptr<FeatureProvider> zeroOutputs() const;

    ModelDescription description_;
    Handler handler_;
    mutable std::atomic<int> predictions_{0};
};

}  // namespace mlruntime

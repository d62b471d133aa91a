// The whisper-decoder kind as a model.
#include <algorithm>
#include <mutex>

#include "MLRuntime/Error.hpp"
#include "MLRuntime/ModelFile.hpp"
#include "MLRuntime/WhisperDecoder.hpp"
#include "MLRuntime/WhisperDecoderInputs.hpp"
#include "MLRuntime/WhisperModels.hpp"

namespace mlruntime::whisper {

namespace {

class WhisperDecoderModel : public Model {
public:
    WhisperDecoderModel(const DecoderConfig& config, const WeightsFile& file, ComputeUnits units)
        : Model(units), description_(decoderDescription(config)), decoder_(config, file) {}

    const ModelDescription& description() const override { return description_; }

    std::shared_ptr<FeatureProvider> predict(const FeatureProvider& inputs) const override {
        DecoderInputs parsed(decoder_.config(), description_, inputs);
        std::lock_guard<std::mutex> lock(mutex_);
        {
            // A one-token step is bound by memory bandwidth, which half the cores (at least four)
            // nearly saturate; more only add synchronisation, and a thread that another process
            // preempts then stalls every one of the step's many short loops.
            auto& budget = ThreadBudget::shared();
            auto lease = budget.acquire(std::max(4, budget.capacity() / 2));
            decoder_.setEncoderOutput(lease, parsed.encoder);
            decoder_.step(lease, parsed.stepInput(), output_);
        }
        return decoderOutputs(decoder_.config(), output_);
    }

private:
    ModelDescription description_;
    mutable std::mutex mutex_;
    mutable WhisperDecoder decoder_;     // guarded by mutex_
    mutable DecoderStepOutput output_;   // guarded by mutex_
};

}  // namespace

}  // namespace mlruntime::whisper

namespace mlruntime {

std::shared_ptr<Model> makeWhisperDecoderModel(ModelFile& file, ComputeUnits computeUnits) {
    auto config = whisper::decoderConfig(file);
    file.checkDescription(whisper::decoderDescription(config));
    auto model = std::make_shared<whisper::WhisperDecoderModel>(config, file.weights(), computeUnits);
    file.closeWeights();
    return model;
}

}  // namespace mlruntime
